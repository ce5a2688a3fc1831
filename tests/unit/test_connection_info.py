"""Connection.server_version, server_address and client_address."""

import logging

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import DatabaseError
from qxdouble import QSCLI_CONN_LCLADDR, QSCLI_CONN_RMTADDR, QSCLI_CONN_SRV_VERS2

# method, attribute, buffer size, error template, debug line (or None)
METHODS = [
    ("server_version", QSCLI_CONN_SRV_VERS2, 20, "server_version error %d:", "%r: server_version %s"),
    ("server_address", QSCLI_CONN_RMTADDR, 20, "server_address error %d:", "%r: server_address() %s"),
    ("client_address", QSCLI_CONN_LCLADDR, 50, "qcSqlGetConnectAttr error %d:", None),
]
IDS = [m[0] for m in METHODS]


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "user", "pw")
    double.clear()
    return c


@pytest.mark.parametrize("method, attr, size, template, line", METHODS, ids=IDS)
@pytest.mark.parametrize("stored, shown", [
    (b"", ""),
    (b"7.2.1", "7.2.1"),
    (b"\x8f\xe0\xae\xe1\xe2\xae", "Просто"),
    (b"ab\0cd", "ab"),
    ("fill", None),      # the longest text the buffer holds: size - 1 bytes
    ("over", None),      # longer than the buffer: what the library cuts it to
])
def test_text_up_to_the_nul(double, conn, method, attr, size, template, line, stored, shown):
    if stored == "fill":
        stored = bytes(range(0x41, 0x41 + size - 1))
        shown = stored.decode("cp866")
    elif stored == "over":
        stored = b"x" * (size + 10)
        shown = "x" * (size - 1)
    double.set_attr_text(attr, stored)
    assert getattr(conn, method)() == shown
    assert double.calls() == [("qcSqlGetConnectAttr", (1, attr, 0, size, size, None))]


@pytest.mark.parametrize("method, attr, size, template, line", METHODS, ids=IDS)
@pytest.mark.parametrize("rc", [-1, -2147483648, 2147483647])
def test_library_failure(double, conn, caplog, method, attr, size, template, line, rc):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    qxcore.DEBUG = True
    double.fail("qcSqlGetConnectAttr", rc)
    with pytest.raises(DatabaseError) as info:
        getattr(conn, method)()
    assert type(info.value) is DatabaseError
    assert info.value.args == (template, rc)
    assert caplog.records == []


@pytest.mark.parametrize("method, attr, size, template, line", METHODS, ids=IDS)
def test_debug_lines(double, conn, caplog, method, attr, size, template, line):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    double.set_attr_text(attr, b"10.0.0.1")
    getattr(conn, method)()
    assert caplog.records == []
    qxcore.DEBUG = True
    getattr(conn, method)()
    expected = [] if line is None else [line % (conn, "10.0.0.1")]
    assert [r.getMessage() for r in caplog.records] == expected
