"""Connection pools on both backends: what a borrower gets is always idle
and working, whatever the one before it left behind."""
import asyncio
import threading
import time

import pytest

from pyqivrexdb import dbapi
from pyqivrexdb.pool import AsyncConnectionPool, ConnectionPool, PoolClosed, PoolTimeout

from held_reader import reading_held


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


# -- what one borrower leaves for the next --------------------------------------

@pytest.mark.parametrize("face", ["sync", "async"])
def test_a_borrower_never_inherits_autocommit_from_the_one_before(table, face):
    if face == "sync":
        with ConnectionPool(table, max_size=1) as pool:
            with pool.connection() as conn:
                conn.autocommit = True
            with pytest.raises(KeyError):
                with pool.connection() as conn:
                    conn.execute("insert into t values (1)")
                    raise KeyError
    else:
        async def main():
            async with AsyncConnectionPool(table, max_size=1) as pool:
                async with pool.connection() as conn:
                    await conn.set_autocommit(True)
                with pytest.raises(KeyError):
                    async with pool.connection() as conn:
                        await conn.execute("insert into t values (1)")
                        raise KeyError
        asyncio.run(main())
    assert count(table) == 0


def test_put_back_twice_is_refused_and_the_connection_lent_once(dsn):
    with ConnectionPool(dsn, max_size=1) as pool:
        conn = pool.getconn()
        pool.putconn(conn)
        with pytest.raises(dbapi.ProgrammingError):
            pool.putconn(conn)
        held = pool.getconn()
        with pytest.raises(PoolTimeout):
            pool.getconn(timeout=0.1)
        pool.putconn(held)


def test_a_pool_on_a_database_file_with_a_read_only_side_makes_no_other_file(tmp_path):
    with ConnectionPool(str(tmp_path / "sales.db"), read_size=2) as pool:
        with pool.connection(read_only=True) as conn:
            conn.execute("select 1").fetchall()
    assert [p.name for p in tmp_path.iterdir() if not p.name.startswith("sales.db-")] == ["sales.db"]


def test_the_pool_fills_up_to_min_size_again_after_a_server_restart(dsn, backend):
    if backend != "postgresql":
        pytest.skip("server sessions to end")
    with ConnectionPool(dsn, min_size=2, max_size=4, check=ConnectionPool.check_connection) as pool:
        lent = [pool.getconn(), pool.getconn()]
        pids = [conn.execute("select pg_backend_pid()").fetchall()[0][0] for conn in lent]
        for conn in lent:
            pool.putconn(conn)
        with dbapi.connect(dsn, autocommit=True) as killer:
            for pid in pids:
                killer.execute("select pg_terminate_backend(?)", (pid,))
        time.sleep(0.2)
        with pool.connection() as conn:
            conn.execute("select 1").fetchall()
        deadline = time.monotonic() + 10
        while pool.get_stats()["pool_available"] < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        stats = pool.get_stats()
    assert (stats["pool_size"], stats["pool_available"], stats["connections_lost"]) == (2, 2, 2)


# -- asyncio: cancels at every await -------------------------------------------

def test_borrows_cancelled_during_check_give_their_place_back(dsn):
    slow = [True]

    async def check(conn):
        await AsyncConnectionPool.check_connection(conn)
        if slow[0]:
            await asyncio.sleep(5)

    async def main():
        async with AsyncConnectionPool(dsn, min_size=0, max_size=2, check=check, timeout=2) as pool:
            for _ in range(3):
                with pytest.raises(TimeoutError):
                    async with asyncio.timeout(0.2):
                        await pool.getconn()
            slow[0] = False
            async with pool.connection() as a, pool.connection() as b:
                assert a is not b
            return pool.get_stats()
    stats = asyncio.run(main())
    assert stats["pool_size"] <= 2 and stats["requests_errors"] == 0


class _Stop(BaseException):
    """As a KeyboardInterrupt would: not an Exception, so no check swallows it."""


@pytest.mark.parametrize("hook", ["check", "reset"])
def test_a_thread_stopped_in_a_check_or_reset_gives_the_place_back(dsn, hook):
    stop = [True]

    def halt(conn):
        if stop[0]:
            raise _Stop

    with ConnectionPool(dsn, min_size=0, max_size=1, timeout=0.5, **{hook: halt}) as pool:
        with pytest.raises(_Stop):
            pool.putconn(pool.getconn())
        stop[0] = False
        pool.putconn(pool.getconn())  # not a PoolTimeout: the one place is free again
        assert pool.get_stats()["pool_size"] <= 1


def test_a_waiter_woken_then_cancelled_passes_the_connection_on(dsn):
    async def main():
        async with AsyncConnectionPool(dsn, max_size=1) as pool:
            held = await pool.getconn()
            first = asyncio.create_task(pool.getconn(timeout=10))
            second = asyncio.create_task(pool.getconn(timeout=10))
            await asyncio.sleep(0.1)
            await pool.putconn(held)  # wakes the first
            first.cancel()
            conn = await asyncio.wait_for(second, 3)
            assert conn is held and pool.get_stats()["requests_waiting"] == 0
            await pool.putconn(conn)
    asyncio.run(main())


