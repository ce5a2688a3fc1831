"""Unit tests run the module against the test double of the client library.

The double is built (or taken from its cache) and loaded here, before any test
imports the module, so the module's load of the library by its bare name finds
the double.
"""

import gc
import os

import pytest

import qxdouble

DOUBLE = qxdouble.Double(qxdouble.build(os.environ.get("QX_DOUBLE_CXXFLAGS", "")))

from pyqivrexdb import qxcore  # noqa: E402  (after the double is loaded)


@pytest.fixture
def double():
    """The double, reset: an empty journal and no scripts."""
    # Objects of earlier tests that are only waiting for the collector must
    # not call into the library during this one.
    gc.collect()
    DOUBLE.reset()
    yield DOUBLE
    DOUBLE.join_threads()


@pytest.fixture
def cur(double):
    """A cursor on handle 1, the library loaded, the journal empty."""
    qxcore.initlibrary()
    c = qxcore.Cursor(1, False)
    double.clear()
    return c


@pytest.fixture(autouse=True)
def _module_namespace():
    """Tests may rebind or delete module attributes (DEBUG, INITIAL,
    SCALLBACK, ...); put the namespace back as it was, in its order."""
    saved = list(vars(qxcore).items())
    yield
    namespace = vars(qxcore)
    now = list(namespace.items())
    if len(now) != len(saved) or any(a is not c or b is not d for (a, b), (c, d) in zip(now, saved)):
        namespace.clear()
        namespace.update(saved)
