"""The asyncio face over the test double: what a cancel does to a call that
is running, and to one that waits its turn."""
import asyncio
import threading

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


async def block_at(double, text):
    """Lets the statements through until the one of `text`, which then waits
    in the library until unblock()."""
    double.block("qcSqlExecDirect")
    while True:
        assert await asyncio.get_running_loop().run_in_executor(None, double.wait_blocked) == 1
        if double.calls("qcSqlExecDirect")[-1].args[1] == text:
            double.block("qcSqlExecDirect", times=0)
            return
        double.unblock()


# (call, the statement it sends last, whether a cancel waits for it): every
# way a call can send a COMMIT, and statements that only look like one.
ENDINGS = [
    ("commit()", "commit", True),
    ("set_autocommit(True)", "commit", True),
    ("executemany in autocommit", "commit", True),
    ("execute", "commit", True),
    ("execute", "END", True),
    ("execute", "/* done */ Commit Work;", True),
    ("execute", "-- the end\n\tend transaction", True),
    ("execute", "COMMIT PREPARED 'x'", True),
    ("execute", "/* commit */ select 1", False),
    ("execute", "select 'commit'", False),
    ("execute", "endless_table_name", False),
]


@pytest.mark.parametrize("how, sql, waits", ENDINGS)
def test_a_cancel_once_a_commit_went_out_waits_for_it(double, how, sql, waits):
    async def main():
        conn = await aio.connect("srv", autocommit=how.endswith("autocommit"))
        if how == "executemany in autocommit":
            call = conn.cursor().executemany("insert into t values (?)", [(1,), (2,)])
        else:
            await conn.execute("insert into t values (1)")
            call = {"commit()": conn.commit, "set_autocommit(True)": lambda: conn.set_autocommit(True),
                    "execute": lambda: conn.execute(sql)}[how]()
        task = asyncio.create_task(call)
        await block_at(double, sql.encode())
        task.cancel()
        await asyncio.sleep(0.1)  # the cancel is asked for again and again meanwhile
        assert task.done() != waits
        double.unblock()
        if waits:
            await task  # it went through: no CancelledError hides it
        else:
            with pytest.raises(asyncio.CancelledError):
                await task  # stopped in the library
        await conn.close()
    asyncio.run(main())
    assert bool(double.calls("qcSqlCancel")) != waits  # a COMMIT under way is never interrupted


def test_a_cancel_before_the_commit_of_an_executemany_keeps_it_from_going_out(double):
    # The rows come slowly, with no library call under way for the cancel to
    # stop: the COMMIT that would follow them must not go out.
    go_on = threading.Event()

    def rows():
        yield (1,)
        go_on.wait(5)
        yield (2,)

    async def main():
        conn = await aio.connect("srv", autocommit=True)
        task = asyncio.create_task(conn.cursor().executemany("insert into t values (?)", rows()))
        await asyncio.sleep(0.1)
        task.cancel()
        await asyncio.sleep(0.1)
        go_on.set()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert not await conn.in_transaction()  # the rows it wrote are rolled back
        await conn.close()
    asyncio.run(main())
    sent = [c.args[1] for c in double.calls("qcSqlExecDirect")]
    assert b"commit" not in sent and sent[-1] == b"rollback"
