"""A PostgreSQL server that goes away under the standard face: every later
call says so with the server's address, close() still succeeds, and a
COMMIT the server may have taken before it went away is reported as of
unknown outcome, never as a plain failure that reads as a rollback."""
import os
import subprocess
import time

import pytest

from pyqivrexdb import dbapi

# A COMMIT that takes its time: the server can be killed while it runs.
SLOW_COMMIT = [
    "create table t(x integer)",
    "create function slow() returns trigger language plpgsql as $$ "
    "begin perform pg_sleep(30); return null; end $$",
    "create constraint trigger slow after insert on t deferrable initially deferred "
    "for each row execute function slow()",
]

# An insert that takes its time.
SLOW_INSERT = [
    "create table t(x integer)",
    "create function slow() returns trigger language plpgsql as $$ "
    "begin perform pg_sleep(30); return null; end $$",
    "create trigger slow after insert on t for each row execute function slow()",
]


@pytest.fixture
def dsn(pg_cluster):
    from conftest import pg_dsn
    return pg_dsn(pg_cluster)


@pytest.fixture
def conn(dsn, pg_cluster):
    c = dbapi.connect(dsn)
    yield c
    c.close()
    pg_cluster.wait()  # a killed server process restarts them all


def backend_pid(conn):
    return conn.execute("select pg_backend_pid()").fetchone()[0]


def kill(pid, after=0.0):
    # Another process: the library holds the call while it waits on the server.
    return subprocess.Popen(["sh", "-c", f"sleep {after}; kill -KILL {pid}"])


def rows(dsn, pg_cluster):
    pg_cluster.wait()
    with dbapi.connect(dsn) as c:
        return c.execute("select count(*) from t").fetchone()[0]


@pytest.mark.parametrize("calls", [
    ["close"],
    ["commit", "close"],
    ["rollback", "close"],
    ["execute", "close"],
    ["execute", "commit", "rollback", "execute", "close"],
])
def test_after_the_server_process_is_killed_each_call_names_the_server(conn, pg_cluster, calls):
    conn.execute("select 1")  # a transaction is open
    kill(backend_pid(conn)).wait()
    time.sleep(0.2)
    cur = conn.cursor()
    for call in calls:
        if call == "close":
            conn.close()
            assert conn.closed
            continue
        with pytest.raises(dbapi.OperationalError) as e:
            cur.execute("select 1") if call == "execute" else getattr(conn, call)()
        assert not isinstance(e.value, dbapi.CommitOutcomeUnknown)
        assert "was lost" in str(e.value) and "127.0.0.1:" in str(e.value), str(e.value)
        assert "\n" not in str(e.value)


def test_a_server_gone_while_idle_rolls_back_and_says_so_plainly(conn, dsn, pg_cluster):
    conn.execute("create table t(x integer)")
    conn.commit()
    conn.execute("insert into t values (1)")
    kill(backend_pid(conn)).wait()
    time.sleep(0.2)
    with pytest.raises(dbapi.OperationalError) as e:
        conn.commit()
    assert not isinstance(e.value, dbapi.CommitOutcomeUnknown)
    conn.close()
    assert rows(dsn, pg_cluster) == 0


def test_a_server_gone_during_commit_gives_an_unknown_outcome(conn, dsn, pg_cluster):
    c = conn
    for stmt in SLOW_COMMIT:
        c.execute(stmt)
    c.commit()
    c.execute("insert into t values (1)")
    killer = kill(backend_pid(c), after=0.5)
    with pytest.raises(dbapi.OperationalError) as e:
        c.commit()
    killer.wait()
    assert isinstance(e.value, dbapi.CommitOutcomeUnknown)
    assert e.value.code == -98
    assert "may or may not have committed" in str(e.value) and "127.0.0.1:" in str(e.value)
    c.close()
    assert not c.in_transaction
    # Here the server died inside the COMMIT's trigger: it had not committed.
    assert rows(dsn, pg_cluster) == 0


def test_the_core_face_reports_the_unknown_commit_by_its_code(dsn, pg_cluster):
    # Its classes stay as they were (a failed statement is ProgrammingError).
    import pyqivrexdb
    c = pyqivrexdb.connect(dsn)
    cur = c.cursor()
    for stmt in SLOW_COMMIT:
        cur.execute(stmt)
    c.begin("w", [])
    cur.execute("insert into t values (1)")
    cur.execute("select pg_backend_pid()")
    killer = kill(cur.fetchall()[0][0], after=0.5)
    with pytest.raises(pyqivrexdb.DatabaseError) as e:
        c.commit("w")
    killer.wait()
    assert e.value.error_code_qivrex == -98
    assert "may or may not have committed" in e.value.server_text
    c.close()
    pg_cluster.wait()


