"""Connection: construction, logging on and off, with, __del__, cursor() and
the debug log."""

import contextlib
import gc
import logging

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import DatabaseError, InterfaceError, ProgrammingError
from qxdouble import QSCLI_ATTR_CBK_SRVMSG, QSCLI_ATTR_CBK_SRVUSERSEND

CONNECT = ["qcSqlAllocConnect", "qcSqlConnect"]
CLOSE = ["qcSqlDisconnect", "qcSqlFreeConnect"]


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "user", "secret")
    double.clear()
    return c


def test_method_table_order():
    assert [n for n in vars(qxcore.Connection) if n not in ("__new__", "__init__", "__doc__")] == [
        "connect", "__enter__", "__exit__", "__del__", "close", "cursor", "execute", "begin",
        "commit", "rollback", "server_version", "server_address", "client_address",
        "usersend_callback", "send_callback", "addrecords", "interrupt"]


@pytest.mark.parametrize("args, kwargs, journal", [
    ((), {}, []),
    (("srv", ""), {}, []),
    ((None, "user", "pw"), {}, []),
    (("srv", "user", "pw"), {}, CONNECT),
    ((), {"server": "srv", "user": "user", "passwd": "pw"}, CONNECT),
])
def test_construction_connects_only_with_server_and_user(double, args, kwargs, journal):
    c = qxcore.Connection(*args, **kwargs)
    assert double.names() == ["qcSqlInit"] + journal
    if not journal:
        with pytest.raises(ProgrammingError, match="^Connection is already closed$"):
            c.cursor()


def test_construction_uses_initlibrary_and_connect_as_bound_now(double):
    class Recording(qxcore.Connection):
        def connect(self, *args):
            self.args = args

    qxcore.initlibrary = lambda: None
    assert Recording("srv", "user").args == ("srv", "user", None)
    assert double.names() == []
    del qxcore.initlibrary
    with pytest.raises(NameError):
        qxcore.Connection()


@pytest.mark.parametrize("args, kwargs, sent", [
    (("srv",), {}, (b"srv", b"", b"")),
    ((), {"dsn": "srv", "user": "u", "passwd": "p"}, (b"srv", b"u", b"p")),
    (("Сервер", "Пользователь", "пароль"), {},
     ("Сервер".encode("cp866"), "Пользователь".encode("cp866"), "пароль".encode("cp866"))),
])
def test_module_connect_sends_cp866_texts(double, args, kwargs, sent):
    assert isinstance(qxcore.connect(*args, **kwargs), qxcore.Connection)
    assert double.calls() == [("qcSqlInit", (0,)), ("qcSqlAllocConnect", (None,)),
                              ("qcSqlConnect", (1, *sent))]


def test_module_connect_refuses_none_before_loading(double):
    with pytest.raises(InterfaceError) as info:
        qxcore.connect(None, "user", "pw")
    assert info.value.args == ("dsn value should not be None",)
    assert double.names() == []


@pytest.mark.parametrize("server, user, passwd, error", [
    ("srv", "user", None, AttributeError),
    ("srv", b"user", "pw", AttributeError),
    ("srv", "user", "€uro", UnicodeEncodeError),
    ("srv\0evil", "user", "pw", ValueError),
    ("srv", "user", "pw\0", ValueError),
])
def test_bad_texts_fail_before_logging_on_and_release_the_handle(double, server, user, passwd,
                                                                  error):
    c = qxcore.Connection()
    with pytest.raises(error):
        c.connect(server, user, passwd)
    assert double.calls()[1:] == [("qcSqlAllocConnect", (None,)), ("qcSqlFreeConnect", (1,))]
    with pytest.raises(ProgrammingError):
        c.cursor()


@pytest.mark.parametrize("entry, cls, template, journal", [
    ("qcSqlAllocConnect", InterfaceError, "qcSqlAllocConnect error %d:", ["qcSqlAllocConnect"]),
    # A refused log-on asks for the server's text before the handle goes.
    ("qcSqlConnect", DatabaseError, "qcSqlConnect error %d:",
     CONNECT + ["qcSqlGetConnectAttr", "qcSqlFreeConnect"]),
])
@pytest.mark.parametrize("rc", [-2147483648, 2147483647])
def test_logon_failures(double, entry, cls, template, journal, rc):
    double.fail(entry, rc)
    c = qxcore.Connection()
    with pytest.raises(cls) as info:
        c.connect("srv", "user", "pw")
    assert type(info.value) is cls and info.value.args == (template, rc)
    assert double.names()[1:] == journal
    assert c.close() is None and double.names()[1:] == journal


def test_connect_on_a_connected_object_ends_the_first_session(double, conn):
    # ... once the new one is logged on
    conn.connect("other", "user", "pw")
    assert double.calls() == [
        ("qcSqlAllocConnect", (None,)), ("qcSqlConnect", (2, b"other", b"user", b"pw")),
        ("qcSqlDisconnect", (1,)), ("qcSqlFreeConnect", (1,))]
    double.clear()
    conn.close()
    assert double.calls() == [("qcSqlDisconnect", (2,)), ("qcSqlFreeConnect", (2,))]


