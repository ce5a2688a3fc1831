"""Point queries whose result the library holds whole after the execute, read
without letting other threads run: every row count around the first batch,
results of row changes, reads that fail, and threads and interrupts around
them, on both backends."""
import sqlite3
import threading

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi
from conftest import interrupting

N = 300


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn)
    c.execute("create table t(id integer, v varchar(40))")
    c.cursor().executemany("insert into t values (?, ?)", [(i, "v%d" % i) for i in range(N)])
    c.commit()
    yield c
    c.close()


@pytest.mark.parametrize("n", [0, 1, 2, 63, 64, 65, 127, 128, 129, N])
def test_every_row_count_around_the_first_batch_reads_whole(conn, n):
    cur = conn.cursor()
    want = [(i, "v%d" % i) for i in range(n)]
    cur.execute("select id, v from t where id < ? order by id", (n,))
    assert cur.rowcount in (n, -1)
    assert cur.fetchmany(63) + cur.fetchmany(1) + cur.fetchall() == want
    assert cur.fetchone() is None and cur.rowcount == n
    # The same again, row by row, then a point query on the same cursor.
    cur.execute("select id, v from t where id < ? order by id", (n,))
    assert list(cur) == want
    cur.execute("select v from t where id = ?", (n - 1,))
    assert cur.fetchall() == ([("v%d" % (n - 1),)] if n else [])


@pytest.mark.parametrize("sql, args, rows, left", [
    ("delete from t where id < ? returning id", (3,), [(0,), (1,), (2,)], N - 3),
    ("delete from t where id < ? returning id", (0,), [], N),
    ("update t set v = 'x' where id = ? returning id, v", (5,), [(5, "x")], N),
    ("insert into t values (?, 'new') returning id", (-1,), [(-1,)], N + 1),
])
def test_row_changes_with_returning_give_their_rows_and_change_once(conn, sql, args, rows, left):
    cur = conn.cursor()
    cur.execute(sql, args)
    assert cur.fetchall() == rows
    cur.execute("select count(*) from t")
    assert cur.fetchone() == (left,)
    conn.rollback()


def bad_file(tmp_path, n):
    """A file another program wrote: row 0 holds a value no read returns."""
    path = str(tmp_path / "other.sqlite")
    with sqlite3.connect(path) as other:
        other.execute("create table t(id integer, v smallint)")
        other.executemany("insert into t values (?, ?)", [(k, 40000 if k == 0 else k) for k in range(n)])
    return path


@pytest.mark.parametrize("sql", [
    "select v from t where id = 0",               # one row, held
    "select v from t where id < 3 order by id",   # the bad row first, held
    "select v from t order by id desc",           # the bad row last, held or not
])
def test_a_held_result_whose_read_fails_raises_and_the_cursor_goes_on(tmp_path, sql):
    with dbapi.connect(bad_file(tmp_path, 70)) as conn:
        cur = conn.cursor()
        for _ in range(3):
            cur.execute(sql)
            with pytest.raises(dbapi.DataError, match="column v:"):
                cur.fetchall()
            cur.execute("select v from t where id = 5")
            assert cur.fetchall() == [(5,)]


# Regression: a stream whose rest a point query of another thread read ahead
# before the stream's count was asked told a count, so its reader took it for
# a whole result and ended it after the first batch (64 rows of 300).
def test_threads_sharing_a_connection_each_read_their_own_point_queries(conn):
    conn.autocommit = True  # each statement its own: no thread opens a transaction for the others
    errors, stop = [], threading.Event()

    def reader(k):
        cur = conn.cursor()
        try:
            for j in range(150):
                i = (k * 37 + j) % N
                cur.execute("select id, v from t where id = ?", (i,))
                got = cur.fetchall()
                if got != [(i, "v%d" % i)]:
                    errors.append((i, got))
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    def scanner():
        cur = conn.cursor()
        while not stop.is_set():
            cur.execute("select id, v from t order by id")
            got_all = cur.fetchall()
            if len(got_all) != N:
                errors.append(("scan", len(got_all), got_all[:2], got_all[-2:] if got_all else None))

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(3)]
    scan = threading.Thread(target=scanner)
    for t in threads + [scan]:
        t.start()
    for t in threads:
        t.join(120)
    stop.set()
    scan.join(120)
    assert not any(t.is_alive() for t in threads + [scan]), "a thread hangs"
    assert errors == []


def test_interrupts_around_point_queries_stop_nothing_they_should_not(conn):
    cur = conn.cursor()
    done = 0
    with interrupting(conn.interrupt, every=0.001):
        for j in range(300):
            i = j % N
            try:
                cur.execute("select id, v from t where id = ?", (i,))
                got = cur.fetchall()
            except dbapi.OperationalError as exc:
                # Stopped: fine, as long as the next one works. A stop that
                # lands on the take-back of a stopped statement fails the
                # PostgreSQL transaction, and the error says so.
                if "transaction failed" in str(exc):
                    conn.rollback()
                continue
            assert got == [(i, "v%d" % i)]
            done += 1
    assert done > 0
    cur.execute("select count(*) from t")
    assert cur.fetchall() == [(N,)]


def test_the_core_face_reads_point_queries_as_before(tmp_path):
    with pyqivrexdb.connect(str(tmp_path / "core.sqlite")) as conn:
        cur = conn.cursor()
        cur.execute("create table t(id integer, v char(10))")
        for i in range(66):
            cur.execute("insert into t values (%d, 'v%d')" % (i, i))
        for n in (0, 1, 63, 64, 65, 66):
            cur.execute("select id from t where id < %d order by id" % n)
            assert [r[0] for r in cur.fetchall()] == list(range(n))


@pytest.mark.parametrize("head", [0, 1, 63, 64, 65])
@pytest.mark.parametrize("other", ["select id, v from t where id = 7", "select id, v from t where id < 3",
                                   "select count(*) from t"])
def test_a_read_goes_on_whole_after_another_cursor_runs_a_point_query(conn, head, other):
    reader, point = conn.cursor(), conn.cursor()
    reader.execute("select id, v from t order by id")
    got = reader.fetchmany(head) if head else []
    point.execute(other)
    point.fetchall()
    got += reader.fetchall()
    assert len(got) == N and got == [(i, "v%d" % i) for i in range(N)]

