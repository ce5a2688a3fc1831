"""A connection inherited across fork() belongs to the parent: the child
that drops it (closing it, or just exiting) sends nothing, so the parent's
session and open transaction live on; a child that uses it gets a clear
error."""
import gc
import os

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
