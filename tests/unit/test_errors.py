import pickle

import pytest

from pyqivrexdb import errors
from pyqivrexdb import qxcore
from pyqivrexdb.errors import (DatabaseError, DataError, Error, IntegrityError, InterfaceError,
                               InternalError, NotSupportedError, OperationalError,
                               ProgrammingError, Warning)


@pytest.mark.parametrize("cls, base", [
    (Warning, Exception), (Error, Exception),
    (InterfaceError, Error), (DatabaseError, Error),
    (DataError, DatabaseError), (OperationalError, DatabaseError),
    (IntegrityError, DatabaseError), (InternalError, DatabaseError),
    (ProgrammingError, DatabaseError), (NotSupportedError, DatabaseError),
])
def test_hierarchy(cls, base):
    assert issubclass(cls, base)
    assert cls.__module__ == "pyqivrexdb.errors"


def test_warning_is_not_an_error():
    assert not issubclass(Warning, Error)


@pytest.mark.parametrize("cls, args, text, message, code", [
    (ProgrammingError, ("Connection is already closed",), "Connection is already closed",
     "Connection is already closed", None),
    (DatabaseError, ("qcSqlConnect error %d:", -5), "qcSqlConnect error -5:",
     "qcSqlConnect error %d:", -5),
    (InterfaceError, ("qcSqlInit error %d:", 2147483647), "qcSqlInit error 2147483647:",
     "qcSqlInit error %d:", 2147483647),
    (ProgrammingError, ("qcSqlExecDirect error %d:", -2147483648),
     "qcSqlExecDirect error -2147483648:", "qcSqlExecDirect error %d:", -2147483648),
    (IntegrityError, ("execute() error=%d: params=[$%]", (-19, "a, b")),
     "execute() error=-19: params=[a, b]", "execute() error=%d: params=[$%]", -19),
    (IntegrityError, ("execute() error=%d: params=[$%]", (3, "")),
     "execute() error=3: params=[]", "execute() error=%d: params=[$%]", 3),
    # a one-argument error passed on with its (absent) code, as rollback() does
    (ProgrammingError, ("qcSqlFreeStmt error -3:", None), "qcSqlFreeStmt error -3:",
     "qcSqlFreeStmt error -3:", None),
    (Error, (), "", "", None),
])
def test_construction_forms(cls, args, text, message, code):
    exc = cls(*args)
    assert exc.args == args
    assert str(exc) == text
    assert exc._message == message
    assert exc.error_code_qivrex == code


@pytest.mark.parametrize("args", [
    ("percent %d and %s", 5),   # the template does not fit the code
    ("no placeholder", 7),
    ("%d", "text"),
])
def test_str_of_a_template_that_does_not_fit_falls_back(args):
    exc = ProgrammingError(*args)
    assert str(exc) == str(args)
    assert exc._message == args[0]


@pytest.mark.parametrize("args", [
    ("finished message",),
    ("qcSqlConnect error %d:", -5),
    ("execute() error=%d: params=[$%]", (-19, "a, b")),
])
def test_pickle_round_trip(args):
    exc = pickle.loads(pickle.dumps(IntegrityError(*args)))
    assert type(exc) is IntegrityError
    assert exc.args == args
    assert str(exc) == str(IntegrityError(*args))
    assert exc.error_code_qivrex == IntegrityError(*args).error_code_qivrex


def test_public_names():
    assert sorted(errors.__all__) == sorted([
        "Warning", "Error", "InterfaceError", "DatabaseError", "DataError",
        "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
        "NotSupportedError", "CommitOutcomeUnknown"])


def test_module_raises_the_package_classes(double):
    double.fail("qcSqlInit", -7, times=1)
    with pytest.raises(errors.InterfaceError) as info:
        qxcore.initlibrary()
    assert type(info.value) is errors.InterfaceError
    assert info.value._message == "qcSqlInit error %d:"
    assert info.value.error_code_qivrex == -7
