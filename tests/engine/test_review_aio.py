"""The asyncio face under cancels that land while a fetch runs (the rows
the library already gave are never lost) and across fork() (the child is
told at once that the connection is the parent's)."""
import asyncio
import os
import threading

import pytest

from pyqivrexdb import aio, dbapi


class HeldFetch:
    """A cursor whose next fetch waits on the connection's thread until let
    go, so a cancel lands while it runs."""

    def __init__(self, cursor):
        self._cursor = cursor
        self.started, self.go = threading.Event(), threading.Event()

    def __getattr__(self, name):
        return getattr(self._cursor, name)

    def _held(self, method, *args):
        self.started.set()
        self.go.wait(10)
        return method(*args)

    def fetchmany(self, size):
        return self._held(self._cursor.fetchmany, size)

    def fetchall(self):
        return self._held(self._cursor.fetchall)


@pytest.mark.parametrize("fetch", [
    lambda cur: cur.fetchone(),
    lambda cur: cur.fetchmany(50),
    lambda cur: cur.fetchall(),
], ids=["fetchone", "fetchmany", "fetchall"])
def test_a_fetch_cancelled_after_the_library_gave_its_rows_keeps_them(dsn, fetch):
    async def main():
        async with await aio.connect(dsn, autocommit=True) as conn:
            await conn.execute("create table t(id integer)")
            await conn.cursor().executemany("insert into t values (?)", [(i,) for i in range(200)])
            cur = conn.cursor()
            cur.arraysize = 10
            await cur.execute("select id from t order by id")
            assert await cur.fetchmany(10) == [(i,) for i in range(10)]
            held = cur._cursor = HeldFetch(cur._cursor)
            task = asyncio.create_task(fetch(cur))
            await asyncio.to_thread(held.started.wait, 10)
            task.cancel()
            held.go.set()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert [r[0] for r in await cur.fetchall()] == list(range(10, 200))
            assert await (await conn.execute("select count(*) from t")).fetchall() == [(200,)]
    asyncio.run(main())


def test_a_connection_inherited_across_fork_refuses_at_once_in_the_child(dsn):
    loop = asyncio.new_event_loop()
    try:
        conn = loop.run_until_complete(aio.connect(dsn, autocommit=True))
        loop.run_until_complete(conn.execute("create table t(id integer)"))

        async def child():
            with pytest.raises(dbapi.ProgrammingError, match="forked process"):
                await asyncio.wait_for(conn.execute("insert into t values (1)"), 10)
            await asyncio.wait_for(conn.close(), 10)

        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                asyncio.run(child())
                code = 0
            finally:
                os._exit(code)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0

        async def after():
            await conn.execute("insert into t values (2)")
            assert await (await conn.execute("select id from t")).fetchall() == [(2,)]
            await conn.close()
        loop.run_until_complete(after())
    finally:
        loop.close()
