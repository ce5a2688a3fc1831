"""A statement used from two places at once: a notice handler or another
thread closing the cursor that runs it. Each either waits, or fails with a
plain error; none crashes or passes for a success."""
import threading
import time

import pytest

from pyqivrexdb import dbapi



@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn, autocommit=True)
    yield c
    c.close()


def test_a_notice_handler_closing_the_running_cursor(conn, backend):
    if backend == "postgresql":
        conn.execute("""create function hello() returns integer language plpgsql as
                        $$ begin raise notice 'hello'; return 1; end $$""")
    sql = {"sqlite": "select message('hello'), 1", "postgresql": "select hello(), 1"}[backend]
    cur = conn.cursor()
    seen = []

    def close(text):
        seen.append(text)
        try:
            cur.close()
        except dbapi.Error as exc:
            seen.append(type(exc).__name__)

    conn.add_notice_handler(close)
    try:
        cur.execute(sql)
        got = cur.fetchall()
    except dbapi.Error as exc:
        got = exc
    assert seen[0] == "hello"
    assert not isinstance(got, list) or got == [({"sqlite": None}.get(backend, 1), 1)], got
    conn.remove_notice_handler(close)
    assert conn.execute("select 2").fetchone() == (2,)


def test_closing_a_cursor_another_thread_runs(conn, backend):
    if backend == "sqlite":
        pytest.skip("timed by the server's sleep")
    cur = conn.cursor()
    out = []

    def run():
        try:
            cur.execute("select pg_sleep(1)")
            out.append(cur.fetchall())
        except dbapi.Error as exc:
            out.append(exc)

    t = threading.Thread(target=run)
    t.start()
    time.sleep(0.3)
    cur.close()  # waits for the call that runs
    t.join()
    got = out[0]
    assert isinstance(got, list) or "closed" in str(got), repr(got)
    assert conn.execute("select 2").fetchone() == (2,)