@pytest.mark.parametrize("args, failure, error", [
    (("bad\0server", "user", "pw"), None, ValueError),
    (("srv", 5, "pw"), None, AttributeError),  # no encode()
    (("srv", "user", "pw"), ("qcSqlConnect", -3), DatabaseError),
    (("srv", "user", "pw"), ("qcSqlAllocConnect", -3), InterfaceError),
])
def test_a_failed_reconnect_keeps_the_session(double, conn, args, failure, error):
    cur = conn.cursor()
    double.clear()
    if failure:
        double.fail(*failure, times=1)
    with pytest.raises(error):
        conn.connect(*args)
    assert "qcSqlDisconnect" not in double.names()
    assert double.live_connections() == [1]
    cur.execute("select")
    assert conn.server_version() is not None
    double.clear()
    conn.close()
    assert double.calls() == [("qcSqlDisconnect", (1,)), ("qcSqlFreeConnect", (1,))]


def test_a_reconnect_whose_old_session_fails_to_end_keeps_the_new_one(double, conn, monkeypatch):
    told = []
    monkeypatch.setattr("sys.unraisablehook", told.append)
    double.fail("qcSqlDisconnect", -7, times=1)
    conn.connect("other", "user", "pw")
    assert [u.exc_value.args for u in told] == [("qcSqlDisconnect error %d:", -7)]
    assert double.live_connections() == [2]
    conn.cursor().execute("select")
    double.clear()
    assert conn.close() is None
    assert double.calls() == [("qcSqlDisconnect", (2,)), ("qcSqlFreeConnect", (2,))]


def test_a_reconnect_whose_receivers_cannot_be_registered_keeps_the_session(double, conn, monkeypatch):
    # With DEBUG on, connect() registers the log's receivers on the new
    # session: a failure there must not cost the old one.
    monkeypatch.setattr(qxcore, "DEBUG", True)
    cur = conn.cursor()
    double.clear()
    double.fail("qcSqlSetConnectAttr", -3, times=1)
    with pytest.raises(DatabaseError):
        conn.connect("other", "user", "pw")
    assert double.live_connections() == [1]
    assert "qcSqlDisconnect" in double.names()  # of the new session only
    assert [c.args[0] for c in double.calls("qcSqlDisconnect")] == [2]
    cur.execute("select")
    monkeypatch.setattr(qxcore, "DEBUG", False)


def test_close_logs_off_once(double, conn):
    assert conn.close() is None
    assert double.calls() == [("qcSqlDisconnect", (1,)), ("qcSqlFreeConnect", (1,))]
    assert conn.close() is None and conn.__del__() is None
    assert double.names() == CLOSE
    conn.server_version()  # the released handle is never handed out again
    assert double.calls()[-1].args[0] == 0
    with pytest.raises(ProgrammingError, match="^Connection is already closed$"):
        conn.cursor()


@pytest.mark.parametrize("failures, raised", [
    ({"qcSqlDisconnect": -7}, ("qcSqlDisconnect error %d:", -7)),
    ({"qcSqlFreeConnect": -8}, ("qcSqlFreeConnect error %d:", -8)),
    ({"qcSqlDisconnect": -7, "qcSqlFreeConnect": -8}, ("qcSqlDisconnect error %d:", -7)),
])
def test_close_releases_the_handle_even_when_logging_off_fails(double, conn, failures, raised):
    for name, rc in failures.items():
        double.fail(name, rc)
    with pytest.raises(InterfaceError) as info:
        conn.close()
    assert info.value.args == raised
    assert conn.close() is None
    assert double.names() == CLOSE


@pytest.mark.parametrize("body, raised", [
    (lambda c: None, None),
    (lambda c: {}["missing"], KeyError),
    (lambda c: c.close(), None),
])
def test_with_block_closes_once_and_lets_exceptions_through(double, conn, body, raised):
    with pytest.raises(raised) if raised else contextlib.nullcontext():
        with conn as c:
            assert c is conn
            body(c)
    assert double.names() == CLOSE


def test_dropping_a_connection_releases_nothing_but_a_subclass_finalises(double):
    class Finalised(qxcore.Connection):
        pass

    c = qxcore.connect("srv", "user", "pw")
    f = Finalised("srv", "user", "pw")
    double.clear()
    del c
    gc.collect()
    assert double.names() == []
    del f
    gc.collect()
    assert double.calls() == [("qcSqlDisconnect", (2,)), ("qcSqlFreeConnect", (2,))]


@pytest.mark.parametrize("debug, err_to_user, sends", [
    (False, False, False),
    (False, "yes", True),
    (True, False, True),
])
def test_cursor_gets_the_handle_and_diagnostics(double, conn, debug, err_to_user, sends):
    qxcore.DEBUG = debug
    conn.cursor(err_to_user=err_to_user)
    assert double.calls("qcSqlAllocStmt") == [("qcSqlAllocStmt", (1, None))]
    assert bool(double.calls("qcSqlExecDirect")) == sends


