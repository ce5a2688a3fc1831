"""Connection pools on both backends: what a borrower gets is always idle
and working, whatever the one before it left behind."""
import asyncio
import threading
import time

import pytest

from pyqivrexdb import dbapi
from pyqivrexdb.pool import AsyncConnectionPool, ConnectionPool, PoolClosed, PoolTimeout


@pytest.fixture
def table(dsn):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t(id integer)")
    return dsn


def count(dsn):
    with dbapi.connect(dsn) as conn:
        return conn.execute("select count(*) from t").fetchall()[0][0]


def test_an_open_transaction_is_rolled_back_on_return(table):
    with ConnectionPool(table, max_size=1) as pool:
        conn = pool.getconn()
        conn.execute("insert into t values (1)")
        pool.putconn(conn)
        again = pool.getconn()
        assert again is conn and again.transaction_status == "idle"
        pool.putconn(again)
    assert count(table) == 0


@pytest.mark.parametrize("fails, rows", [(False, 1), (True, 0)])
def test_connection_commits_a_block_that_succeeds(table, fails, rows):
    with ConnectionPool(table) as pool:
        with pytest.raises(KeyError) if fails else _nothing():
            with pool.connection() as conn:
                conn.execute("insert into t values (1)")
                if fails:
                    raise KeyError
    assert count(table) == rows


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_a_closed_connection_is_never_lent_again(dsn):
    with ConnectionPool(dsn, max_size=1) as pool:
        with pool.connection() as conn:
            conn.close()
        with pool.connection() as fresh:
            assert fresh is not conn and fresh.execute("select 1").fetchall() == [(1,)]
        assert pool.get_stats()["connections_lost"] == 1


def _end_session(dsn, conn):
    pid = conn.execute("select pg_backend_pid()").fetchall()[0][0]
    conn.commit()
    with dbapi.connect(dsn, autocommit=True) as killer:
        killer.execute("select pg_terminate_backend(?)", (pid,))
    time.sleep(0.2)


@pytest.mark.parametrize("check", [None, ConnectionPool.check_connection])
def test_a_connection_whose_server_session_ended_is_replaced(dsn, backend, check):
    if backend != "postgresql":
        pytest.skip("a server session to end")
    with ConnectionPool(dsn, max_size=1, check=check) as pool:
        with pool.connection() as conn:
            _end_session(dsn, conn)
        if check is None:
            # The library learns of it with the next call, which fails; the
            # connection then cannot account for itself and goes.
            with pytest.raises(dbapi.OperationalError):
                with pool.connection() as same:
                    assert same is conn
                    same.execute("select 1")
        with pool.connection() as fresh:
            assert fresh is not conn and fresh.execute("select 1").fetchall() == [(1,)]
        assert pool.get_stats()["connections_lost"] == 1


def test_the_wait_times_out_and_a_returned_connection_wakes_a_waiter(dsn):
    with ConnectionPool(dsn, max_size=1) as pool:
        held = pool.getconn()
        start = time.monotonic()
        with pytest.raises(PoolTimeout):
            pool.getconn(timeout=0.2)
        assert 0.2 <= time.monotonic() - start < 2
        threading.Timer(0.2, pool.putconn, (held,)).start()
        assert pool.getconn(timeout=5) is held
        stats = pool.get_stats()
        assert (stats["requests_errors"], stats["pool_size"], stats["requests_waiting"]) == (1, 1, 0)


@pytest.mark.parametrize("limits, min_size, replaced", [
    ({"max_lifetime": 0.05}, 1, True),
    ({"max_idle": 0.05}, 0, True),
    ({"max_idle": 0.05}, 1, False),  # the last min_size stay however long idle
])
def test_old_and_idle_connections_are_closed(dsn, limits, min_size, replaced):
    with ConnectionPool(dsn, min_size=min_size, max_size=1, **limits) as pool:
        first = pool.getconn()
        pool.putconn(first)
        time.sleep(0.1)
        second = pool.getconn()
        assert (second is not first) == replaced
        assert first.closed == replaced
        assert pool.get_stats()["connections_expired"] == int(replaced)
        pool.putconn(second)


def test_a_failing_check_replaces_the_connection(dsn):
    seen = []

    def check(conn):
        seen.append(conn)
        if len(seen) == 1:
            raise dbapi.OperationalError("gone")
        ConnectionPool.check_connection(conn)

    with ConnectionPool(dsn, max_size=1, check=check) as pool:
        with pool.connection() as conn:
            assert conn is seen[1] and seen[0].closed


def test_a_closed_pool_lends_nothing(dsn):
    pool = ConnectionPool(dsn, min_size=2, max_size=2)
    lent = pool.getconn()
    pool.close()
    with pytest.raises(PoolClosed):
        pool.getconn()
    pool.putconn(lent)
    assert lent.closed and pool.get_stats()["pool_size"] == 0


def test_the_async_pool(table):
    async def main():
        async with AsyncConnectionPool(table, max_size=1, timeout=0.2) as pool:
            conn = await pool.getconn()
            await conn.execute("insert into t values (1)")
            with pytest.raises(PoolTimeout):
                await pool.getconn()
            await pool.putconn(conn)  # rolled back
            async with pool.connection() as again:
                assert again is conn and not await again.in_transaction()
                await again.execute("insert into t values (2)")
            with pytest.raises(KeyError):
                async with pool.connection() as conn:
                    await conn.execute("insert into t values (3)")
                    raise KeyError
            return pool.get_stats()
    stats = asyncio.run(main())
    assert (stats["requests_num"], stats["requests_errors"], stats["connections_num"]) == (4, 1, 1)
    assert count(table) == 1


def test_threads_racing_for_connections_never_open_more_than_max_size(dsn):
    with ConnectionPool(dsn, min_size=0, max_size=2, timeout=10) as pool:
        start = threading.Barrier(6)
        errors = []

        def borrower():
            try:
                start.wait()
                for _ in range(20):
                    with pool.connection() as conn:
                        conn.execute("select 1").fetchall()
            except Exception as exc:  # noqa: BLE001 - reported below
                errors.append(exc)

        threads = [threading.Thread(target=borrower) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stats = pool.get_stats()
    assert errors == []
    assert stats["connections_num"] <= 2 and stats["requests_num"] == 120


def test_a_pool_on_a_database_file_with_a_read_only_side_makes_no_other_file(tmp_path):
    with ConnectionPool(str(tmp_path / "sales.db"), read_size=2) as pool:
        with pool.connection(read_only=True) as conn:
            conn.execute("select 1").fetchall()
    assert [p.name for p in tmp_path.iterdir() if not p.name.startswith("sales.db-")] == ["sales.db"]
