import binascii
import collections
import datetime
import logging
import os
import subprocess
import sys
import types

import pytest

import pyqivrexdb
import qxdouble
import qxisolated
from pyqivrexdb import errors
from pyqivrexdb import qxcore

TYPE_CODES = ["QSCLI_ET_CHAR", "QSCLI_ET_ARRA", "QSCLI_ET_BYTE", "QSCLI_ET_INTR",
              "QSCLI_ET_WORD", "QSCLI_ET_DATE", "QSCLI_ET_NMBR", "QSCLI_ET_LONG",
              "QSCLI_ET_DWRD", "QSCLI_ET_FLOA", "QSCLI_ET_CURR", "QSCLI_ET_DFLT"]

# Every name import binds, in the order it binds them.
NAMESPACE = (["Connection", "Field", "Cursor", "logging", "binascii", "datetime", "collections",
              *errors.__all__, "DEBUG", "HEAPCTRL", "log", *TYPE_CODES,
              "INITIAL", "SCALLBACK", "USCALLBACK",
              "srvusersendlog", "srvsendlog", "initlibrary", "freelibrary",
              "pydate2qxdate", "connect"])


def test_namespace_is_exactly_the_bound_names_in_order():
    names = [n for n in vars(qxcore) if not (n.startswith("__") and n.endswith("__"))]
    assert names == NAMESPACE


def test_only_the_init_function_is_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", qxcore.__file__],
                             capture_output=True, text=True, check=True).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert [name for name in exported if name.startswith(("Py", "_Z", "qc"))] == ["PyInit_qxcore"]


@pytest.mark.parametrize("name, value", [
    ("INITIAL", False), ("SCALLBACK", None), ("USCALLBACK", None),
    ("logging", logging), ("binascii", binascii), ("datetime", datetime),
    ("collections", collections),
    *[(name, code) for code, name in enumerate(TYPE_CODES)],
    *[(name, getattr(errors, name)) for name in errors.__all__],
])
def test_value_after_import(name, value):
    bound = getattr(qxcore, name)
    if type(value) is int:
        assert type(bound) is int and bound == value
    else:
        assert bound is value


def test_settings_come_from_the_package():
    assert qxcore.DEBUG is pyqivrexdb.DEBUG
    assert qxcore.HEAPCTRL is pyqivrexdb.HEAPCTRL


def test_logger():
    assert qxcore.log is logging.getLogger("pyqivrexdb.qxcore")
    assert qxcore.log.level == logging.DEBUG


@pytest.mark.parametrize("name, doc", [
    ("initlibrary", "\n    initial qscli.dll\n    :return:\n    "),
    ("freelibrary", "\n    free qscli.dll\n    :return:\n    "),
])
def test_library_functions(name, doc):
    fn = getattr(qxcore, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__doc__ == doc
    assert fn.__module__ == "pyqivrexdb.qxcore"
    with pytest.raises(TypeError):
        fn(1)


@pytest.mark.parametrize("debug, lines", [(False, 0), (True, 1), (0, 0), ("on", 1)])
def test_debug_is_read_at_each_use(double, caplog, debug, lines):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    qxcore.DEBUG = debug
    qxcore.Connection()
    assert len([r for r in caplog.records if r.getMessage().endswith(": __init__")]) == lines


def test_import_loads_nothing_and_calls_nothing(tmp_path):
    package = qxisolated.copy_package(tmp_path)
    qxisolated.check("""
        import qxdouble
        double = qxdouble.Double(%r)
        import pyqivrexdb.qxcore
        assert double.calls() == []
    """ % str(qxdouble.build(os.environ.get("QX_DOUBLE_CXXFLAGS", ""))), package)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with Python 3.12")
def test_import_when_other_code_took_every_dict_watcher(tmp_path):
    # Then nothing derived from a name is kept: each is looked up at its use.
    package = qxisolated.copy_package(tmp_path)
    qxisolated.check("""
        import _testcapi, binascii, qxdouble
        double = qxdouble.Double(%r)
        while True:
            try:
                _testcapi.add_dict_watcher(0)
            except RuntimeError:
                break
        from pyqivrexdb import qxcore
        cur = qxcore.connect("db").cursor()

        def retcode():
            double.set_retval(1, b"\\x0a\\xff\\0")
            cur.execute("select")
            return cur.retcode()

        assert retcode() == b"0aff"
        binascii.b2a_hex = lambda data: b"<%%s>" %% data.hex().encode()
        assert retcode() == b"<0aff>"
        qxcore.QSCLI_ET_ARRA = 42
        assert retcode() is None
    """ % str(qxdouble.build(os.environ.get("QX_DOUBLE_CXXFLAGS", ""))), package)


MINIMAL_INIT = """
    DEBUG = False
    HEAPCTRL = 4096
"""


@pytest.mark.parametrize("drop, init, missing", [
    ((), "HEAPCTRL = 4096\n", "DEBUG"),
    ((), "DEBUG = False\n", "HEAPCTRL"),
    (("errors.py",), MINIMAL_INIT, "errors"),
])
def test_import_fails_without_what_the_package_must_supply(tmp_path, drop, init, missing):
    package = qxisolated.copy_package(tmp_path, drop=drop, replace={"__init__.py": init})
    done = qxisolated.run("""
        import sys
        try:
            import pyqivrexdb.qxcore
        except ImportError as exc:
            print(type(exc).__name__, exc)
        assert "pyqivrexdb.qxcore" not in sys.modules
    """, package)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(("ImportError", "ModuleNotFoundError")), done.stdout
    assert missing in done.stdout


def test_modules_and_settings_inside_the_package_come_first(tmp_path):
    package = qxisolated.copy_package(tmp_path, replace={
        "__init__.py": MINIMAL_INIT,
        "binascii.py": "MARK = 'package binascii'\n",
        "pyqivrexdb.py": "DEBUG = 'inner'\nHEAPCTRL = 12\n",
    })
    qxisolated.check("""
        import datetime
        from pyqivrexdb import qxcore
        assert qxcore.binascii.MARK == "package binascii"
        assert qxcore.datetime is datetime
        assert (qxcore.DEBUG, qxcore.HEAPCTRL) == ("inner", 12)
    """, package)


@pytest.mark.parametrize("errors_source, present, absent", [
    ("__all__ = ['Listed']\nclass Listed(Exception): pass\nclass Unlisted(Exception): pass\n",
     ["Listed"], ["Unlisted"]),
    ("class Public(Exception): pass\nclass _Private(Exception): pass\n",
     ["Public"], ["_Private"]),
])
def test_errors_are_star_imported(tmp_path, errors_source, present, absent):
    package = qxisolated.copy_package(tmp_path, replace={
        "__init__.py": MINIMAL_INIT, "errors.py": errors_source})
    qxisolated.check("""
        from pyqivrexdb import qxcore, errors
        for name in %r:
            assert getattr(qxcore, name) is getattr(errors, name)
        for name in %r:
            assert not hasattr(qxcore, name)
    """ % (present, absent), package)
