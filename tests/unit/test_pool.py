"""The pool's account of a returned connection comes from the library."""
import asyncio
import time

import pytest

import qxdouble
from pyqivrexdb import dbapi
from pyqivrexdb.pool import AsyncConnectionPool, ConnectionPool, PoolTimeout


@pytest.mark.parametrize("state, rollback_fails, kept", [
    (qxdouble.QSCLI_TX_IDLE, False, True),
    (qxdouble.QSCLI_TX_FAILED, False, True),   # rolled back: idle again
    (qxdouble.QSCLI_TX_FAILED, True, False),   # stays failed: never lent again
    (qxdouble.QSCLI_TX_OPEN, True, False),
])
def test_a_returned_connection_is_kept_only_when_the_library_holds_it_idle(double, state, rollback_fails, kept):
    double.set_tx_state(qxdouble.QSCLI_TX_IDLE)
    pool = ConnectionPool("srv", max_size=1)
    conn = pool.getconn()
    double.set_tx_state(state)
    if rollback_fails:
        double.fail("qcSqlExecDirect", -1)
    pool.putconn(conn)
    double.fail("qcSqlExecDirect", 0)
    double.set_tx_state(qxdouble.QSCLI_TX_IDLE)
    again = pool.getconn()
    assert (again is conn) == kept
    assert conn.closed != kept
    assert pool.get_stats()["connections_lost"] == int(not kept)


def test_a_library_that_cannot_tell_is_judged_by_the_connection_s_own_account(double):
    double.set_tx_state(None)
    pool = ConnectionPool("srv", max_size=1)
    conn = pool.getconn()
    conn.execute("select 1")  # opens the DB-API transaction
    assert conn.in_transaction
    pool.putconn(conn)
    assert any(c.args[1].startswith(b"rollback") for c in double.calls("qcSqlExecDirect"))
    assert pool.getconn() is conn and not conn.in_transaction


@pytest.mark.parametrize("dsn, read_dsn", [
    ("postgresql://u:p@h1:1,h2:2/db", "postgresql://u:p@h1:1,h2:2/db?target_session_attrs=prefer-standby"),
    ("postgresql://h1,h2/db?target_session_attrs=read-write&connect_timeout=5",
     "postgresql://h1,h2/db?connect_timeout=5&target_session_attrs=prefer-standby"),
    ("postgresql://h/db?options=-c%20search_path%3Dx",  # left encoded as it was
     "postgresql://h/db?options=-c%20search_path%3Dx&target_session_attrs=prefer-standby"),
    ("host=h1,h2 target_session_attrs = primary dbname=db password='a  b'",
     "host=h1,h2 dbname=db password='a  b' target_session_attrs=prefer-standby"),
    # a quoted value that holds the key's spelling is a value, not a setting
    (r"password='x target_session_attrs=any \' y' host=h",
     r"password='x target_session_attrs=any \' y' host=h target_session_attrs=prefer-standby"),
    ("host=h dbname", "host=h dbname target_session_attrs=prefer-standby"),  # libpq refuses it, not us
])
def test_the_read_only_side_asks_for_a_standby(dsn, read_dsn):
    from pyqivrexdb.pool import _prefer_standby
    assert _prefer_standby(dsn) == read_dsn


def test_a_database_file_has_no_read_only_side(tmp_path):
    from pyqivrexdb.pool import _prefer_standby
    assert _prefer_standby(str(tmp_path / "sales.db")) is None
    assert _prefer_standby(":memory:") is None


# -- what goes back into the pool -----------------------------------------

def _sync_pool(**kw):
    return ConnectionPool("srv", **kw)


async def _async_pool(**kw):
    return await AsyncConnectionPool("srv", **kw).open()


