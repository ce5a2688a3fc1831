"""A connection inherited across fork() belongs to the parent: the child
that drops it (closing it, or just exiting) sends nothing, so the parent's
session and open transaction live on; a child that uses it gets a clear
error."""
import gc
import os
import signal
import time

import pytest

from pyqivrexdb import dbapi


def in_child(body):
    """Runs body() in a forked child; its exit status (0: it returned True)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if body() else 2
        except BaseException:  # noqa: BLE001 - a child must never return into pytest
            import traceback
            traceback.print_exc()
            code = 3
        finally:
            os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def child_uses(conn):
    def body():
        try:
            conn.execute("select 1")
        except dbapi.ProgrammingError as e:
            return "forked process" in str(e)
        return False
    return body


def child_closes(conn):
    return lambda: conn.close() is None and conn.closed


def child_drops(conn):
    def body():
        # What an exiting interpreter does with what it still holds.
        conn.__del__()
        gc.collect()
        return True
    return body


def child_uses_then_exits_normally(conn):
    def body():
        child_uses(conn)()
        conn.close()
        return True
    return body


@pytest.mark.parametrize("child", [child_uses, child_closes, child_drops, child_uses_then_exits_normally])
def test_a_forked_child_leaves_the_parents_transaction_alone(dsn, backend, child):
    conn = dbapi.connect(dsn)
    conn.execute("create table t(x integer)")
    conn.commit()
    conn.execute("insert into t values (1)")  # open in the parent
    assert in_child(child(conn)) == 0
    conn.execute("insert into t values (2)")
    conn.commit()
    assert conn.execute("select count(*) from t").fetchone()[0] == 2
    conn.close()
    with dbapi.connect(dsn) as other:
        assert other.execute("select x from t order by x").fetchall() == [(1,), (2,)]


def test_the_childs_own_connection_works(dsn):
    parent = dbapi.connect(dsn)

    def body():
        with dbapi.connect(dsn) as mine:
            return mine.execute("select 41 + 1").fetchone()[0] == 42
    assert in_child(body) == 0
    assert parent.execute("select 1").fetchone()[0] == 1
    parent.close()


def bounded(body, seconds=60):
    """Runs body() in a process of its own: a hang there fails the test
    instead of stopping the run."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if body() else 2
        except BaseException:  # noqa: BLE001
            import traceback
            traceback.print_exc()
            code = 3
        finally:
            os._exit(code)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the parent hung")


STREAM_ROWS = 50000


def child_closes_the_cursor(conn, held):
    return lambda: held[0].close() is None


def child_lets_the_cursor_go(conn, held):
    def body():
        held.clear()
        gc.collect()
        return True
    return body


def child_closes_the_connection(conn, held):
    return lambda: conn.close() is None


def child_fetches_then_closes(conn, held):
    def body():
        try:
            held[0].fetchall()  # what is already here, then the error
        except dbapi.ProgrammingError as e:
            assert "forked process" in str(e)
        conn.close()
        return True
    return body


def child_rolls_back(conn, held):
    def body():
        try:
            conn.rollback()
        except dbapi.ProgrammingError:
            pass
        held.clear()
        return True
    return body


def child_interrupts(conn, held):
    def body():
        conn.interrupt()
        held[0].close()
        return True
    return body


@pytest.mark.parametrize("child", [child_closes_the_cursor, child_lets_the_cursor_go, child_closes_the_connection,
                                   child_fetches_then_closes, child_rolls_back, child_interrupts])
@pytest.mark.parametrize("autocommit", [True, False])
@pytest.mark.parametrize("fetched", [1, 20000])
def test_a_forked_child_leaves_the_parents_stream_alone(dsn, backend, child, autocommit, fetched):
    with dbapi.connect(dsn, autocommit=True) as c:
        c.execute("create table s(x integer)")
        c.execute("insert into s values (1)")

    def parent():
        conn = dbapi.connect(dsn, autocommit=autocommit)
        if not autocommit:
            conn.execute("insert into s values (2)")  # an open transaction
        query = f"select g, 'row ' || g from generate_series(1, {STREAM_ROWS}) g" if backend == "postgresql" else \
            f"with recursive r(g) as (select 1 union all select g + 1 from r where g < {STREAM_ROWS}) " \
            "select g, 'row ' || g from r"
        held = [conn.cursor()]
        held[0].execute(query)
        first = held[0].fetchmany(fetched)
        assert in_child(child(conn, held)) == 0
        rest = held[0].fetchall()
        assert [r[0] for r in first + rest] == list(range(1, STREAM_ROWS + 1))
        assert conn.execute("select count(*) from s").fetchone()[0] == (1 if autocommit else 2)
        conn.commit()
        conn.close()
        return True
    assert bounded(parent) == 0
    with dbapi.connect(dsn) as other:
        assert other.execute("select count(*) from s").fetchone()[0] == (1 if autocommit else 2)


CHILD_EXITS = """
import os, sys
from pyqivrexdb import dbapi
conn = dbapi.connect(sys.argv[1], autocommit=False)
cur = conn.cursor()
cur.execute("select g from generate_series(1, %d) g" % int(sys.argv[2]))
first = cur.fetchmany(10)
pid = os.fork()
if pid == 0:
    sys.exit(0)  # the interpreter's own exit: its objects go as it finalizes
os.waitpid(pid, 0)
print(len(first + cur.fetchall()))
"""


def test_a_child_that_exits_through_the_interpreter_leaves_the_stream_alone(pg_cluster):
    import subprocess
    import sys
    from conftest import pg_dsn
    out = subprocess.run([sys.executable, "-P", "-c", CHILD_EXITS, pg_dsn(pg_cluster), str(STREAM_ROWS)],
                         capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, str(STREAM_ROWS)), out.stderr
