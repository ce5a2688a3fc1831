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
