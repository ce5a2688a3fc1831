"""The asyncio face on both backends: results, transactions, and cancelled
calls that stop in the library and leave the connection usable."""
import asyncio
import threading
import time

import pytest

from pyqivrexdb import aio, dbapi

LONG = {
    # Runs for minutes: only a cancel ends it.
    "sqlite": "with recursive r(i) as (select 1 union all select i + 1 from r) select count(*) from r",
    "postgresql": "select pg_sleep(600)",
}


def run(coro):
    return asyncio.run(coro)


def test_rows_by_fetch_and_by_async_for(dsn):
    async def main():
        async with await aio.connect(dsn) as conn:
            await conn.execute("create table t(id integer, name varchar(10))")
            cur = conn.cursor()
            await cur.executemany("insert into t values (?, ?)", [(i, "n%d" % i) for i in range(250)])
            assert cur.rowcount == 250
            await cur.execute("select id, name from t order by id")
            assert await cur.fetchone() == (0, "n0")
            assert len(await cur.fetchmany(9)) == 9
            rest = [row async for row in cur]
            assert rest[0] == (10, "n10") and len(rest) == 240
            assert await conn.tables() == ["t"]
    run(main())


@pytest.mark.parametrize("fails", [False, True])
def test_async_with_commits_or_rolls_back(dsn, fails):
    async def main():
        async with await aio.connect(dsn) as conn:
            await conn.execute("create table t(id integer)")
        try:
            async with await aio.connect(dsn) as conn:
                await conn.execute("insert into t values (1)")
                assert await conn.in_transaction()
                if fails:
                    raise KeyError
        except KeyError:
            pass
        assert conn.closed
    run(main())
    with dbapi.connect(dsn) as conn:
        assert conn.execute("select count(*) from t").fetchall() == [(0 if fails else 1,)]


@pytest.mark.parametrize("how", ["timeout", "cancel"])
def test_a_cancelled_call_stops_in_the_library_and_the_connection_goes_on(dsn, backend, how):
    async def main():
        async with await aio.connect(dsn, autocommit=True) as conn:
            start = time.monotonic()
            if how == "timeout":
                with pytest.raises(TimeoutError):
                    async with asyncio.timeout(0.5):
                        await conn.execute(LONG[backend])
            else:
                task = asyncio.create_task(conn.execute(LONG[backend]))
                await asyncio.sleep(0.5)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            assert time.monotonic() - start < 5
            cur = await conn.execute("select 1")
            assert await cur.fetchall() == [(1,)]
    run(main())


def test_a_call_cancelled_before_it_starts_never_runs(dsn, backend):
    async def main():
        async with await aio.connect(dsn, autocommit=True) as conn:
            await conn.execute("create table t(id integer)")
            long = asyncio.create_task(conn.execute(LONG[backend]))
            queued = asyncio.create_task(conn.execute("insert into t values (1)"))
            await asyncio.sleep(0.3)
            queued.cancel()
            await asyncio.sleep(0)
            long.cancel()
            await asyncio.gather(long, queued, return_exceptions=True)
            assert await (await conn.execute("select count(*) from t")).fetchall() == [(0,)]
    run(main())


def test_the_event_loop_ticks_during_a_five_second_query(tmp_path):
    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        async with await aio.connect(str(tmp_path / "db")) as conn:
            task = asyncio.create_task(ticker())
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(5):
                    await conn.execute(LONG["sqlite"])
            task.cancel()
        return ticks
    # 500 at most on an idle machine; a loop blocked by the query would see
    # one or two.
    assert run(main()) > 100


def test_notifications_as_an_async_iterator(dsn, backend):
    if backend != "postgresql":
        pytest.skip("LISTEN and NOTIFY are PostgreSQL's")

    async def main():
        async with await aio.connect(dsn, autocommit=True) as conn:
            await conn.execute("listen jobs")
            with dbapi.connect(dsn, autocommit=True) as sender:
                sender.execute("notify jobs, 'one'")
            notes = [n async for n in conn.notifies(timeout=5, stop_after=1)]
            assert notes == [dbapi.Notify("jobs", "one", 0)]
            assert [n async for n in conn.notifies(timeout=0.1)] == []
    run(main())


@pytest.mark.parametrize("arraysize, steps", [
    # (method, argument) in turn; each must give what the sync cursor gives.
    (3, [("fetchone", None), ("fetchmany", 5), ("fetchall", None)]),
    (3, [("fetchmany", 3), ("fetchmany", 3), ("fetchmany", 3), ("fetchone", None)]),
    (10, [("fetchall", None), ("fetchone", None), ("fetchmany", 2)]),
    (1, [("fetchone", None)] * 11),
    (20, [("fetchmany", 4), ("fetchall", None)]),
])
def test_rows_read_ahead_come_out_in_order_and_once(dsn, arraysize, steps):
    async def main():
        async with await aio.connect(dsn) as conn:
            await conn.execute("create table t(id integer)")
            await conn.addrecords("t", [(i,) for i in range(10)])
            cur = conn.cursor()
            cur.arraysize = arraysize
            await cur.execute("select id from t order by id")
            got = []
            for method, arg in steps:
                got.append(await getattr(cur, method)(*([] if arg is None else [arg])))
            sync = conn.sync.cursor().execute("select id from t order by id")
            want = [getattr(sync, method)(*([] if arg is None else [arg])) for method, arg in steps]
            assert got == want
    run(main())


def test_connect_takes_the_standard_faces_options(dsn, backend):
    async def main():
        async with await aio.connect(dsn, statement_timeout=0.3, detect_types=dbapi.PARSE_DECLTYPES) as conn:
            start = time.monotonic()
            with pytest.raises(dbapi.OperationalError):
                await conn.execute(LONG[backend])
            assert time.monotonic() - start < 10
            assert conn.sync._statement_timeout == 0.3
    run(main())


