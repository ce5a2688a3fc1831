"""The pool's account of a returned connection comes from the library."""
import pytest

import qxdouble
from pyqivrexdb.pool import ConnectionPool


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
