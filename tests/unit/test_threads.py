"""Threads: calls that can wait are made without the interpreter lock, under
a lock of the module (one for the process, or one per connection when the
library allows it), interrupt() stops them, and messages reach Python from
any thread while they run.

The double's blocked calls stand in for a long statement: a call scripted to
block waits until it is let go or its connection is cancelled.
"""

import gc
import os
import signal
import sys
import threading
import time

import pytest

import qxdouble
import qxisolated
import rel_scenarios as rs
from pyqivrexdb import qxcore
from pyqivrexdb.errors import ProgrammingError

INTERRUPTED = qxdouble.QSCLI_E_INTERRUPTED


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


class Worker(threading.Thread):
    """Runs `fn` on a thread of its own; join() hands back its result or
    raises its exception."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn, self.result, self.error = fn, None, None
        self.start()

    def run(self):
        try:
            self.result = self.fn()
        except BaseException as exc:  # noqa: BLE001 - handed to join()
            self.error = exc

    def join(self, timeout=10):
        super().join(timeout)
        assert not self.is_alive(), "the call did not come back"
        if self.error is not None:
            raise self.error
        return self.result


def connect(double, level=0):
    double.set_concurrency(level)
    return qxcore.connect("srv", "usr", "pw")


def query(double, cur):
    rs.every_type_result(double, None, 3)
    cur.execute("select * from t")
    return cur.fetchall()


# Each call site that can wait: what runs it, the entry point, and what it
# raises when interrupt() stops it.
WAITING = [
    ("Cursor.execute", "qcSqlExecDirect",
     lambda ctx: ctx.cur.execute("select 1"), (ProgrammingError, "execute() error %d:")),
    ("fetchall", "qcSqlReadResults",
     lambda ctx: ctx.cur.fetchall(), (ProgrammingError, "qcSqlReadResults error %d:")),
    ("Connection.execute", "qcSqlExecDirect",
     lambda ctx: ctx.conn.execute("update t"), (ProgrammingError, "qcSqlExecDirect error %d:")),
    ("commit", "qcSqlExecDirect",
     lambda ctx: ctx.conn.commit("T1"), (ProgrammingError, "qcSqlExecDirect error %d:")),
    ("addrecords", "qcSqlAddRecords",
     lambda ctx: ctx.conn.addrecords("T", rs.BULK_ROWS), (ProgrammingError, "qcSqlAddRecords error %d:")),
]


def prepared(double, name):
    ctx = rs.Scenario(name, None).setup(double)
    rs.with_cursor(double, ctx)
    if name == "connect":
        ctx.conn.close()
        ctx.conn = qxcore.Connection()
    if name == "fetchall":
        rs.every_type_result(double, ctx, 3)
        ctx.cur.execute("select * from t")
    if name == "addrecords":
        rs.script_bulk(double, ctx)
    return ctx


@pytest.mark.parametrize("name, entry, op, error", WAITING, ids=[w[0] for w in WAITING])
def test_interrupt_stops_a_waiting_call_and_the_connection_stays_usable(double, name, entry, op,
                                                                        error):
    ctx = prepared(double, name)
    double.block(entry, 1)
    worker = Worker(lambda: op(ctx))
    assert double.wait_blocked(1) == 1
    # This thread runs Python code while the other waits in the library.
    assert sum(range(1000)) == 499500
    ctx.conn.interrupt()
    with pytest.raises(error[0]) as caught:
        worker.join()
    assert caught.value.args == (error[1], INTERRUPTED)
    assert "qcSqlCancel" in double.names()
    if name == "connect":
        ctx.conn.connect("srv", "usr", "pw")
        ctx.cur = ctx.conn.cursor()
    assert len(query(double, ctx.cur)) == 3
    ctx.cur.close()
    ctx.conn.close()


def test_the_disconnect_waits_without_the_interpreter_lock(double):
    conn = connect(double)
    double.block("qcSqlDisconnect", 1)
    worker = Worker(conn.close)
    assert double.wait_blocked(1) == 1
    assert sum(range(1000)) == 499500
    assert conn.interrupt() is None  # the session is ending: nothing to stop
    double.unblock()
    worker.join()
    assert double.live_connections() == []


def test_interrupt_with_nothing_running_changes_nothing(double):
    conn = connect(double)
    conn.interrupt()
    cur = conn.cursor()
    assert len(query(double, cur)) == 3
    conn.close()
    assert conn.interrupt() is None  # closed: no session to stop
    # Nothing was aimed at: the library is not even asked.
    assert "qcSqlCancel" not in double.names()


@pytest.mark.parametrize("opened_before", [0, 300])
def test_interrupt_reaches_a_connection_whatever_the_number_of_handles_seen(double, opened_before):
    """Handles registered without a lock while there is room, and the rest
    (the 301st) through the locked list: both are stopped alike."""
    for _ in range(opened_before):
        earlier = connect(double)
        earlier.cursor().execute("update t")  # a waiting call on its handle
        earlier.close()
    conn = connect(double)
    cur = conn.cursor()
    double.block("qcSqlExecDirect", 1)
    worker = Worker(lambda: cur.execute("select 1"))
    assert double.wait_blocked(1) == 1
    conn.interrupt()
    with pytest.raises(ProgrammingError) as caught:
        worker.join()
    assert caught.value.args == ("execute() error %d:", INTERRUPTED)
    assert len(query(double, cur)) == 3
    conn.interrupt()  # nothing running any more: nothing sent
    assert double.names().count("qcSqlCancel") == 1
    conn.close()


def _signal_main_thread():
    os.kill(os.getpid(), signal.SIGINT)


@pytest.fixture
def python_sigint():
    """Python's SIGINT handler in place, also in a run that ignores SIGINT
    (a script's background job), so that Ctrl-C reaches the core; it looks
    at the handler in place at most every 100 ms."""
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    time.sleep(0.15)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _unless_it_fails(double, steps):
    """Runs a steering thread's steps; should one fail, the blocked calls
    go on, so the test fails instead of hanging."""
    try:
        steps()
    except BaseException:
        double.block("qcSqlExecDirect", 0)
        double.unblock()
        raise


@pytest.mark.parametrize("how", ["interrupt", "ctrl_c"])
def test_a_cancel_that_arrives_after_its_call_ended_stops_nothing_else(double, python_sigint, how):
    """The cancel is held up in the library (a round trip to a server) while
    the statement it was aimed at ends on its own: the connection's next
    statement runs whole, whenever that cancel completes."""
    conn = connect(double)
    cur = conn.cursor()
    double.block("qcSqlExecDirect")
    double.block("qcSqlCancel", 1)
    main = threading.get_ident()
    results = []

    def statements():
        for sql in ("update t", "select 1"):
            try:
                results.append(cur.execute(sql))
            except KeyboardInterrupt:  # Ctrl-C is raised once a call ends
                results.append("KeyboardInterrupt")
            except ProgrammingError as exc:
                results.append(exc.args)

    def steer():
        assert double.wait_blocked(1) == 1  # the first statement runs
        if how == "interrupt":
            Worker(conn.interrupt)
        else:
            _signal_main_thread()
        assert double.wait_blocked(2) == 2  # its cancel is on the way
        double.unblock("qcSqlExecDirect")  # the statement ends first
        # The next statement does not start while the cancel is out ...
        assert double.wait_blocked(2, timeout=0.3) == 1
        double.unblock("qcSqlCancel")
        # ... and once it is through, the next one runs whole.
        double.block("qcSqlExecDirect", 0)
        double.unblock()

    steerer = Worker(lambda: _unless_it_fails(double, steer))
    if how == "interrupt":
        Worker(statements).join()
    else:  # Ctrl-C cancels calls of the main thread only
        statements()
    steerer.join()
    assert threading.get_ident() == main
    assert results in ([None, None], ["KeyboardInterrupt", None]), results
    conn.close()


@pytest.mark.parametrize("level, at_once", [(0, 1), (1, 2)])
def test_connections_work_at_once_only_when_the_library_allows(double, level, at_once):
    conns = [connect(double, level) for _ in range(2)]
    curs = [c.cursor() for c in conns]
    double.block("qcSqlExecDirect", 2)
    workers = [Worker(lambda c=c: c.execute("update t")) for c in curs]
    assert double.wait_blocked(at_once) == at_once
    if at_once == 1:
        # The second waits for the module's lock, not inside the library.
        assert double.wait_blocked(2, timeout=0.3) == 1
    double.unblock()
    if at_once == 1:
        assert double.wait_blocked(1) == 1
        double.unblock()
    for w in workers:
        w.join()
    assert double.max_threads() == at_once
    assert double.overlaps() == 0
    for c in conns:
        c.close()


def test_threads_sharing_a_connection_take_turns(double):
    conn = connect(double, level=1)
    rows = []
    scripting = threading.Lock()  # the double's next result is for any statement

    def reader():
        cur = conn.cursor()
        for _ in range(30):
            with scripting:
                rs.every_type_result(double, None, 3)
                cur.execute("select * from t")
            rows.append(len(cur.fetchall()))
        cur.close()

    workers = [Worker(reader) for _ in range(3)]
    for w in workers:
        w.join(30)
    assert rows == [3] * 90
    assert double.overlaps() == 0
    conn.close()
    assert double.live_statements() == [] and double.stale_calls() == []


def test_a_thread_waits_for_another_threads_transaction(double):
    """B's statement waits in the library while A holds a lock there; A's
    commit must still get through (it did not while B kept the interpreter
    lock)."""
    a, b = connect(double, 1), connect(double, 1)
    a.begin("T1", ["T"])
    double.block("qcSqlExecDirect", 1)
    worker = Worker(lambda: b.execute("insert into T values (2)"))
    assert double.wait_blocked(1) == 1
    # A runs on: its commit goes through while B waits.
    a.commit("T1")
    double.unblock()
    worker.join()
    a.close()
    b.close()


# The library's promise that it calls back from a thread of its own only
# while the call waits for the receiver (qcSqlConcurrency).
WAITS_FOR_CALLBACKS = 2


def test_message_from_the_librarys_own_thread_during_a_waiting_call(double, unraisable):
    conn = connect(double, 1 | WAITS_FOR_CALLBACKS)
    cur = conn.cursor()
    seen = []

    def receiver(message):
        # The call that delivers this is still running on the main thread:
        # the receiver uses the driver on the same connection meanwhile.
        other = conn.cursor()
        rs.every_type_result(double, None, 2)
        other.execute("select * from t")
        seen.append((message, threading.get_ident(), len(other.fetchall())))
        other.close()
        gc.collect()

    conn.send_callback(receiver)
    double.add_message(b"from afar", "qcSqlExecDirect", thread=qxdouble.WAITED)
    cur.execute("update t")
    assert [(m, n) for m, _, n in seen] == [("from afar", 2)]
    assert seen[0][1] != threading.get_ident()
    assert unraisable == []
    cur.close()
    conn.close()
    assert double.stale_calls() == []


@pytest.mark.parametrize("level", [0, 1])
@pytest.mark.parametrize("closes", ["cursor", "connection"])
def test_receiver_on_the_librarys_thread_closes_what_is_running(double, unraisable, level,
                                                                closes):
    conn = connect(double, level | WAITS_FOR_CALLBACKS)
    cur = conn.cursor()

    def receiver(message):
        (cur if closes == "cursor" else conn).close()

    conn.send_callback(receiver)
    double.add_message(b"bye", "qcSqlExecDirect", thread=qxdouble.WAITED)
    cur.execute("update t")  # the double lets the close through; nothing hangs
    assert unraisable == []
    if closes == "connection":
        cur.close()
    assert double.live_statements() == []
    conn.close()
    assert double.live_connections() == [] and double.stale_calls() == []


def test_library_without_the_optional_entry_points(tmp_path):
    """The vendor's library has neither: one call at a time, and interrupt()
    says it cannot stop anything; nothing else changes."""
    path = qxdouble.build(omit=qxdouble.OPTIONAL_ENTRY_POINTS)
    out = qxisolated.check(f"""
        import threading, qxdouble
        d = qxdouble.Double({str(path)!r})
        from pyqivrexdb import qxcore
        from pyqivrexdb.errors import NotSupportedError
        conns = [qxcore.connect("s", "u", "p") for _ in range(2)]
        d.block("qcSqlExecDirect", 2)
        ts = [threading.Thread(target=c.execute, args=("x",)) for c in conns]
        for t in ts: t.start()
        print(d.wait_blocked(2, 0.3))
        try:
            conns[0].interrupt()
        except NotSupportedError as e:
            print(e.args)
        d.unblock(); d.wait_blocked(1); d.unblock()
        for t in ts: t.join()
        print(d.max_threads())
    """, qxisolated.copy_package(tmp_path))
    assert out.split("\n")[:3] == ["1", "('qcSqlCancel error %d:', -90)", "1"]


@pytest.mark.parametrize("python_init", [False, True])
def test_ctrl_c_follows_the_call_sites_error_as_its_context(double, monkeypatch, python_sigint, python_init):
    """Also when the error class runs Python code while it is made, which
    would otherwise be where the signal is raised."""
    made = []

    class Refused(ProgrammingError):
        def __init__(self, *args):
            made.append(sum(range(100)))
            super().__init__(*args)

    if python_init:
        monkeypatch.setattr(qxcore, "ProgrammingError", Refused)
    conn = connect(double)
    cur = conn.cursor()
    double.block("qcSqlExecDirect", 1)

    def steer():
        assert double.wait_blocked(1) == 1
        _signal_main_thread()

    steerer = Worker(lambda: _unless_it_fails(double, steer))
    with pytest.raises(KeyboardInterrupt) as caught:
        cur.execute("select 1")
    steerer.join()
    error = caught.value.__context__
    assert type(error) is (Refused if python_init else ProgrammingError)
    assert error.args == ("execute() error %d:", INTERRUPTED)
    assert made == ([4950] if python_init else [])
    conn.close()


@pytest.mark.parametrize("level", [0, 1])
def test_a_message_the_call_does_not_wait_for_waits_for_the_lock(double, unraisable, level):
    """Without the library's promise, a message from its own thread may run
    beside the call: the receiver's calls wait until the call has ended, and
    never run inside the library beside it."""
    conn = connect(double, level)
    cur = conn.cursor()
    ran = []

    def receiver(message):
        other = conn.cursor()
        other.execute("update t")
        ran.append(message)
        other.close()

    conn.send_callback(receiver)
    double.add_message(b"aside", "qcSqlExecDirect", thread=True)
    double.block("qcSqlExecDirect", 1)
    worker = Worker(lambda: cur.execute("update t"))
    assert double.wait_blocked(1) == 1
    assert double.wait_blocked(2, timeout=0.3) == 1
    assert ran == [] and double.max_threads() == 1
    double.unblock()
    worker.join()
    double.join_threads()
    assert ran == ["aside"]
    assert double.max_threads() == 1 and double.overlaps() == 0
    assert unraisable == []
    cur.close()
    conn.close()
