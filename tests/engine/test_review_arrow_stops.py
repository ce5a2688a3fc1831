"""An Arrow read stopped part-way (an interrupt, an asyncio cancel) leaves
its cursor saying so: a later fetch raises, as after a row fetch that
failed, instead of finding the result ended."""
import asyncio
import threading

import pytest

from pyqivrexdb import aio, dbapi

pytest.importorskip("pyarrow")

ROWS = 2_000_000
QUERY = "select id from big order by id"


@pytest.fixture
def filled(dsn):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table big(id integer)")
        conn.addrecords("big", [(i,) for i in range(ROWS)])
    return dsn


def interrupted(conn, call):
    """call() under interrupts made every 10 ms until it ends."""
    stop = threading.Event()

    def hammer():
        while not stop.wait(0.01):
            conn.interrupt()
    thread = threading.Thread(target=hammer)
    thread.start()
    try:
        return call()
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("method", ["fetch_arrow_table", "fetch_df"])
def test_an_interrupted_arrow_read_leaves_the_cursor_failed(filled, method):
    with dbapi.connect(filled) as conn:
        cur = conn.cursor()
        cur.execute(QUERY)
        with pytest.raises(dbapi.OperationalError):
            interrupted(conn, getattr(cur, method))
        with pytest.raises(dbapi.ProgrammingError, match="the rest of the result cannot be fetched"):
            cur.fetchall()


@pytest.mark.parametrize("method", ["fetch_arrow_table", "fetch_df"])
def test_a_cancelled_asyncio_arrow_read_leaves_the_cursor_failed(filled, method):
    async def main():
        async with await aio.connect(filled) as conn:
            cur = await conn.execute(QUERY)
            task = asyncio.ensure_future(getattr(cur, method)())
            await asyncio.sleep(0.2)
            task.cancel()
            outcome = await asyncio.gather(task, return_exceptions=True)
            if not isinstance(outcome[0], asyncio.CancelledError):
                return None  # it ended before the cancel: nothing to check
            try:
                return await cur.fetchall()
            except dbapi.ProgrammingError as exc:
                return exc

    got = asyncio.run(main())
    assert got is None or isinstance(got, dbapi.ProgrammingError), "a silent end after %d rows" % len(got)
