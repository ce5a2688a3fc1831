"""Unit tests run the module against the test double of the client library.

The double is built (or taken from its cache) and loaded here, before any test
imports the module, so the module's load of the library by its bare name finds
the double.
"""

import os

import pytest

import qxdouble

DOUBLE = qxdouble.Double(qxdouble.build(os.environ.get("QX_DOUBLE_CXXFLAGS", "")))

from pyqivrexdb import qxcore  # noqa: E402  (after the double is loaded)


@pytest.fixture
def double():
    """The double, reset: an empty journal and no scripts."""
    DOUBLE.reset()
    yield DOUBLE
    DOUBLE.join_threads()


@pytest.fixture(autouse=True)
def _module_namespace():
    """Tests may rebind module attributes (DEBUG, INITIAL, SCALLBACK, ...); put
    the namespace back as it was afterwards."""
    saved = dict(vars(qxcore))
    yield
    namespace = vars(qxcore)
    for name in [n for n in namespace if n not in saved]:
        del namespace[name]
    for name, value in saved.items():
        if namespace.get(name, saved) is not value:
            namespace[name] = value