@pytest.mark.parametrize("name, value, default", [
    ("autocommit", True, False),
    ("row_factory", dbapi.Row, None),
    ("detect_types", dbapi.PARSE_DECLTYPES, 0),
    ("_statement_timeout", 0.5, None),
    ("adapters", {complex: str}, {}),
    ("json_loads", str.upper, None),
])
def test_a_returned_connection_gets_the_settings_it_was_lent_with(double, name, value, default):
    pool = _sync_pool(max_size=1)
    conn = pool.getconn()
    setattr(conn, name, value)
    conn.add_notice_handler(print)
    pool.putconn(conn)
    again = pool.getconn()
    assert again is conn and getattr(again, name) == default
    assert again._receiver().notice_handlers == []

    async def lend_twice():
        apool = await _async_pool(max_size=1)
        conn = await apool.getconn()
        setattr(conn.sync, name, value)
        await apool.putconn(conn)
        again = await apool.getconn()
        await apool.close()
        return again is conn, getattr(again.sync, name)
    assert asyncio.run(lend_twice()) == (True, default)


def test_a_reset_callback_runs_on_return_and_one_that_fails_drops_the_connection(double):
    seen = []

    def reset(conn):
        seen.append(conn)
        if len(seen) == 2:
            raise dbapi.OperationalError("cannot reset")

    pool = _sync_pool(max_size=1, reset=reset)
    conn = pool.getconn()
    pool.putconn(conn)
    assert pool.getconn() is conn
    pool.putconn(conn)
    assert seen == [conn, conn] and conn.closed
    assert pool.getconn() is not conn


def test_put_back_takes_only_a_connection_lent_out_now(double):
    pool, other_pool = _sync_pool(max_size=1), _sync_pool(max_size=1)
    conn = pool.getconn()
    pool.putconn(conn)
    other = other_pool.getconn()
    closed = dbapi.connect("srv")
    closed.close()
    for wrong in [conn, other, closed]:  # handed back already, another pool's, never lent
        with pytest.raises(dbapi.ProgrammingError):
            pool.putconn(wrong)
    first = pool.getconn()
    with pytest.raises(PoolTimeout):
        pool.getconn(timeout=0.05)  # the one connection is lent once, not twice
    first.close()
    pool.putconn(first)  # a lent connection closed by its borrower is taken back and dropped
    assert pool.get_stats()["pool_size"] in (0, 1)  # 1: its replacement is being opened


def test_the_async_pool_takes_back_only_a_connection_lent_out_now(double):
    async def main():
        pool, other_pool = await _async_pool(max_size=1), await _async_pool(max_size=1)
        conn = await pool.getconn()
        await pool.putconn(conn)
        other = await other_pool.getconn()
        for wrong in [conn, other]:
            with pytest.raises(dbapi.ProgrammingError):
                await pool.putconn(wrong)
        await pool.getconn()
        with pytest.raises(PoolTimeout):
            await pool.getconn(timeout=0.05)
        await other_pool.putconn(other)
        await pool.close()
        await other_pool.close()
    asyncio.run(main())


@pytest.mark.parametrize("make", ["sync", "async"])
def test_connections_found_broken_are_replaced_up_to_min_size(double, make):
    fails = [1, 1]

    def check(conn):
        if fails:
            fails.pop()
            raise dbapi.OperationalError("broken")

    async def acheck(conn):
        check(conn)

    def filled(stats):
        return stats["pool_size"] == 2 and stats["pool_available"] == 2

    if make == "sync":
        pool = _sync_pool(min_size=2, max_size=4, check=check)
        pool.putconn(pool.getconn())  # two found broken, a third one lent
        deadline = time.monotonic() + 5
        while not filled(pool.get_stats()) and time.monotonic() < deadline:
            time.sleep(0.01)
        stats = pool.get_stats()
        pool.close()
    else:
        async def main():
            pool = await _async_pool(min_size=2, max_size=4, check=acheck)
            await pool.putconn(await pool.getconn())
            deadline = time.monotonic() + 5
            while not filled(pool.get_stats()) and time.monotonic() < deadline:
                await asyncio.sleep(0.01)
            stats = pool.get_stats()
            await pool.close()
            return stats
        stats = asyncio.run(main())
    assert filled(stats) and stats["connections_lost"] >= 2
