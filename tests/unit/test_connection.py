"""Connection: construction, logging on and off, the context manager, __del__,
cursor() refusal and the debug log."""

import gc
import logging

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import DatabaseError, InterfaceError, ProgrammingError

CONNECT = ["qcSqlAllocConnect", "qcSqlConnect"]
CLOSE = ["qcSqlDisconnect", "qcSqlFreeConnect"]


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "user", "secret")
    double.clear()
    return c


def test_class_shape():
    cls = qxcore.Connection
    assert (cls.__module__, cls.__qualname__) == ("pyqivrexdb.qxcore", "Connection")
    assert cls.__doc__ == "\n    DB-API Connection\n    "
    assert [n for n in vars(cls) if not n.startswith("__") or n in
            ("__enter__", "__exit__", "__del__")] == [
        "connect", "__enter__", "__exit__", "__del__", "close", "cursor", "execute", "begin",
        "commit", "rollback", "server_version", "server_address", "client_address",
        "usersend_callback", "send_callback", "addrecords"]


def test_instances_have_no_dictionary_and_hide_their_fields(double):
    c = qxcore.Connection()
    for name in ("_is_connected", "hdb"):
        assert not hasattr(c, name)
    with pytest.raises(AttributeError):
        c.anything = 1


@pytest.mark.parametrize("args, kwargs, journal", [
    ((), {}, []),
    (("srv",), {}, []),
    (("srv", ""), {}, []),
    (("", "user", "pw"), {}, []),
    ((None, "user", "pw"), {}, []),
    (("srv", "user", "pw"), {}, CONNECT),
    ((), {"server": "srv", "user": "user", "passwd": "pw"}, CONNECT),
])
def test_construction_connects_only_with_server_and_user(double, args, kwargs, journal):
    c = qxcore.Connection(*args, **kwargs)
    assert double.names() == ["qcSqlInit"] + journal
    if not journal:
        with pytest.raises(ProgrammingError):
            c.cursor()


def test_construction_without_password_fails_at_encoding_and_releases_the_handle(double):
    with pytest.raises(AttributeError):
        qxcore.Connection("srv", "user")
    assert double.calls()[1:] == [("qcSqlAllocConnect", (None,)), ("qcSqlFreeConnect", (1,))]


def test_construction_calls_initlibrary_as_bound_now(double):
    seen = []
    qxcore.initlibrary = lambda: seen.append("loaded")
    qxcore.Connection()
    assert seen == ["loaded"] and double.names() == []

    def broken():
        raise InterfaceError("qcSqlInit error qscli.dll")
    qxcore.initlibrary = broken
    with pytest.raises(InterfaceError):
        qxcore.Connection("srv", "user", "pw")
    assert double.names() == []


def test_construction_loads_again_each_time_unless_initial(double):
    qxcore.Connection()
    qxcore.Connection()
    assert double.names() == ["qcSqlInit", "qcSqlInit"]
    double.clear()
    qxcore.INITIAL = True
    qxcore.Connection()
    assert double.names() == []


def test_construction_calls_connect_of_a_subclass(double):
    class Recording(qxcore.Connection):
        def connect(self, *args):
            self.args = args
    assert Recording("srv", "user").args == ("srv", "user", None)
    assert double.names() == ["qcSqlInit"]


@pytest.mark.parametrize("args, kwargs, sent", [
    (("srv",), {}, (b"srv", b"", b"")),
    (("srv", "user"), {}, (b"srv", b"user", b"")),
    ((), {"dsn": "srv", "user": "u", "passwd": "p"}, (b"srv", b"u", b"p")),
    (("Сервер", "Пользователь", "пароль"), {},
     ("Сервер".encode("cp866"), "Пользователь".encode("cp866"), "пароль".encode("cp866"))),
])
def test_module_connect_sends_cp866_texts(double, args, kwargs, sent):
    c = qxcore.connect(*args, **kwargs)
    assert isinstance(c, qxcore.Connection)
    assert double.calls() == [("qcSqlInit", (0,)), ("qcSqlAllocConnect", (None,)),
                              ("qcSqlConnect", (1, *sent))]


def test_module_connect_refuses_none_before_loading(double):
    with pytest.raises(InterfaceError) as info:
        qxcore.connect(None, "user", "pw")
    assert info.value.args == ("dsn value should not be None",)
    assert double.names() == []


@pytest.mark.parametrize("server, user, passwd, error", [
    ("srv", "user", None, AttributeError),
    ("srv", b"user", "pw", AttributeError),  # bytes.encode does not exist
    ("srv", "user", "€uro", UnicodeEncodeError),
    ("srv\0evil", "user", "pw", ValueError),
    ("srv", "user", "pw\0", ValueError),
])
def test_bad_texts_fail_before_logging_on_and_release_the_handle(double, server, user, passwd,
                                                                  error):
    c = qxcore.Connection()
    double.clear()
    with pytest.raises(error):
        c.connect(server, user, passwd)
    assert double.calls() == [("qcSqlAllocConnect", (None,)), ("qcSqlFreeConnect", (1,))]
    with pytest.raises(ProgrammingError):
        c.cursor()


def test_encode_of_a_text_object_is_used(double):
    class Text:
        def encode(self, codec):
            return bytearray(b"via-" + codec.encode())

    qxcore.connect(Text(), "user", "pw")
    assert double.calls("qcSqlConnect")[0].args == (1, b"via-cp866", b"user", b"pw")


