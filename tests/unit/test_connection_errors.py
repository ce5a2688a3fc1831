"""A connection's refusals, raised once in the class each face gives them:
the core's designed class with the code, the standard face's class by the
library's code, with the same message and code."""
import pytest

from pyqivrexdb import dbapi, qxcore
from pyqivrexdb.errors import DatabaseError, InterfaceError, OperationalError, ProgrammingError
from qxdouble import QSCLI_E_AUTH, QSCLI_E_CANTOPEN, QSCLI_E_MISUSE


@pytest.mark.parametrize("call, rc, core_class, standard_class", [
    ("qcSqlConnect", QSCLI_E_CANTOPEN, DatabaseError, OperationalError),
    ("qcSqlConnect", QSCLI_E_AUTH, DatabaseError, OperationalError),
    ("qcSqlConnect", QSCLI_E_MISUSE, DatabaseError, ProgrammingError),
    ("qcSqlConnect", 3, DatabaseError, DatabaseError),
    ("qcSqlAllocConnect", QSCLI_E_CANTOPEN, InterfaceError, OperationalError),
])
def test_connect_refused(double, call, rc, core_class, standard_class):
    for connect, cls in [(qxcore.connect, core_class), (dbapi.connect, standard_class)]:
        double.fail(call, rc, times=1)
        with pytest.raises(cls) as info:
            connect("srv")
        assert type(info.value) is cls
        assert str(info.value) == "%s error %d:" % (call, rc)
        assert info.value.error_code_qivrex == rc
        assert info.value.__context__ is None
    assert info.value.code == rc and info.value.server_text is None
    assert double.live_connections() == []

