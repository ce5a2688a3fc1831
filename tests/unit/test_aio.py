"""The asyncio face over the test double: what a cancel does to a call that
is running, and to one that waits its turn."""
import asyncio

import pytest

from pyqivrexdb import aio


def test_a_cancel_once_commit_runs_waits_for_it_and_reports_it(double):
    async def main():
        conn = await aio.connect("srv")
        await conn.execute("insert into t values (1)")
        double.block("qcSqlExecDirect", times=1)
        task = asyncio.create_task(conn.commit())
        assert await asyncio.get_running_loop().run_in_executor(None, double.wait_blocked) == 1
        task.cancel()
        await asyncio.sleep(0.1)  # the cancel is asked for the commit again and again meanwhile
        assert not task.done()
        double.unblock()
        await task  # committed: no CancelledError hides it
        assert not await conn.in_transaction()
        await conn.close()
    asyncio.run(main())
    assert [c.args[1] for c in double.calls("qcSqlExecDirect")][-1] == b"commit"


def test_a_cancel_before_commit_starts_keeps_it_from_running(double):
    async def main():
        conn = await aio.connect("srv")
        await conn.execute("insert into t values (1)")
        double.block("qcSqlExecDirect", times=1)
        first = asyncio.create_task(conn.execute("select 1"))
        assert await asyncio.get_running_loop().run_in_executor(None, double.wait_blocked) == 1
        commit = asyncio.create_task(conn.commit())
        await asyncio.sleep(0.05)
        commit.cancel()
        with pytest.raises(asyncio.CancelledError):
            await commit
        double.unblock()
        await first
        assert await conn.in_transaction()
        await conn.close()  # which rolls back
    asyncio.run(main())
    assert b"commit" not in [c.args[1] for c in double.calls("qcSqlExecDirect")]
