"""Each standard connection's own notices and notifications."""
import sys

import pytest

import qxdouble
from pyqivrexdb import dbapi, qxcore


@pytest.fixture
def conn(double):
    c = dbapi.connect("srv", autocommit=True)
    double.clear()
    yield c
    c.close()


def collect(conn):
    notices, notes = [], []
    conn.add_notice_handler(notices.append)
    conn.add_notify_handler(notes.append)
    return notices, notes


@pytest.mark.parametrize("channel_text, refused, channel", [
    (b"orders", False, "orders"),
    (b"", False, ""),
    (b"\x8f\xe0\xae\xa1\xa0", False, "Проба"),  # CP866
    (b"orders", True, None),  # a library without the capability
])
def test_a_notification_carries_its_channel(double, conn, channel_text, refused, channel):
    notices, notes = collect(conn)
    double.set_attr_text(qxdouble.QSCLI_CONN_MSG_CHANNEL, channel_text)
    if refused:
        double.fail("qcSqlGetConnectAttr", -95)
    double.add_message(b"payload", "qcSqlExecDirect", user_type=7)
    conn.execute("select 1")
    assert notes == [dbapi.Notify(channel, "payload", 7)]
    assert notices == []
    assert list(conn.notifies(timeout=0, stop_after=1)) == notes


def test_notices_go_to_the_connection_they_came_on(double, conn):
    other = dbapi.connect("srv", autocommit=True)
    mine, theirs = collect(conn)[0], collect(other)[0]
    process_wide = []
    qxcore.SCALLBACK = process_wide.append
    double.add_message(b"for conn", "qcSqlExecDirect")
    conn.execute("select 1")
    assert (mine, theirs, process_wide) == (["for conn"], [], [])
    other.close()


def test_a_closed_connection_leaves_no_receiver_behind(double):
    # The library may hand the closed session's handle to the next one.
    first = dbapi.connect("srv", autocommit=True)
    old = []
    first.add_notice_handler(old.append)
    first.close()
    second = dbapi.connect("srv", autocommit=True)
    process_wide = []
    qxcore.SCALLBACK = process_wide.append
    second._core.send_callback(process_wide.append)
    double.add_message(b"for second", "qcSqlExecDirect")
    second.execute("select 1")
    assert (old, process_wide) == ([], ["for second"])
    second.close()


def test_a_failing_handler_is_reported_and_the_statement_stands(double, conn, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    conn.add_notice_handler(lambda text: 1 / 0)
    double.add_message(b"boom", "qcSqlExecDirect")
    assert conn.execute("select 1") is not None
    assert [type(s.exc_value) for s in seen] == [ZeroDivisionError]


def test_removed_handlers_hear_nothing(double, conn):
    notices, _ = collect(conn)
    conn.remove_notice_handler(notices.append)
    double.add_message(b"quiet", "qcSqlExecDirect")
    conn.execute("select 1")
    assert notices == []


def test_notifies_waits_no_longer_than_its_timeout(double, conn):
    import time
    start = time.monotonic()
    assert list(conn.notifies(timeout=0.2)) == []
    assert 0.2 <= time.monotonic() - start < 1.0
