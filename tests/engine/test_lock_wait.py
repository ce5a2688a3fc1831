"""A write inside a transaction waits for another connection's write lock
up to the connection's timeout, as the standard library's sqlite3 does."""
import sqlite3
import threading
import time

import pytest

from pyqivrexdb import dbapi

FIRST_WRITES = [
    "insert into t values (2, 'b')",
    "update t set note = 'c'",
    "delete from t",
    "create table u(id integer)",
]


@pytest.fixture
def path(tmp_path):
    path = str(tmp_path / "db.sqlite")
    with dbapi.connect(path) as setup:
        setup.execute("create table t(id integer, note varchar(10))")
        setup.execute("insert into t values (1, 'a')")
    return path


@pytest.fixture
def holder(path):
    """A connection holding the file's write lock."""
    conn = dbapi.connect(path)
    conn.execute("insert into t values (9, 'held')")
    yield conn
    conn.close()


def commit_later(conn, seconds=0.5):
    thread = threading.Thread(target=lambda: (time.sleep(seconds), conn.commit()))
    thread.start()
    return thread


@pytest.mark.parametrize("sql", FIRST_WRITES)
def test_a_transactions_first_write_waits_for_the_lock(path, holder, sql):
    with dbapi.connect(path, timeout=2) as waiter:
        thread = commit_later(holder)
        start = time.monotonic()
        try:
            waiter.execute(sql)
        finally:
            thread.join()
        assert 0.3 < time.monotonic() - start < 2
        waiter.commit()


@pytest.mark.parametrize("sql", FIRST_WRITES)
def test_a_lock_never_given_up_fails_the_write_at_the_timeout(path, holder, sql):
    with dbapi.connect(path, timeout=0.6) as waiter:
        start = time.monotonic()
        with pytest.raises(dbapi.OperationalError, match="locked"):
            waiter.execute(sql)
        assert 0.5 < time.monotonic() - start < 3
        waiter.rollback()
        holder.commit()
        waiter.execute(sql)  # the connection is still usable
        waiter.commit()


def test_a_write_to_temporary_tables_takes_no_lock_on_the_file(path, holder):
    with dbapi.connect(path, timeout=2) as conn:
        conn.execute("create temp table scratch(id integer)")
        start = time.monotonic()
        conn.execute("insert into scratch values (1)")
        assert time.monotonic() - start < 0.3
        holder.commit()
        conn.execute("insert into t values (2, 'b')")  # the file's lock is free now
        conn.commit()


def test_a_write_to_a_temporary_table_whose_trigger_writes_the_file_waits(path, holder):
    with dbapi.connect(path, timeout=2) as conn:
        conn.execute("create temp table scratch(id integer)")
        conn.execute("create temp trigger copy after insert on scratch begin "
                     "insert into t values (new.id, 'copied'); end")
        thread = commit_later(holder)
        try:
            conn.execute("insert into scratch values (5)")
        finally:
            thread.join()
        conn.commit()
        assert conn.execute("select id from t where note = 'copied'").fetchall() == [(5,)]


def test_the_check_after_the_wait_sees_the_schema_the_holder_committed(path, holder):
    # The waiter knows t.note as text; the holder makes it an integer. The
    # waiter's insert, prepared against the old table, must meet the new one.
    holder.execute("drop table t")
    holder.execute("create table t(id integer, note integer)")
    with dbapi.connect(path, timeout=2) as waiter:
        waiter.execute("select count(*) from t").fetchall()
        waiter.commit()
        thread = commit_later(holder)
        try:
            with pytest.raises(dbapi.DatabaseError, match="note"):
                waiter.execute("insert into t values (2, 'lots')")
        finally:
            thread.join()
        waiter.rollback()
        assert waiter.execute("select count(*) from t").fetchall() == [(0,)]


def stdlib_connect(path, timeout):
    conn = sqlite3.connect(path, timeout=timeout, isolation_level=None)
    conn.execute("begin")
    return conn


# A transaction that has read holds a snapshot; SQLite cannot move it on to
# the holder's commit, so it refuses the write at once rather than wait.
# (Both connections come from one library: two copies of SQLite in one
# process do not see each other's locks.)
@pytest.mark.parametrize("connect", [
    lambda path, timeout: dbapi.connect(path, timeout=timeout),
    stdlib_connect,
], ids=["pyqivrexdb", "sqlite3"])
def test_a_transaction_that_has_read_fails_its_write_at_once(path, connect):
    holder, waiter = connect(path, 2), connect(path, 2)
    try:
        holder.execute("insert into t values (9, 'held')")
        assert waiter.execute("select count(*) from t").fetchall() == [(1,)]
        start = time.monotonic()
        with pytest.raises((dbapi.OperationalError, sqlite3.OperationalError), match="locked"):
            waiter.execute("insert into t values (2, 'b')")
        assert time.monotonic() - start < 1
    finally:
        waiter.close()
        holder.close()


def test_a_write_to_temporary_tables_after_a_rollback_leaves_the_files_tables_checked(path):
    # The rollback takes the triggers the first insert made; the write to a
    # temporary table must not pass for a check of main's tables.
    with dbapi.connect(path) as conn:
        conn.execute("insert into t values (2, 'b')")
        conn.rollback()
        conn.execute("create temp table scratch(id integer)")
        conn.execute("insert into scratch values (1)")
        with pytest.raises(dbapi.DatabaseError, match="id"):
            conn.execute("insert into t values ('lots', 'c')")


@pytest.mark.parametrize("mention", ["select 'busy_timeout' where 1 = 1", "select 1 /* busy_timeout = 0 */",
                                     "select 1 as busy_timeout where 1 = 1", "select * from pragma_busy_timeout()"])
def test_a_statement_that_only_names_busy_timeout_keeps_the_wait(path, holder, mention):
    with dbapi.connect(path, timeout=2) as waiter:
        waiter.execute(mention).fetchall()
        waiter.commit()
        thread = commit_later(holder)
        try:
            waiter.execute("insert into t values (2, 'b')")
        finally:
            thread.join()
        waiter.commit()


@pytest.mark.parametrize("setting", ["timeout", "pragma busy_timeout = 30000", "PRAGMA main.BUSY_TIMEOUT = 30000",
                                     "/* read_only */ pragma Busy_Timeout(30000)", "pragma busy_timeout=30000;",
                                     "explain pragma busy_timeout = 30000"])
def test_a_long_lock_wait_still_stops_at_an_interrupt(path, holder, setting):
    # A limit set by the caller (connect's timeout= or the pragma itself,
    # however it is spelt) replaces SQLite's wait, which nothing could stop
    # before the limit.
    kw = {"timeout": 30} if setting == "timeout" else {}
    with dbapi.connect(path, **kw) as waiter:
        if setting != "timeout":
            waiter.execute(setting)
        threading.Timer(0.3, waiter.interrupt).start()
        start = time.monotonic()
        with pytest.raises(dbapi.OperationalError):
            waiter.execute("insert into t values (2, 'b')")
        assert time.monotonic() - start < 3
        waiter.rollback()
        assert waiter.execute("select count(*) from t").fetchone() == (1,)
