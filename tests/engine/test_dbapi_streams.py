"""Streamed results on the standard face, on both backends: rows read a
batch at a time while other cursors of the connection go on working, and
nothing lost or changed under the reader."""
import pytest

import pyqivrexdb
from pyqivrexdb import dbapi

N = 3000


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn)
    c.execute("create table t(id integer, v varchar(40))")
    c.cursor().executemany("insert into t values (?, ?)", [(i, "v%d" % i) for i in range(N)])
    c.commit()
    yield c
    c.close()


WANT = [(i, "v%d" % i) for i in range(N)]


@pytest.mark.parametrize("other", [
    "update t set v = 'changed'",
    "delete from t",
    "insert into t values (-1, 'new')",
    None,  # a bulk load
])
def test_another_cursor_may_change_and_commit_while_one_reads(conn, other):
    reader = conn.cursor()
    reader.execute("select id, v from t order by id")
    head = reader.fetchmany(10)
    if other:
        conn.cursor().execute(other)
    else:
        conn.addrecords("t", [(-1, "new")] * 5000)
    conn.commit()
    assert head + list(reader) == WANT
    assert reader.rowcount == N


@pytest.mark.parametrize("end", ["rollback", "commit", "close", "execute again"])
def test_a_stream_can_be_left_or_its_transaction_ended_half_way(conn, end):
    cur = conn.cursor()
    cur.execute("select id, v from t order by id")
    assert cur.fetchone() == WANT[0]
    if end in ("rollback", "commit"):
        getattr(conn, end)()
        assert cur.fetchall() == WANT[1:]
    elif end == "close":
        cur.close()
    else:
        cur.execute("select v from t where id = 7")
        assert cur.fetchall() == [("v7",)]
    other = conn.cursor()
    other.execute("update t set v = 'x' where id = 1")
    conn.commit()
    other.execute("select v from t where id = 1")
    assert other.fetchall() == [("x",)]


def test_a_long_value_reads_back_among_short_ones(conn):
    conn.execute("create table big(id integer, s text)")
    conn.cursor().executemany("insert into big values (?, ?)", [(i, "s%d" % i) for i in range(3001) if i != 1500])
    conn.execute("insert into big values (1500, ?)", ("x" * 1000000,))
    cur = conn.cursor()
    cur.execute("select id, s from big order by id")
    assert cur.fetchone() == (0, "s0")
    rows = cur.fetchall()
    assert len(rows) == 3000 and rows[1499] == (1500, "x" * 1000000) and rows[-1] == (3000, "s3000")


def test_rowcount_is_unknown_until_the_end_on_the_engine(tmp_path):
    conn = dbapi.connect(str(tmp_path / "db.sqlite"))
    conn.execute("create table t(id integer, v text)")
    conn.cursor().executemany("insert into t values (?, ?)", WANT)
    conn.commit()
    cur = conn.cursor()
    cur.execute("select id, v from t where id < 3")
    assert cur.rowcount == 3  # it fits the first batch
    cur.execute("select id, v from t")
    assert cur.rowcount == -1
    assert len(cur.fetchmany(2000)) == 2000 and cur.rowcount == -1
    assert len(cur.fetchall()) == N - 2000 and cur.rowcount == N
    core = pyqivrexdb.connect(str(tmp_path / "db.sqlite")).cursor()
    core.execute("select id, v from t")
    assert core.row_count == N  # the core face keeps its exact count


def test_a_value_that_does_not_fit_raises_at_the_fetch_that_meets_it(tmp_path):
    from test_engine_streams import written_elsewhere
    conn = dbapi.connect(written_elsewhere(str(tmp_path / "db.sqlite")))
    cur = conn.cursor()
    cur.execute("select id, small from t order by id")
    assert len(cur.fetchmany(1700)) == 1700
    with pytest.raises(dbapi.DataError, match="small"):
        cur.fetchall()
    cur.execute("select count(*) from t")
    assert cur.fetchone() == (2000,)



def test_nulls_and_bytes_of_every_column_cross_the_batches(dsn, backend):
    # A batch is made of fixed fields packed as they come and variable
    # values put between them later: each NULL keeps its own column, a
    # bytes value its length, through the rows a long text pushes into the
    # next batch.
    import datetime
    conn = dbapi.connect(dsn)
    conn.execute("create table n(id integer, b %s, k integer, s text, d date, f double precision, c varchar(6))"
                 % ("bytea" if backend == "postgresql" else "blob"))
    day = datetime.date(2020, 2, 29)

    def row(i):
        return (i, None if i % 3 == 0 else bytes([i % 256, 0]) * (i % 5),
                None if i % 4 == 0 else -i, None if i % 5 == 0 else ("x" * 200000 if i % 1000 == 999 else "s%d" % i),
                None if i % 6 == 0 else day, None if i % 7 == 0 else i / 4, None if i % 2 else "c%d" % (i % 9999))
    want = [row(i) for i in range(4000)]
    conn.cursor().executemany("insert into n values (?, ?, ?, ?, ?, ?, ?)", want)
    conn.commit()
    cur = conn.cursor()
    cur.execute("select id, b, k, s, d, f, c from n order by id")
    assert cur.fetchall() == want
    conn.close()


