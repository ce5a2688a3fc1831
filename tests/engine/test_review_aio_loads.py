"""A cancelled bulk load of the asyncio face in autocommit, where each part
of the load commits as it goes: the caller must hear what was kept, never a
bare cancel over rows that stay committed."""
import asyncio
import threading

import pytest

from pyqivrexdb import aio, dbapi

pa = pytest.importorskip("pyarrow")

N = 150_000


def held_after_first_parts(started, cancelled, width=20):
    """Rows; past the first parts sent (and committed) they wait for the
    cancel, so that it lands while the load runs."""
    for i in range(N):
        if i == 100_000:
            started.set()
            cancelled.wait(30)
        yield (i, "x" * width)


def committed(dsn):
    with dbapi.connect(dsn) as other:
        return other.execute("select count(*) from ld").fetchone()[0]


LOADS = {
    "addrecords": lambda conn, cur, events: conn.addrecords("ld", held_after_first_parts(*events)),
    "adbc_ingest": lambda conn, cur, events: cur.adbc_ingest(
        "ld", pa.RecordBatchReader.from_batches(SCHEMA, batches(events)), mode="append"),
}
SCHEMA = pa.schema([("id", pa.int64()), ("s", pa.string())])
WIDE = 200


def batches(events):
    # Wide enough that the batches held for one COPY (16 MiB) go before the wait.
    rows = held_after_first_parts(*events, width=WIDE)
    while True:
        part = [row for _, row in zip(range(1000), rows)]
        if not part:
            return
        yield pa.record_batch([pa.array([r[0] for r in part], pa.int64()), pa.array([r[1] for r in part])],
                              schema=SCHEMA)


@pytest.mark.parametrize("load", LOADS)
def test_a_cancelled_load_in_autocommit_tells_what_it_kept(dsn, load):
    async def main():
        started, cancelled = events = threading.Event(), threading.Event()
        async with await aio.connect(dsn, autocommit=True) as conn:
            await conn.execute("create table ld(id bigint, s varchar(%d))" % (WIDE + 10))
            cur = conn.cursor()
            task = asyncio.ensure_future(LOADS[load](conn, cur, events))
            assert await asyncio.to_thread(started.wait, 60)
            task.cancel()
            await asyncio.sleep(0.05)  # the interrupt is on its way
            cancelled.set()
            outcome = await asyncio.gather(task, return_exceptions=True)
        return outcome[0]

    outcome = asyncio.run(main())
    kept = committed(dsn)
    assert kept > 0
    if isinstance(outcome, BaseException):
        assert isinstance(outcome, dbapi.Error) and outcome.rows_sent == kept
    else:
        assert outcome == kept == N