def test_debug_lines_mask_the_password(double, caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    qxcore.connect("srv", "user", "secret").close()
    assert caplog.records == []
    qxcore.DEBUG = True
    c = qxcore.Connection()
    c.connect("srv", "user", "secret")
    c.close()
    r = repr(c)
    assert [rec.getMessage() for rec in caplog.records] == [
        "%s: __init__" % r, "%s: connect(srv, user, ***)" % r, "%s: close()" % r]
    assert "secret" not in caplog.text


def test_debug_connect_registers_the_default_loggers(double):
    qxcore.connect("srv", "user", "pw")
    assert double.calls("qcSqlSetConnectAttr") == []
    qxcore.DEBUG = True
    qxcore.connect("srv", "user", "pw")
    calls = double.calls("qcSqlSetConnectAttr")
    assert [(c.args[0], c.args[1], c.args[3]) for c in calls] == [(2, QSCLI_ATTR_CBK_SRVMSG, 0),
                                                                  (2, QSCLI_ATTR_CBK_SRVUSERSEND, 0)]
    assert qxcore.SCALLBACK is qxcore.srvsendlog
    assert qxcore.USCALLBACK is qxcore.srvusersendlog


def test_debug_connect_failing_to_register_leaves_no_session(double):
    qxcore.DEBUG = True
    double.fail("qcSqlSetConnectAttr", -9, times=1)
    c = qxcore.Connection()
    with pytest.raises(DatabaseError) as info:
        c.connect("srv", "user", "pw")
    assert info.value.args == ("qcSqlSetConnectAttr error %d:", -9)
    assert double.names()[-3:] == ["qcSqlSetConnectAttr"] + CLOSE
    with pytest.raises(ProgrammingError):
        c.cursor()


@pytest.mark.parametrize("entry", ["qcSqlDisconnect", "qcSqlFreeConnect"])
def test_connecting_anew_while_closing_keeps_the_new_session(double, conn, entry):
    # Regression: close() released whatever handle the object held by the time
    # the library returned, so the new session was freed without logging off,
    # the old handle leaked, and the object stayed "connected" with handle 0.
    conn.send_callback(lambda message: conn.connect("other", "user", "pw"))
    double.add_message(b"bye", entry)
    conn.close()
    assert double.calls("qcSqlDisconnect") == [("qcSqlDisconnect", (1,))]
    assert double.calls("qcSqlFreeConnect") == [("qcSqlFreeConnect", (1,))]
    assert double.live_connections() == [2]
    conn.cursor()
    assert double.calls("qcSqlAllocStmt") == [("qcSqlAllocStmt", (2, None))]
    conn.close()
    assert double.live_connections() == [] and double.stale_calls() == []


def test_texts_are_sent_as_their_encode_returned_them(double):
    # Regression: a bytearray from one encode() was read by the library after
    # a later encode() had resized (and so moved) or refilled it.
    server = bytearray(b"srv")

    class Shared(str):
        def encode(self, *args):
            return server

    class Growing(str):
        def encode(self, *args):
            server.extend(b"-" * 100000)
            return b"pw"

    class Poisoning(str):
        def encode(self, *args):
            server[1] = 0
            return b"pw"

    c = qxcore.Connection()
    for later in (Growing, Poisoning):
        server[:] = b"srv"
        c.connect(Shared("srv"), "user", later("pw"))
        assert double.calls("qcSqlConnect")[-1].args[1:] == (b"srv", b"user", b"pw")


def doc(*lines, indent=8):
    pad = "\n" + " " * indent
    return pad + pad.join(lines) + pad


@pytest.mark.parametrize("name, text", [
    (None, doc("DB-API Connection", indent=4)),
    ("close", doc("DB-API Connection.close()")),
    ("cursor", doc("DB-API Connection.cursor()", ":param err_to_user:", ":return:")),
    ("execute", doc(":param textsql: str", ":return:")),
    ("begin", doc("Начать транзакцию", ":param name: str", ":param tables_name:")),
    ("commit", doc("DB-API Connection.commit()", ":param name: str")),
    ("rollback", doc("DB-API Connection.rollback()", ":type name: str")),
    ("server_version", doc("Версия сервера Qivrex", ":return:", ":return: str")),
    ("server_address", doc("Сетевой адрес (сервера)", ":return: str")),
    ("client_address", doc("Адрес (клиента)", ":return: str")),
    ("send_callback", doc("Функция обработки", "сообщений сервера", ":param scallback:",
                          ":return:")),
    ("usersend_callback", doc("Функция обработки пользовательских", "сообщений сервера",
                              ":param uscallback:", ":return:")),
])
def test_docstrings(name, text):
    target = qxcore.Connection if name is None else getattr(qxcore.Connection, name)
    assert target.__doc__ == text