# A commit that takes 1.2 s and that no cancel stops, as one that the server
# has finished before the cancel reaches it. The cancel comes after 0.4 s:
# the INSERT must have reached the commit's loop by then, even on a busy
# machine.
SLOW_COMMIT = [
    "create table t(id integer)",
    """create function slow_commit() returns trigger language plpgsql as $$
    declare
        until timestamptz := clock_timestamp() + interval '1.2 s';
    begin
        while new.id = 1 and clock_timestamp() < until loop
            begin
                perform pg_sleep(0.05);
            exception when query_canceled then
                null;
            end;
        end loop;
        return null;
    end $$""",
    """create constraint trigger slow after insert on t deferrable initially deferred
        for each row execute function slow_commit()""",
]


# The COMMIT of each way of ending a transaction: (way, rows written).
ENDINGS = [("commit", 1), ("async with conn", 1), ("pool", 1), ("execute('/* done */ END')", 1),
           ("executemany in autocommit", 1), ("executemany in autocommit", 100), ("execute in autocommit", 1)]


@pytest.mark.parametrize("how, rows", ENDINGS)
@pytest.mark.parametrize("end", ["answered", "lost"])
def test_a_cancel_during_commit_reports_what_the_commit_did(dsn, backend, how, rows, end):
    if backend != "postgresql":
        pytest.skip("a commit that outlasts the cancel")
    from pyqivrexdb.pool import AsyncConnectionPool
    with dbapi.connect(dsn, autocommit=True) as setup:
        for sql in SLOW_COMMIT:
            setup.execute(sql)

    def end_session_soon(conn):
        pid = conn.sync.execute("select pg_backend_pid()").fetchall()[0][0]

        def kill():
            time.sleep(0.6)
            with dbapi.connect(dsn, autocommit=True) as killer:
                killer.execute("select pg_terminate_backend(?)", (pid,))
        if end == "lost":
            threading.Thread(target=kill, daemon=True).start()

    async def write(conn):
        await conn.execute("insert into t values (1)")
        end_session_soon(conn)

    async def main():
        async with AsyncConnectionPool(dsn, max_size=1) as pool:
            if how == "pool":
                async with asyncio.timeout(0.4):
                    async with pool.connection() as conn:
                        await write(conn)
                return
            conn = await aio.connect(dsn, autocommit=how.endswith("autocommit"))
            try:
                async with asyncio.timeout(0.4):
                    if how == "commit":
                        await write(conn)
                        await conn.commit()
                    elif how.startswith("execute("):
                        await write(conn)
                        await conn.execute("/* done */ END")
                    elif how == "execute in autocommit":
                        end_session_soon(conn)
                        await conn.execute("insert into t values (1)")  # which commits itself
                    elif how.startswith("executemany"):
                        end_session_soon(conn)
                        await conn.cursor().executemany("insert into t values (?)", [(i,) for i in range(1, rows + 1)])
                    else:
                        async with conn:
                            await write(conn)
            finally:
                await conn.close()

    if end == "answered":
        run(main())  # no TimeoutError: the transaction committed
    else:
        with pytest.raises(dbapi.CommitOutcomeUnknown):
            run(main())
    with dbapi.connect(dsn) as conn:
        assert conn.execute("select count(*) from t").fetchall() == [(rows if end == "answered" else 0,)]


@pytest.mark.parametrize("how", ["async with", "close"])
def test_an_end_cancelled_before_it_runs_still_closes_and_no_call_waits_for_ever(dsn, backend, how):
    # The block's end (or close()) waits behind another task's call and is
    # cancelled there: it never ran, yet the connection's thread was let go.
    # The connection must still end (its transaction rolled back, its locks
    # freed), and a later call must not wait for a thread that is gone.
    async def main():
        conn = await aio.connect(dsn)
        await conn.execute("create table t(id integer)")
        await conn.commit()
        await conn.execute("insert into t values (1)")  # left open
        long = asyncio.create_task(conn.execute(LONG[backend]))
        await asyncio.sleep(0.3)

        async def end():
            if how == "close":
                await conn.close()
            else:
                async with conn:
                    pass
        ending = asyncio.create_task(end())
        await asyncio.sleep(0.1)
        ending.cancel()
        await asyncio.gather(ending, return_exceptions=True)
        long.cancel()
        await asyncio.gather(long, return_exceptions=True)
        await asyncio.wait_for(conn.close(), 10)
        for _ in range(100):
            if conn.closed:
                break
            await asyncio.sleep(0.05)
        assert conn.closed
        with dbapi.connect(dsn, autocommit=True, timeout=5) as other:
            other.execute("insert into t values (2)")  # no lock left held
            assert other.execute("select id from t").fetchall() == [(2,)]
    run(main())

def test_calls_after_close_refuse_at_once_and_a_cancelled_close_still_closes(dsn, backend):
    async def main():
        conn = await aio.connect(dsn)
        await conn.close()
        with pytest.raises(dbapi.ProgrammingError):
            await asyncio.wait_for(conn.execute("select 1"), 5)
        conn = await aio.connect(dsn)
        busy = asyncio.create_task(conn.execute(LONG[backend]))
        await asyncio.sleep(0.3)
        closing = asyncio.create_task(conn.close())  # waits its turn behind the query
        await asyncio.sleep(0.05)
        closing.cancel()
        busy.cancel()
        await asyncio.gather(busy, closing, return_exceptions=True)
        assert conn.closed
        for _ in range(100):
            if conn.sync.closed:
                break
            await asyncio.sleep(0.05)
        return conn.sync.closed
    assert run(main())
