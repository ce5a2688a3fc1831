"""Lock-wait and statement timeouts, and Cursor.executescript(), on an SQLite
file and on a PostgreSQL server (the `dsn` fixture)."""
import time

import pytest

from pyqivrexdb import dbapi

# A statement that runs until it is stopped, in each backend's SQL.
ENDLESS = {
    "sqlite": "with recursive r(i) as (select 1 union all select i + 1 from r) select count(*) from r",
    "postgresql": "select pg_sleep(30)",
}


def rows(conn, sql):
    return conn.execute(sql).fetchall()


@pytest.mark.parametrize("kw, error", [
    ({"timeout": -1}, ValueError),
    ({"timeout": float("nan")}, ValueError),
    ({"timeout": "5"}, TypeError),
    ({"timeout": True}, TypeError),
    ({"statement_timeout": 0}, ValueError),
    ({"statement_timeout": float("inf")}, ValueError),
])
def test_timeouts_are_checked_before_connecting(tmp_path, kw, error):
    with pytest.raises(error):
        dbapi.connect(str(tmp_path / "never.db"), **kw)
    assert not (tmp_path / "never.db").exists()


def test_a_lock_wait_ends_at_the_timeout(dsn):
    with dbapi.connect(dsn) as setup:
        setup.execute("create table t(id integer)")
    holder = dbapi.connect(dsn)
    holder.execute("insert into t values (1)")
    if holder.dialect == "postgresql":
        holder.execute("lock table t in exclusive mode")
    try:
        with dbapi.connect(dsn, timeout=0.4, autocommit=True) as waiter:
            start = time.monotonic()
            with pytest.raises(dbapi.OperationalError):
                waiter.execute("insert into t values (2)")
            assert 0.3 < time.monotonic() - start < 3
            holder.rollback()
            waiter.execute("insert into t values (3)")  # still usable
            assert rows(waiter, "select id from t") == [(3,)]
    finally:
        holder.close()


@pytest.mark.parametrize("autocommit", [True, False])
def test_a_long_statement_is_stopped_and_the_connection_stays_usable(dsn, backend, autocommit):
    with dbapi.connect(dsn, statement_timeout=0.3, autocommit=autocommit) as conn:
        conn.execute("create table t(id integer)")
        conn.commit()
        start = time.monotonic()
        with pytest.raises(dbapi.OperationalError, match="timeout"):
            conn.execute(ENDLESS[backend])
        assert time.monotonic() - start < 5
        conn.rollback()
        conn.execute("insert into t values (1)")
        conn.commit()
        # A short statement is left alone, and so is the one after the timeout.
        assert rows(conn, "select id from t") == [(1,)]


SCRIPT = """
create table t(id integer, note varchar(20));
-- a comment; with a ; inside
insert into t values (1, 'a;b');
insert into t values (2, 'it''s');
"""


def test_executescript_runs_every_statement_and_commits_what_was_pending(dsn):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table before(x integer)")
        assert conn.in_transaction
        cur = conn.cursor()
        assert cur.executescript(SCRIPT) is cur
        assert not conn.in_transaction  # nothing opened for the script
        with dbapi.connect(dsn) as other:
            assert rows(other, "select id, note from t order by id") == [(1, "a;b"), (2, "it's")]
            assert rows(other, "select count(*) from before") == [(0,)]


def test_executescript_keeps_the_scripts_own_transaction(dsn):
    with dbapi.connect(dsn) as conn:
        conn.cursor().executescript("create table t(id integer); begin; insert into t values (1);")
        assert conn.in_transaction
        conn.rollback()
        assert rows(conn, "select count(*) from t") == [(0,)]


def test_executescript_stops_at_the_first_error(dsn):
    with dbapi.connect(dsn, autocommit=True) as conn:
        with pytest.raises(dbapi.DatabaseError):
            conn.cursor().executescript("create table t(id integer primary key);"
                                        "insert into t values (1); insert into t values (1);"
                                        "insert into t values (2);")
        assert rows(conn, "select id from t") == [(1,)]


@pytest.mark.parametrize("last", [
    "insert into t values (1)",
    "insert into t values (1) -- a comment after it",
    "insert into t values (1) /* a closed comment */",
    "insert into t values (1)\n\n",
])
def test_executescript_runs_a_last_statement_without_its_semicolon(dsn, last):
    with dbapi.connect(dsn, autocommit=True) as conn:
        conn.cursor().executescript("create table t(id integer);\n" + last)
        assert rows(conn, "select id from t") == [(1,)]


@pytest.mark.parametrize("script, error", [
    ("create table t(id integer); insert into t values ('unclosed;", dbapi.ProgrammingError),
    ("create table t(id integer); insert into t values (1) /* unclosed;", dbapi.ProgrammingError),
    (b"create table t(id integer);", TypeError),
])
def test_executescript_refuses_an_unfinished_script_before_running_any(dsn, script, error):
    with dbapi.connect(dsn, autocommit=True) as conn:
        with pytest.raises(error):
            conn.cursor().executescript(script)
        with pytest.raises(dbapi.DatabaseError):
            conn.execute("select * from t")


# A write that runs until it is stopped: inside a transaction, stopping it
# may take back only itself.
ENDLESS_WRITE = {
    "sqlite": "insert into t with recursive r(i) as (select 1 union all select i + 1 from r) select count(*) from r",
    "postgresql": "insert into t select 9 from pg_sleep(30)",
}