def test_a_row_left_for_the_next_batch_is_read_ahead_with_the_rest(conn):
    # The long row does not fit the second batch and waits for the third;
    # another statement then reads the rest ahead, that row first.
    conn.execute("create table w(id integer, s text, k integer)")
    want = [(i, "x" * 300000 if i == 1500 else "s%d" % i, None if i % 3 else i) for i in range(3000)]
    conn.cursor().executemany("insert into w values (?, ?, ?)", want)
    conn.commit()
    reader = conn.cursor()
    reader.execute("select id, s, k from w order by id")
    head = reader.fetchmany(100)
    conn.cursor().execute("update w set s = 'changed'")
    assert head + reader.fetchall() == want



def test_a_value_that_does_not_fit_beside_text_raises_at_the_fetch_that_meets_it(tmp_path):
    # The rows before the one that fails reach the caller; a text column
    # beside the number makes each batch wait for its widths.
    import sqlite3
    path = str(tmp_path / "db.sqlite")
    with sqlite3.connect(path) as db:
        db.execute("create table t(id integer, s text, small smallint, b blob)")
        db.executemany("insert into t values (?, ?, ?, ?)",
                       [(i, "s%d" % i, 100000 if i == 1800 else i, b"b" * (i % 3)) for i in range(1, 2001)])
    db.close()
    cur = dbapi.connect(path).cursor()
    cur.execute("select id, s, small, b from t order by id")
    assert cur.fetchmany(1799) == [(i, "s%d" % i, i, b"b" * (i % 3)) for i in range(1, 1800)]
    with pytest.raises(dbapi.DataError, match="small"):
        cur.fetchone()



@pytest.mark.parametrize("decl, stored", [
    # a number kept as a number in a column read as text (STRING has numeric
    # affinity): its text is SQLite's own either way
    ("string", [0.1 + 0.2, 1e300, -0.0, 1.5e-320, 2 ** 63 - 1, 1 / 3, 12345678901234567.0, b"bytes"]),
    ("text", ["plain", "", "x" * 5000]),
    ("text", ["fine", "euro \u20ac"]),  # no CP866 for the euro sign
    ("integer", [1, "lots"]),
    ("smallint", [7, 40000]),
    ("blob", [b"", b"\x00\xff" * 300, "text"]),
])
def test_a_result_read_whole_and_a_streamed_one_agree(tmp_path, decl, stored):
    import sqlite3
    path = str(tmp_path / "db.sqlite")
    rows = [(k, stored[k % len(stored)]) for k in range(200)]
    with sqlite3.connect(path) as other:
        other.execute("create table t(id integer, v %s)" % decl)
        other.executemany("insert into t values (?, ?)", rows)
    cur = dbapi.connect(path).cursor()

    def read(sql, rowcount):
        try:
            cur.execute(sql)
            assert cur.rowcount == rowcount  # -1: streamed
            return [r[0] for r in cur.fetchall()]
        except dbapi.Error as exc:
            return type(exc), str(exc)

    streamed = read("select v from t order by id", -1)
    whole = read("select v, 0 from t order by id", 200)  # an untyped column: read whole
    assert whole == streamed
    if isinstance(streamed, tuple):
        assert streamed[0] is dbapi.DataError and "column v:" in streamed[1]


def test_one_cursor_tells_each_statement_of_a_mixed_run_its_own(conn):
    # Each execute's counts, columns and rows are its own, whether its result
    # is held whole after the execute (a point query), comes in batches, is
    # empty, or there is none.
    cur = conn.cursor()
    for _ in range(2):
        cur.execute("select id, v from t where id = ?", (7,))
        assert (cur.rowcount, [d[0] for d in cur.description]) == (1, ["id", "v"])
        assert cur.fetchone() == (7, "v7") and cur.fetchone() is None
        cur.execute("select id, v from t order by id")
        assert cur.fetchmany(2) == WANT[:2] and list(cur) == WANT[2:]
        assert cur.rowcount == N
        cur.execute("select v from t where id = ?", (-5,))
        assert (cur.rowcount, cur.fetchall(), len(cur.description)) == (0, [], 1)
        cur.execute("update t set v = v where id < ?", (3,))
        assert (cur.rowcount, cur.description) == (3, None)
        cur.execute("select count(*) from t")
        assert cur.fetchall() == [(N,)]
    conn.rollback()
