"""Notices, notifications, the table list and return values of the standard
face, on both backends."""
import time

import pytest

from pyqivrexdb import dbapi

NOTICE = {
    "sqlite": "select message('hello')",
    "postgresql": "do $$ begin raise notice 'hello'; end $$",
}


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn, autocommit=True)
    yield c
    c.close()


def test_a_notice_reaches_only_its_own_connection(conn, dsn, backend):
    other = dbapi.connect(dsn, autocommit=True)
    mine, theirs = [], []
    conn.add_notice_handler(mine.append)
    other.add_notice_handler(theirs.append)
    conn.execute(NOTICE[backend])
    other.execute("select 1")
    other.close()
    assert (mine, theirs) == (["hello"], [])


def test_tables_and_return_values(conn):
    assert conn.tables() == []
    conn.execute("create table b_t(x integer)")
    conn.execute("create table a_t(x integer)")
    assert conn.tables() == ["a_t", "b_t"]
    cur = conn.execute("insert into a_t values (1), (2)")
    assert cur.return_value == 2
    assert cur.execute("select x from a_t").return_value is None


def test_user_messages_on_the_engine(dsn, backend):
    if backend != "sqlite":
        pytest.skip("user_message() is the engine's")
    with dbapi.connect(dsn) as conn:
        conn.execute("select user_message(7, 'done')")
        assert list(conn.notifies(timeout=0)) == []  # nobody listened yet
        conn.add_notify_handler(print)
        conn.execute("select user_message(7, 'done'), user_message(8, 'more')")
        assert list(conn.notifies(timeout=0)) == [dbapi.Notify("", "done", 7), dbapi.Notify("", "more", 8)]


@pytest.mark.parametrize("channel, usertype", [("orders", 0), ("42", 42), ("Заказы", 0)])
def test_postgresql_notifications_name_their_channel(conn, dsn, backend, channel, usertype):
    if backend != "postgresql":
        pytest.skip("LISTEN and NOTIFY are PostgreSQL's")
    quoted = '"%s"' % channel
    conn.execute("listen " + quoted)
    got = []
    conn.add_notify_handler(got.append)
    with dbapi.connect(dsn, autocommit=True) as sender:
        sender.execute("notify %s, 'first'" % quoted)
        sender.execute("select pg_notify(?, 'second')", (channel,))
    start = time.monotonic()
    notes = list(conn.notifies(timeout=5, stop_after=2))
    assert time.monotonic() - start < 5
    assert notes == [dbapi.Notify(channel, "first", usertype), dbapi.Notify(channel, "second", usertype)]
    assert got == notes


def test_notifies_comes_back_when_nothing_arrives(conn, backend):
    if backend == "postgresql":
        conn.execute("listen quiet")
    start = time.monotonic()
    assert list(conn.notifies(timeout=0.3)) == []
    assert 0.3 <= time.monotonic() - start < 2


# Texts with characters CP866 lacks, as the server makes them.
OUTSIDE = {
    "sqlite": ("char(8364)", "'Ё ' || char(8364) || ' ' || char(128512)"),
    "postgresql": ("chr(8364)", "'Ё ' || chr(8364) || ' ' || chr(128512)"),
}


def test_messages_outside_the_code_page_arrive_as_sent(conn, backend):
    euro, text = OUTSIDE[backend]
    notices, notes = [], []
    conn.add_notice_handler(notices.append)
    conn.add_notify_handler(notes.append)
    if backend == "sqlite":
        conn.execute("select message(%s), user_message(3, %s)" % (text, text))
        channel = ""
    else:
        conn.execute("do $$ begin raise notice '%%', %s; end $$" % text)
        conn.execute("listen \"price\"")
        conn.execute("select pg_notify('price', %s)" % text)
        conn.execute("select 1")
        channel = "price"
    assert notices == ["Ё € \U0001F600"]
    assert notes == [dbapi.Notify(channel, "Ё € \U0001F600", 0 if backend == "postgresql" else 3)]


def test_a_channel_outside_the_code_page_is_named_as_sent(conn, dsn, backend):
    if backend != "postgresql":
        pytest.skip("LISTEN and NOTIFY are PostgreSQL's")
    got = []
    conn.add_notify_handler(got.append)
    conn.execute("listen U&\"\\20ACuro\"")
    conn.execute("select pg_notify(U&'\\20ACuro', 'x')")
    conn.execute("select 1")
    assert got == [dbapi.Notify("€uro", "x", 0)]
