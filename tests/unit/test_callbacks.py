"""Server and user messages delivered while the library is busy."""

import gc
import logging
import sys
import threading

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import DatabaseError, ProgrammingError
from qxdouble import QSCLI_ATTR_CBK_SRVMSG, QSCLI_ATTR_CBK_SRVUSERSEND

SRV_CONTEXT = "pyqivrexdb.qxcore.qcSqlCbkSrvMsgT"
USER_CONTEXT = "pyqivrexdb.qxcore.qcSqlCbkSrvUserSendT"


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "user", "pw")
    double.clear()
    return c


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def receive(conn, double, text, **script):
    """Registers recorders, runs one statement during which `text` arrives,
    and returns what reached them: [(message,)] or [(message, usertype)]."""
    got = []
    conn.send_callback(lambda *args: got.append(args))
    conn.usersend_callback(lambda *args: got.append(args))
    double.clear()
    double.add_message(text, "qcSqlExecDirect", **script)
    conn.execute("select 1")
    double.join_threads()
    return got


@pytest.mark.parametrize("size", [0, 1, 249, 250, 251, 500, 600])
def test_message_read_in_chunks_of_250(double, conn, size):
    text = bytes(0x30 + i % 10 for i in range(size))
    assert receive(conn, double, text) == [(text.decode(),)]
    reads = double.calls("qcSqlConnReadMsg")
    assert len(reads) == -(-size // 250) + 1  # the last one empty
    assert set(reads) == {("qcSqlConnReadMsg", (1, 250, 250, None))}


@pytest.mark.parametrize("chunks, delivered", [
    ([100, 0, 100], 100),        # the first empty read ends the message
    ([300, 100], 350),           # a read reported past the buffer counts 250
    ([0], 0),
])
def test_scripted_reads(double, conn, chunks, delivered):
    text = bytes(0x41 + i % 26 for i in range(400))
    assert receive(conn, double, text, chunks=chunks) == [(text[:delivered].decode(),)]


@pytest.mark.parametrize("usertype", [None, 0, -1, 2147483647, -2147483648])
def test_messages_decoded_from_cp866_with_their_type(double, conn, usertype):
    text = "Сообщение сервера: ёЁ №" * 20
    got = receive(conn, double, text.encode("cp866"), user_type=usertype)
    assert got == [(text,) if usertype is None else (text, usertype)]


def test_messages_go_to_srvsendlog_without_receivers(double, conn, caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    conn.send_callback(None)
    conn.usersend_callback(0)
    double.add_message(b"server", "qcSqlExecDirect")
    double.add_message(b"user", "qcSqlExecDirect", user_type=3)
    conn.execute("select 1")
    assert [r.getMessage() for r in caplog.records] == ["SrvSend(server)", "SrvSend(user)"]
    got = []
    qxcore.srvsendlog = got.append  # looked up at each delivery
    double.add_message(b"late", "qcSqlExecDirect")
    conn.execute("select 1")
    assert got == ["late"]


def test_default_loggers_after_a_debug_connect(double, caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    qxcore.DEBUG = True
    c = qxcore.connect("srv", "user", "pw")
    qxcore.DEBUG = False
    caplog.clear()
    double.add_message(b"server", "qcSqlExecDirect")
    double.add_message(b"user", "qcSqlExecDirect", user_type=3)
    c.execute("select 1")
    assert [r.getMessage() for r in caplog.records] == ["SrvSend(server)", "SrvUserSend(user)"]


def test_receivers_are_module_wide(double, conn):
    first, second = [], []
    conn.send_callback(first.append)
    other = qxcore.connect("srv2", "user", "pw")
    other.send_callback(second.append)
    double.add_message(b"for the first", "qcSqlExecDirect")
    conn.execute("select 1")
    assert (first, second) == ([], ["for the first"])


@pytest.mark.parametrize("user_type, context", [(None, SRV_CONTEXT), (5, USER_CONTEXT)])
def test_raising_receiver_is_reported_and_the_statement_goes_on(double, conn, unraisable, capfd,
                                                                user_type, context):
    def broken(*args):
        raise RuntimeError("receiver broke")

    conn.send_callback(broken)
    conn.usersend_callback(broken)
    double.add_message(b"x", "qcSqlExecDirect", user_type=user_type)
    assert conn.execute("select 1") is None
    assert double.names()[-1] == "qcSqlFreeStmt"
    assert len(unraisable) == 1
    assert unraisable[0].object == context
    assert isinstance(unraisable[0].exc_value, RuntimeError)
    err = capfd.readouterr().err
    assert "Traceback" in err and "receiver broke" in err


def test_missing_receiver_name_is_reported(double, conn, unraisable):
    conn.send_callback(None)
    del qxcore.SCALLBACK
    double.add_message(b"x", "qcSqlExecDirect")
    conn.execute("select 1")
    assert [type(u.exc_value) for u in unraisable] == [NameError]


def test_message_during_a_failing_statement_keeps_its_error(double, conn, unraisable):
    got = []
    conn.send_callback(got.append)
    double.fail("qcSqlExecDirect", -3)
    double.add_message(b"one", "qcSqlFreeStmt")
    with pytest.raises(ProgrammingError) as info:
        conn.execute("select 1")
    assert info.value.args == ("qcSqlExecDirect error %d:", -3)
    assert got == ["one"]

    conn.send_callback(lambda m: 1 / 0)
    double.add_message(b"two", "qcSqlFreeStmt")
    with pytest.raises(ProgrammingError) as info:
        conn.execute("select 1")
    assert info.value.args == ("qcSqlExecDirect error %d:", -3)
    assert [type(u.exc_value) for u in unraisable] == [ZeroDivisionError]


def test_receiver_that_drops_itself_and_collects(double, conn):
    got = []

    class Receiver:
        def __call__(self, message):
            qxcore.SCALLBACK = None      # the last reference to this receiver
            cycle = [message]
            cycle.append(cycle)
            del cycle
            gc.collect()
            got.append(message)

    conn.send_callback(Receiver())
    double.add_message(b"a" * 600, "qcSqlExecDirect")
    conn.execute("select 1")
    assert got == ["a" * 600]


def test_messages_from_another_thread(double, conn, unraisable):
    seen = []

    def receiver(message):
        seen.append((message, threading.get_ident()))
        if message == "bad":
            raise ValueError(message)

    conn.send_callback(receiver)
    double.add_message(b"from afar", "qcSqlExecDirect", thread=True)
    double.add_message(b"bad", "qcSqlExecDirect", thread=True)
    conn.execute("select 1")
    double.join_threads()
    assert sorted(m for m, _ in seen) == ["bad", "from afar"]
    assert threading.get_ident() not in [t for _, t in seen]
    assert [u.object for u in unraisable] == [SRV_CONTEXT]


@pytest.mark.parametrize("method, variable, attr", [
    ("send_callback", "SCALLBACK", QSCLI_ATTR_CBK_SRVMSG),
    ("usersend_callback", "USCALLBACK", QSCLI_ATTR_CBK_SRVUSERSEND),
])
def test_registration(double, conn, method, variable, attr):
    receiver = object()
    assert getattr(conn, method)(receiver) is None
    assert getattr(qxcore, variable) is receiver
    [call] = double.calls("qcSqlSetConnectAttr")
    assert (call.args[0], call.args[1], call.args[3]) == (1, attr, 0) and call.args[2]

    double.fail("qcSqlSetConnectAttr", -9)
    refused = object()
    with pytest.raises(DatabaseError) as info:
        getattr(conn, method)(refused)
    assert info.value.args == ("qcSqlSetConnectAttr error %d:", -9)
    assert getattr(qxcore, variable) is refused


def test_default_loggers_log_whatever_debug_says(caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    assert qxcore.srvsendlog("one") is None
    assert qxcore.srvusersendlog("two", 5) is None
    assert qxcore.srvusersendlog(message="three", usertype=None) is None
    assert [r.getMessage() for r in caplog.records] == [
        "SrvSend(one)", "SrvUserSend(two)", "SrvUserSend(three)"]
    with pytest.raises(TypeError):
        qxcore.srvusersendlog("four")