def test_the_core_face_closes_after_the_server_is_killed(dsn, pg_cluster):
    import pyqivrexdb
    c = pyqivrexdb.connect(dsn)
    reading, cur = c.cursor(), c.cursor()
    reading.execute("select generate_series(1, 10)")
    cur.execute("select pg_backend_pid()")
    kill(cur.fetchall()[0][0]).wait()
    time.sleep(0.2)
    with pytest.raises(pyqivrexdb.DatabaseError) as e:
        cur.execute("select 1")
    assert "127.0.0.1:" in e.value.server_text
    reading.close()
    cur.close()
    c.close()
    pg_cluster.wait()


@pytest.mark.parametrize("autocommit, sql, unknown", [
    (True, "insert into t values (1)", True),  # commits itself if it ran
    (True, "select pg_sleep(30)", False),      # a query changes nothing
    (False, "insert into t values (1)", False),  # the transaction dies with the session
])
def test_a_statement_lost_in_flight_is_unknown_only_when_it_commits_itself(dsn, pg_cluster, autocommit,
                                                                           sql, unknown):
    c = dbapi.connect(dsn)
    for stmt in SLOW_INSERT:
        c.execute(stmt)
    c.commit()
    c.autocommit = autocommit
    killer = kill(backend_pid(c), after=0.5)
    with pytest.raises(dbapi.OperationalError) as e:
        c.execute(sql)
    killer.wait()
    assert isinstance(e.value, dbapi.CommitOutcomeUnknown) is unknown, str(e.value)
    c.close()
    assert rows(dsn, pg_cluster) == 0  # the trigger never ended


def lose_server(conn):
    """Kills the connection's server process and lets the library find out."""
    kill(backend_pid(conn)).wait()
    time.sleep(0.2)
    with pytest.raises(dbapi.OperationalError, match="was lost"):
        conn.execute("select 1")


@pytest.mark.parametrize("autocommit", [False, True])
def test_a_lost_server_leaves_no_transaction_and_ending_one_says_it_was_lost(conn, autocommit):
    conn.autocommit = autocommit
    if autocommit:
        conn.execute("begin")
    conn.execute("select 1")
    assert conn.in_transaction
    lose_server(conn)
    assert not conn.in_transaction and conn.transaction_status is None
    # Whatever the transaction held is gone: ending it never reads as done.
    for end in (conn.commit, conn.rollback):
        with pytest.raises(dbapi.OperationalError, match="was lost"):
            end()
        assert not conn.in_transaction


def test_the_asyncio_face_sees_no_transaction_after_a_lost_server(dsn, pg_cluster):
    import asyncio
    from pyqivrexdb import aio

    async def main():
        conn = await aio.connect(dsn)
        try:
            await conn.execute("select 1")
            assert await conn.in_transaction()
            lose_server(conn.sync)
            assert not await conn.in_transaction()
            with pytest.raises(dbapi.OperationalError, match="was lost"):
                await conn.commit()
        finally:
            await conn.close()
    asyncio.run(main())
    pg_cluster.wait()


@pytest.mark.parametrize("face", ["threads", "tasks"])
def test_a_pool_block_whose_server_was_lost_says_so_and_its_connection_goes(dsn, pg_cluster, face):
    import asyncio
    from pyqivrexdb.pool import AsyncConnectionPool, ConnectionPool

    if face == "threads":
        with ConnectionPool(dsn, max_size=1) as pool:
            with pytest.raises(dbapi.OperationalError, match="was lost"):
                with pool.connection() as conn:
                    conn.execute("select 1")
                    lose_server(conn)
            with pool.connection() as again:
                assert again is not conn and again.execute("select 1").fetchall() == [(1,)]
    else:
        async def main():
            async with AsyncConnectionPool(dsn, max_size=1) as pool:
                with pytest.raises(dbapi.OperationalError, match="was lost"):
                    async with pool.connection() as conn:
                        await conn.execute("select 1")
                        lose_server(conn.sync)
                async with pool.connection() as again:
                    assert again is not conn
                    cur = await again.execute("select 1")
                    assert await cur.fetchall() == [(1,)]
        asyncio.run(main())
    pg_cluster.wait()
