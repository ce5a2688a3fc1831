"""Threads and cancelling through the driver on the embedded engine: other
threads run while a statement does, connections work at once, and a running
statement stops on interrupt() or Ctrl-C."""

import ctypes
import signal
import subprocess
import sys
import threading
import time

import pytest

import pyqivrexdb
from conftest import cpu_seconds, interrupting, wait_until_busy
from held_reader import reading_held
from pyqivrexdb.errors import ProgrammingError

INTERRUPTED = -9
# Runs for many seconds unless stopped: numbers only, and texts (packed in a
# second pass over the rows kept so far), both past the result memory budget.
ENDLESS = {
    "numbers": "with recursive c(x) as (select 1 union all select x + 1 from c where x < 300000000) "
               "select x, x * 2 from c",
    "texts": "with recursive c(x) as (select 1 union all select x + 1 from c where x < 300000000) "
             "select x, 'row ' || x from c",
    "count": "with recursive c(x) as (select 1 union all select x + 1 from c where x < 300000000) "
             "select count(*) from c",
}


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.db")


@pytest.mark.parametrize("kind", sorted(ENDLESS))
def test_interrupt_from_another_thread_stops_the_query_and_the_connection_is_reused(path, kind):
    with pyqivrexdb.connect(path) as conn:
        cur = conn.cursor()
        with interrupting(conn.interrupt), pytest.raises(ProgrammingError) as caught:
            cur.execute(ENDLESS[kind])
        assert caught.value.args == ("execute() error %d:", INTERRUPTED)
        cur.execute("select 40 + 2")
        assert cur.fetchall() == [[42]]
        # A cancel with nothing running does not reach the next statement.
        conn.interrupt()
        cur.execute("select 1")
        assert cur.fetchall() == [[1]]


def test_a_second_writer_waits_for_the_first_ones_commit(path):
    """A holds the file's write lock in a named transaction; B's insert waits
    for it inside the library. A's commit gets through meanwhile, and B's
    insert succeeds after it."""
    with pyqivrexdb.connect(path) as a, pyqivrexdb.connect(path) as b:
        a.execute("create table t(n integer)")
        a.begin("T1", ["t"])
        a.execute("insert into t values (1)")
        done = []
        worker = threading.Thread(target=lambda: done.append(b.execute("insert into t values (2)")))
        worker.start()
        time.sleep(0.2)
        a.commit("T1")
        worker.join(10)
        assert done == [None]
        cur = a.cursor()
        cur.execute("select n from t order by n")
        assert cur.fetchall() == [[1], [2]]


def test_interrupt_stops_a_statement_waiting_for_a_lock(path):
    with pyqivrexdb.connect(path) as a, pyqivrexdb.connect(path) as b:
        a.execute("create table t(n integer)")
        a.begin("T1", ["t"])
        a.execute("insert into t values (1)")
        with interrupting(b.interrupt), pytest.raises(ProgrammingError) as caught:
            b.execute("insert into t values (2)")
        assert caught.value.args == ("qcSqlExecDirect error %d:", INTERRUPTED)
        a.commit("T1")
        b.execute("insert into t values (2)")