class _CancelAt:
    """Stands in for aio._Job: cancels the task that makes the n-th call on a
    connection's thread, before the call starts or while it runs."""

    def __init__(self, job, n, during):
        self.job, self.n, self.during, self.calls = job, n, during, 0

    def __call__(self, fn, future, loop):
        k, self.calls = self.calls, self.calls + 1
        if k != self.n:
            return self.job(fn, future, loop)
        task = asyncio.current_task()
        if not self.during:
            task.cancel()
            return self.job(fn, future, loop)

        def cancelled_while_running():
            loop.call_soon_threadsafe(task.cancel)
            time.sleep(0.05)
            return fn()
        return self.job(cancelled_while_running, future, loop)


def test_a_cancel_at_any_call_leaves_the_pool_whole_and_the_caller_told_the_truth(table, monkeypatch):
    from pyqivrexdb import aio

    async def reset(conn):
        await conn.execute("select 1")

    async def borrow_and_write(pool, i):
        async with pool.connection() as conn:
            await conn.execute("insert into t values (?)", (i,))

    async def main():
        real_job = aio._Job
        async with AsyncConnectionPool(table, min_size=1, max_size=1, timeout=5, reset=reset,
                                       check=AsyncConnectionPool.check_connection) as pool:
            i, n = 0, 0
            while True:
                fired = False
                for during in (False, True):
                    i += 1
                    cancel = _CancelAt(real_job, n, during)
                    monkeypatch.setattr(aio, "_Job", cancel)
                    try:
                        await borrow_and_write(pool, i)
                        told = True
                    except asyncio.CancelledError:
                        told = False
                    finally:
                        monkeypatch.setattr(aio, "_Job", real_job)
                    fired |= cancel.calls > n
                    await asyncio.sleep(0.1)  # a replacement being opened
                    async with pool.connection(timeout=5) as conn:  # no place was kept
                        cur = await conn.execute("select count(*) from t where id = ?", (i,))
                        assert (await cur.fetchall())[0][0] == int(told), (n, during, told)
                    assert pool._book.lent == {} and pool.get_stats()["pool_size"] == 1
                if not fired:
                    return n
                n += 1
    assert asyncio.run(main()) >= 4


def test_closing_the_async_pool_ends_its_waiters_and_closes_what_comes_back(dsn):
    async def main():
        pool = await AsyncConnectionPool(dsn, min_size=1, max_size=1).open()
        held = await pool.getconn()
        waiter = asyncio.create_task(pool.getconn(timeout=10))
        await asyncio.sleep(0.05)
        await pool.close()
        with pytest.raises(PoolClosed):
            await asyncio.wait_for(waiter, 2)
        await pool.putconn(held)
        return held.closed, pool.get_stats()["pool_size"]
    assert asyncio.run(main()) == (True, 0)


@pytest.mark.parametrize("fetch", ["fetchone", "fetchall", "fetchmany"])
def test_a_cursor_of_a_returned_connection_cannot_read_the_next_borrowers_rows(table, fetch):
    with ConnectionPool(table, max_size=1) as pool:
        conn = pool.getconn()
        old = conn.cursor()
        old.execute("select 1")
        pool.putconn(conn)
        with pool.connection() as again:
            again.cursor().execute("select 2")  # the next borrower's result
            with pytest.raises(dbapi.ProgrammingError, match="closed"):
                getattr(old, fetch)()
            with pytest.raises(dbapi.ProgrammingError, match="closed"):
                old.execute("select 3")


def test_an_async_cursor_of_a_returned_connection_cannot_read_its_rows_read_ahead(table):
    async def main():
        async with AsyncConnectionPool(table, max_size=1) as pool:
            conn = await pool.getconn()
            old = await conn.execute("select 1")  # its row read ahead
            await pool.putconn(conn)
            async with pool.connection():
                with pytest.raises(dbapi.ProgrammingError, match="closed"):
                    await old.fetchone()
    asyncio.run(main())


def test_a_connection_returned_while_another_thread_reads_its_rows_closes_the_cursor_quietly(table):
    # The borrower's thread is inside its cursor's row loop (held in the row
    # factory) when the connection goes back: putconn must not raise, the
    # reader is told its cursor went, and the next borrower reads its own rows.
    with dbapi.connect(table) as conn:
        conn.cursor().executemany("insert into t values (?)", [(i,) for i in range(10)])
    with ConnectionPool(table, max_size=1) as pool:
        conn = pool.getconn()
        with reading_held(conn.cursor(), "select id from t order by id") as read:
            pool.putconn(conn)
        assert isinstance(read[0], dbapi.ProgrammingError)
        with pool.connection() as again:
            assert again.execute("select count(*) from t").fetchall() == [(10,)]