@pytest.mark.parametrize("how", ["statement_timeout", "interrupt"])
def test_a_stopped_write_never_loses_the_transaction_without_a_word(dsn, backend, how):
    from conftest import interrupting
    kw = {"statement_timeout": 0.3} if how == "statement_timeout" else {}
    with dbapi.connect(dsn, **kw) as conn:
        conn.execute("create table t(id integer)")
        conn.commit()
        conn.execute("insert into t values (1)")
        with pytest.raises(dbapi.OperationalError) as stopped:
            if how == "interrupt":
                with interrupting(conn.interrupt):
                    conn.execute(ENDLESS_WRITE[backend])
            else:
                conn.execute(ENDLESS_WRITE[backend])
        if backend == "postgresql":
            # The statement's savepoint takes back the statement alone.
            conn.execute("insert into t values (2)")
            conn.commit()
            assert rows(conn, "select id from t order by id") == [(1,), (2,)]
            return
        # SQLite rolls the whole transaction back under a write it stops: the
        # error says so, and the transaction stays failed until it is ended,
        # so row 2 never commits on its own as if row 1 were with it.
        texts = str(stopped.value) + str(stopped.value.__cause__)
        assert "rolled back the whole transaction" in texts
        assert conn.in_transaction
        with pytest.raises(dbapi.OperationalError, match="transaction was rolled back"):
            conn.execute("insert into t values (2)")
        with pytest.raises(dbapi.OperationalError, match="nothing of it was committed"):
            conn.commit()
        assert not conn.in_transaction
        conn.execute("insert into t values (3)")
        conn.commit()
        assert rows(conn, "select id from t") == [(3,)]


def test_a_transaction_sqlite_rolled_back_ends_with_rollback(tmp_path):
    # ON CONFLICT ROLLBACK ends SQLite's transaction too: rollback() ends the
    # failed one quietly and the connection goes on.
    with dbapi.connect(str(tmp_path / "db.sqlite")) as conn:
        conn.execute("create table t(id integer primary key on conflict rollback)")
        conn.commit()
        conn.execute("insert into t values (1)")
        with pytest.raises(dbapi.IntegrityError, match="rolled back the whole transaction"):
            conn.execute("insert into t values (1)")
        with pytest.raises(dbapi.OperationalError, match="transaction was rolled back"):
            conn.cursor().executemany("insert into t values (?)", [(5,), (6,)])
        conn.rollback()
        conn.execute("insert into t values (2)")
        conn.commit()
        assert rows(conn, "select id from t") == [(2,)]


def test_an_asyncio_cancel_of_a_write_never_loses_the_transaction_without_a_word(dsn, backend):
    import asyncio
    from pyqivrexdb import aio

    async def main():
        conn = await aio.connect(dsn)
        try:
            await conn.execute("create table t(id integer)")
            await conn.commit()
            await conn.execute("insert into t values (1)")
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(conn.execute(ENDLESS_WRITE[backend]), 0.3)
            if backend == "postgresql":
                await conn.execute("insert into t values (2)")
                await conn.commit()
                expected = [(1,), (2,)]
            else:
                assert await conn.in_transaction()
                with pytest.raises(dbapi.OperationalError, match="transaction was rolled back"):
                    await conn.execute("insert into t values (2)")
                with pytest.raises(dbapi.OperationalError, match="nothing of it was committed"):
                    await conn.commit()
                expected = []
            cur = await conn.execute("select id from t order by id")
            assert await cur.fetchall() == expected
        finally:
            await conn.close()

    asyncio.run(main())


# Statements that fail in a transaction, each its own way: the server's
# parser, its planner, a constraint, a value.
FAILING = {
    "syntax": "insert into t valuesx (3)",
    "syntax-at-end": "select 1 +",
    "mark-without-value": "select ?::integer",
    "unknown-table": "select * from no_such_table",
    "too-many-values": "insert into t values (3, 4)",
    "overflow": "select abs(-9223372036854775807 - 1)",
}


@pytest.mark.parametrize("how", FAILING)
def test_a_failed_statement_takes_back_only_itself(dsn, backend, how):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t(id integer)")
        conn.commit()
        conn.execute("insert into t values (1)")
        with pytest.raises(dbapi.DatabaseError):
            conn.execute(FAILING[how])
        conn.execute("insert into t values (2)")
        conn.commit()
        assert rows(conn, "select id from t order by id") == [(1,), (2,)]


@pytest.mark.parametrize("how", ["syntax", "unknown-table"])
def test_a_failed_first_statement_or_one_after_a_read_takes_back_only_itself(dsn, how):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t(id integer)")
        conn.cursor().executemany("insert into t values (?)", [(k,) for k in range(300)])
        conn.commit()
        # The first statement of a transaction fails: the transaction goes on.
        with pytest.raises(dbapi.DatabaseError):
            conn.execute(FAILING[how])
        conn.execute("insert into t values (1000)")
        # A result read in part, then a failure.
        cur = conn.execute("select id from t order by id")
        assert cur.fetchone() == (0,)
        conn.execute("insert into t values (1001)")
        with pytest.raises(dbapi.DatabaseError):
            conn.execute(FAILING[how])
        conn.commit()
        assert rows(conn, "select id from t where id >= 1000 order by id") == [(1000,), (1001,)]


def test_a_commit_of_a_transaction_the_server_failed_is_no_success(dsn, backend):
    # A SAVEPOINT runs without a savepoint of its own: on PostgreSQL its
    # failure fails the whole transaction.
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t(id integer)")
        conn.commit()
        conn.execute("insert into t values (1)")
        with pytest.raises(dbapi.DatabaseError):
            conn.execute("savepoint 1")
        if backend == "postgresql":
            assert conn.transaction_status == "failed"
            with pytest.raises(dbapi.OperationalError, match="nothing of it was committed"):
                conn.commit()
            assert not conn.in_transaction
            assert rows(conn, "select id from t") == []
        else:
            conn.commit()
            assert rows(conn, "select id from t") == [(1,)]