def test_threads_sharing_a_connection(path):
    """Each thread has its own cursor on one connection: the calls take
    turns, and every row written is read back whole."""
    with pyqivrexdb.connect(path) as conn:
        conn.execute("create table t(k integer, v char(20))")
        errors = []

        def writer(k):
            try:
                cur = conn.cursor()
                for i in range(200):
                    cur.execute("insert into t values (%s, 'w%s-%s')" % (k, k, i))
                    cur.execute("select count(*) from t where k = %s" % k)
                    assert cur.fetchone() == [i + 1]
                cur.close()
            except Exception as exc:  # noqa: BLE001 - checked below
                errors.append(exc)

        threads = [threading.Thread(target=writer, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        cur = conn.cursor()
        cur.execute("select k, count(*), count(distinct v) from t group by k order by k")
        assert cur.fetchall() == [[k, 200, 200] for k in range(4)]


def test_receivers_called_during_a_released_statement_use_the_driver(path):
    with pyqivrexdb.connect(path) as conn:
        conn.execute("create table t(n integer)")
        seen = []

        def receiver(message):
            other = conn.cursor()
            other.execute("select count(*) from t")
            seen.append((message, other.fetchall(), threading.get_ident()))
            other.close()

        conn.send_callback(receiver)
        cur = conn.cursor()
        cur.execute("insert into t values (1), (2), (3)")
        cur.execute("select message('n=' || n) from t order by n")
        assert [(m, r) for m, r, _ in seen] == [("n=1", [[3]]), ("n=2", [[3]]), ("n=3", [[3]])]
        assert {t for _, _, t in seen} == {threading.get_ident()}


CHILD = """
import os, sys, time, datetime, pyqivrexdb
conn = pyqivrexdb.connect(sys.argv[1])
cur = conn.cursor()
what = sys.argv[2]
if what == "load":
    cur.execute("create table t(n integer, s char(10))")
    rows = [[i, "r%d" % i] for i in range(3000000)]
elif what == "fetch":
    cur.execute("create table t(n integer)")
    cur.execute("insert into t with recursive c(x) as (select 1 union all select x + 1 from c "
                "where x < 3000000) select x from c")
print("ready", flush=True)
try:
    if what == "query":
        cur.execute(QUERY)
    elif what == "fetch":
        cur.execute("select n, n, n, n from t")
        while True:
            cur.fetchall()
            cur.execute("select n, n, n, n from t")
    else:
        pyqivrexdb.qxcore.HEAPCTRL = 4096
        conn.addrecords("t", rows)
except KeyboardInterrupt as exc:
    print("interrupted", getattr(exc, "rows_sent", None), flush=True)
    if what == "load":
        cur.execute("select count(*) from t")
        print("committed", cur.fetchall()[0][0])
cur.execute("select 7")
print("reused", cur.fetchall())
""".replace("QUERY", repr(ENDLESS["count"]))


@pytest.mark.parametrize("what", ["query", "fetch", "load"])
def test_ctrl_c_stops_the_call_then_raises_keyboard_interrupt(path, what, tmp_path):
    # preexec_fn: Ctrl-C reaches the child also when this run ignores it (a
    # script's background job), and the child's Python then handles it.
    child = subprocess.Popen([sys.executable, "-P", "-c", CHILD, path, what], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert child.stdout.readline() == "ready\n"
    wait_until_busy(child.pid, cpu_seconds(child.pid) + 0.3)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    lines = out.splitlines()
    assert lines[0].startswith("interrupted"), out
    assert lines[-1] == "reused [[7]]"
    if what == "load":
        sent = int(lines[0].split()[1])
        assert lines[1] == "committed %d" % sent


def test_the_standard_face_reports_an_interrupted_statement_as_operational(path):
    from pyqivrexdb import dbapi

    with dbapi.connect(path) as conn:
        cur = conn.cursor()
        with interrupting(conn.interrupt), pytest.raises(dbapi.OperationalError) as caught:
            cur.execute(ENDLESS["count"])
        assert caught.value.code == INTERRUPTED
        cur.execute("select 5")
        assert cur.fetchall() == [(5,)]
    conn.interrupt()  # closed: nothing to stop


def test_the_engine_forgets_a_cancel_made_while_nothing_runs(eng, path):
    """Straight to the library: a cancel between two calls stops neither the
    next statement nor a later bulk batch."""
    eng.qcSqlCancel.argtypes = [ctypes.c_int]
    hdb = eng.open(path)
    hs = eng.stmt(hdb)
    assert eng.exec(hs, "create table t(n integer)") == 0
    assert eng.qcSqlCancel(hdb) == 0
    # Long enough for the engine to look for a cancel many times over.
    assert eng.query(hs, ENDLESS["count"].replace("300000000", "200000")) == [[200000]]
    assert eng.qcSqlCancel(hdb) == 0
    rec = (7).to_bytes(4, "little")
    assert eng.qcSqlAddRecords(hdb, b"t", 1, 4, rec) == 0
    assert eng.query(hs, "select n from t") == [[7]]
    eng.close(hdb)


def test_statements_made_used_and_freed_at_once_on_many_connections(eng):
    # Handles past the first 16,384 are found another way than those before:
    # both kinds are made here, used by other threads than made them, and
    # freed while other connections' statements run; a freed one stays unknown.
    unknown = -97
    hdb = eng.open(b":memory:")
    made = [eng.stmt(hdb) for _ in range(17000)]
    shared = [made[0], made[-1]]
    errors, freed = [], []

    def worker(k):
        try:
            h = eng.open(b":memory:")
            for i in range(400):
                s, other = eng.stmt(h), eng.stmt(h)
                assert eng.query(s, "select %d, 'w%d'" % (i, k)) == [[i, "w%d" % k]]
                assert eng.qcSqlFreeStmt(other) == 0
                freed.append(other)
                assert eng.exec(freed[i * 4 % len(freed)], "select 1") == unknown
                assert eng.qcSqlFreeStmt(s) == 0
            eng.close(h)
        except Exception as exc:  # the assertion of a thread reaches the test
            errors.append(exc)

    def user(hs):
        try:
            for i in range(200):
                assert eng.query(hs, "select %d" % i) == [[i]]
        except Exception as exc:
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(3)]
    threads += [threading.Thread(target=user, args=(hs,)) for hs in shared[1:]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for hs in made[1:-1]:
        assert eng.qcSqlFreeStmt(hs) == 0
    assert [eng.exec(hs, "select 1") for hs in made[1:3] + made[-2:-1]] == [unknown] * 3
    assert eng.query(shared[0], "select 2") == eng.query(shared[1], "select 2") == [[2]]
    eng.close(hdb)


@pytest.mark.parametrize("close", ["cursor", "connection", "with block"])
def test_closing_while_another_thread_reads_the_rows_closes_and_the_reader_is_told(dsn, close):
    # The reader is inside its cursor's row loop (held in the row factory).
    from pyqivrexdb import dbapi
    conn = dbapi.connect(dsn)
    conn.execute("create table rows_read(id integer)")
    conn.cursor().executemany("insert into rows_read values (?)", [(i,) for i in range(10)])
    conn.commit()
    cur = conn.cursor()
    with reading_held(cur, "select id from rows_read order by id") as read:
        if close == "cursor":
            cur.close()
        elif close == "connection":
            conn.close()
        else:
            conn.__exit__(None, None, None)
    assert isinstance(read[0], dbapi.ProgrammingError)
    with pytest.raises(dbapi.ProgrammingError):
        cur.execute("select 1")
    conn.close()