def test_alloc_connect_failure(double):
    double.fail("qcSqlAllocConnect", -5)
    c = qxcore.Connection()
    with pytest.raises(InterfaceError) as info:
        c.connect("srv", "user", "pw")
    assert info.value.args == ("qcSqlAllocConnect error %d:", -5)
    assert double.names() == ["qcSqlInit", "qcSqlAllocConnect"]


def test_connect_failure_releases_the_handle(double):
    double.fail("qcSqlConnect", -3)
    c = qxcore.Connection()
    with pytest.raises(DatabaseError) as info:
        c.connect("srv", "user", "pw")
    assert type(info.value) is DatabaseError
    assert info.value.args == ("qcSqlConnect error %d:", -3)
    assert double.names()[1:] == CONNECT + ["qcSqlFreeConnect"]
    double.clear()
    assert c.close() is None
    assert double.names() == []


def test_connect_on_a_connected_object_ends_the_first_session(double, conn):
    conn.connect("other", "user", "pw")
    assert double.calls() == [
        ("qcSqlDisconnect", (1,)), ("qcSqlFreeConnect", (1,)),
        ("qcSqlAllocConnect", (None,)), ("qcSqlConnect", (2, b"other", b"user", b"pw"))]
    double.clear()
    conn.close()
    assert double.calls() == [("qcSqlDisconnect", (2,)), ("qcSqlFreeConnect", (2,))]


def test_close_logs_off_once(double, conn):
    assert conn.close() is None
    assert double.calls() == [("qcSqlDisconnect", (1,)), ("qcSqlFreeConnect", (1,))]
    double.clear()
    assert conn.close() is None
    assert conn.__del__() is None
    assert double.names() == []
    with pytest.raises(ProgrammingError) as info:
        conn.cursor()
    assert info.value.args == ("Connection is already closed",)


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
    assert double.names() == CLOSE
    double.clear()
    assert conn.close() is None
    assert double.names() == []


def test_with_block_closes_and_returns_the_connection(double, conn):
    with conn as inside:
        assert inside is conn
    assert double.names() == CLOSE


def test_with_block_closes_and_lets_the_exception_through(double, conn):
    with pytest.raises(KeyError):
        with conn:
            raise KeyError("boom")
    assert double.names() == CLOSE


def test_with_block_closed_inside_makes_no_second_release(double, conn):
    with conn:
        conn.close()
    assert double.names() == CLOSE


def test_exit_takes_positional_arguments_only(conn):
    assert conn.__exit__(None, None, None, "extra") is None
    with pytest.raises(TypeError):
        conn.__exit__(exc=None)


def test_exit_and_del_call_close_of_a_subclass(double):
    class Counting(qxcore.Connection):
        __slots__ = ("closed",)

        def close(self):
            self.closed = getattr(self, "closed", 0) + 1
            return super().close()

    c = Counting("srv", "user", "pw")
    c.__del__()
    c.__exit__()
    assert c.closed == 2  # __del__ while connected, __exit__ unconditionally


def test_dropping_a_connection_releases_nothing_but_a_subclass_finalises(double):
    c = qxcore.connect("srv", "user", "pw")
    double.clear()
    del c
    gc.collect()
    assert double.names() == []

    class Finalised(qxcore.Connection):
        pass

    f = Finalised("srv", "user", "pw")
    double.clear()
    del f
    gc.collect()
    assert double.names() == CLOSE


def test_cursor_refused_before_connecting(double):
    with pytest.raises(ProgrammingError) as info:
        qxcore.Connection().cursor(err_to_user=True)
    assert info.value.args == ("Connection is already closed",)
    assert double.names() == ["qcSqlInit"]


@pytest.mark.parametrize("debug, err_to_user, sends", [
    (False, False, False),
    (False, True, True),
    (True, False, True),
])
def test_cursor_gets_the_handle_and_diagnostics(double, conn, debug, err_to_user, sends):
    qxcore.DEBUG = debug
    conn.cursor(err_to_user=err_to_user)
    assert double.calls("qcSqlAllocStmt") == [("qcSqlAllocStmt", (1, None))]
    assert bool(double.calls("qcSqlExecDirect")) == sends


def test_debug_lines_mask_the_password(double, caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    qxcore.DEBUG = True
    c = qxcore.Connection()
    c.connect("srv", "user", "secret")
    c.close()
    r = repr(c)
    assert [rec.getMessage() for rec in caplog.records] == [
        "%s: __init__" % r, "%s: connect(srv, user, ***)" % r, "%s: close()" % r]
    assert "secret" not in caplog.text
    assert all(rec.levelno == logging.DEBUG and rec.name == "pyqivrexdb.qxcore"
               for rec in caplog.records)


def test_no_debug_lines_without_debug(double, caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    c = qxcore.connect("srv", "user", "secret")
    c.close()
    assert caplog.records == []
    assert double.calls("qcSqlSetConnectAttr") == []


def test_debug_connect_registers_the_default_loggers(double):
    qxcore.DEBUG = True
    qxcore.connect("srv", "user", "pw")
    calls = double.calls("qcSqlSetConnectAttr")
    assert [(c.args[0], c.args[1], c.args[3]) for c in calls] == [(1, 1100, 0), (1, 1101, 0)]
    assert all(c.args[2] for c in calls)  # function addresses
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


def test_reinitialising_a_connected_object_keeps_its_session(double, conn):
    conn.__init__()
    assert double.names() == ["qcSqlInit"]
    conn.close()
    assert double.names()[1:] == CLOSE
