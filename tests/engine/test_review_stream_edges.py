"""Review of streamed results and their Arrow batches at their edges: long
values among short rows, NULLs in every column, widths that change from batch
to batch, another statement while a result is half read, values a field
refuses, and Arrow batches kept past their connection."""
import gc
import os
import random
import sqlite3
import threading

import pytest

from pyqivrexdb import _arrow, dbapi

pa = pytest.importorskip("pyarrow")

BLOB = {"sqlite": "blob", "postgresql": "bytea"}
LONG = 3 << 20  # past a batch's budget of records


def rows_of(n, long_at):
    """Rows of (k, text, bytes, double): every fourth all NULL but k, the
    texts' widths changing from row to row, a long text and long bytes at
    the rows `long_at`."""
    out = []
    for k in range(n):
        if k % 4 == 3:
            out.append((k, None, None, None))
        elif k in long_at:
            out.append((k, "ж" * (LONG // 2) + "€" + str(k), bytes([k % 256]) * LONG, k / 7))
        else:
            out.append((k, "t" * (k % 37), bytes(k % 11), k / 3))
    return out


def filled(conn, backend, n, long_at):
    cur = conn.cursor()
    cur.execute("create table s (k integer, t text, b %s, d double precision)" % BLOB[backend])
    rows = rows_of(n, long_at)
    cur.executemany("insert into s values (?, ?, ?, ?)", rows)
    conn.commit()
    return cur, rows


QUERY = "select k, t, b, d from s order by k"


def arrow_rows(table):
    return [tuple(r.values()) for r in table.to_pylist()]


@pytest.mark.parametrize("long_at", [(), (0,), (63, 64, 65), (2000,), (1000, 1001, 4999)],
                         ids=["none", "first", "at-the-first-batch-end", "middle", "together-and-last"])
def test_long_values_among_short_rows_read_alike_on_every_path(conn, backend, long_at, monkeypatch):
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 700)
    cur, rows = filled(conn, backend, 5000, long_at)
    assert cur.execute(QUERY).fetchall() == rows
    cur.execute(QUERY)
    got = []
    while True:
        part = cur.fetchmany(333)
        if not part:
            break
        got += part
    assert got == rows
    assert arrow_rows(cur.execute(QUERY).fetch_arrow_table()) == rows
    cur.execute(QUERY)
    head = [cur.fetchone() for _ in range(70)]
    assert head + arrow_rows(cur.fetch_arrow_table()) == rows


@pytest.mark.parametrize("long_at", [(), (64, 65), (700,)], ids=["short", "at-the-first-batch-end", "later"])
def test_another_statement_mid_stream_keeps_every_row_of_the_first(conn, backend, long_at):
    cur, rows = filled(conn, backend, 3000, long_at)
    cur.execute(QUERY)
    head = cur.fetchmany(65)
    other = conn.cursor()
    assert other.execute("select count(*) from s").fetchall() == [(3000,)]
    assert head + arrow_rows(cur.fetch_arrow_table()) == rows


def written_bytes():
    with open("/proc/self/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("wchar:"))


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="counts the process's writes")
def test_the_rest_kept_for_another_statement_is_not_as_wide_as_its_longest_value(conn, backend):
    # The rest of a half-read result, kept when another statement runs, was
    # one batch whose every record was as wide as its longest value: 2,000
    # short rows beside one of 6 MiB wrote gigabytes and took minutes.
    cur, rows = filled(conn, backend, 2000, (1000,))
    cur.execute(QUERY)
    head = cur.fetchmany(65)
    before = written_bytes()
    assert conn.cursor().execute("select count(*) from s").fetchall() == [(2000,)]
    assert written_bytes() - before < 200 * LONG
    assert head + cur.fetchall() == rows


def test_arrow_batches_outlive_their_connection_released_in_any_order_and_thread(dsn, backend, monkeypatch):
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 500)
    conn = dbapi.connect(dsn)
    cur, rows = filled(conn, backend, 4000, (1500,))
    batches = list(cur.execute(QUERY).fetch_record_batch())
    columns = [b.column(1) for b in batches] + [b.column(2) for b in batches]
    conn.close()
    gc.collect()
    assert [tuple(r.values()) for b in batches for r in b.to_pylist()] == rows
    random.Random(5).shuffle(batches)

    def drop():
        while batches:
            batches.pop()
        gc.collect()

    t = threading.Thread(target=drop)
    t.start()
    t.join()
    # The columns taken out still hold their values after their batches went.
    assert [v for c in columns[:len(columns) // 2] for v in c.to_pylist()] == [r[1] for r in rows]
    del columns
    gc.collect()


DATES = ["'1899-12-31'", "'2079-06-06'", "'2079-06-07'", "'1900-01-01 12:30:00'", "2451545.0", "0",
         "'2000-1-1'", "''", "x'00'"]


@pytest.mark.parametrize("literal", DATES)
def test_an_engine_date_reads_as_arrow_as_it_reads_as_a_row(backend, tmp_path, literal):
    if backend != "sqlite":
        pytest.skip("the engine's dates")
    path = str(tmp_path / "d.db")
    with sqlite3.connect(path) as raw:
        raw.execute("create table d (k integer, v date)")
        raw.executemany("insert into d values (?, '2000-01-01')", [(k,) for k in range(3000)])
        raw.execute("update d set v = %s where k in (5, 2500)" % literal)
    raw.close()
    with dbapi.connect(path) as conn:
        cur = conn.cursor()
        for where in ("k < 10", "k >= 2000"):  # the first batch of records, then the library's arrays
            query = "select v from d where %s order by k" % where
            try:
                want = ("rows", [r[0] for r in cur.execute(query).fetchall()])
            except dbapi.Error as exc:
                want = ("error", type(exc), str(exc))
            try:
                got = ("rows", cur.execute(query).fetch_arrow_table().column(0).to_pylist())
            except dbapi.Error as exc:
                got = ("error", type(exc), str(exc))
            assert got == want


def test_postgresql_statement_timeout_mid_stream_is_the_row_paths_error(dsn, backend):
    if backend != "postgresql":
        pytest.skip("a server's timeout")
    query = ("select i, repeat('x', i %% 50) from generate_series(1, 200000) i "
             "where i < 150000 or pg_sleep(%s) is not null")
    with dbapi.connect(dsn) as conn:
        conn.autocommit = True
        cur = conn.cursor()
        cur.execute("set statement_timeout = '300ms'")
        errors = []
        for read in (lambda c: c.fetchall(), lambda c: c.fetch_arrow_table(), lambda c: list(c.fetch_record_batch())):
            with pytest.raises(dbapi.Error) as caught:
                cur.execute(query % "0.001")
                read(cur)
            errors.append((type(caught.value), "statement timeout" in str(caught.value)))
            assert cur.execute("select 1").fetchall() == [(1,)]
        assert errors[1:] == errors[:1] * 2 and errors[0][1]


@pytest.mark.parametrize("taken", [1, 3])
def test_the_rows_after_arrow_batches_read_on_as_rows(conn, backend, taken, monkeypatch):
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 500)
    cur, rows = filled(conn, backend, 4000, ())
    cur.execute(QUERY)
    head = cur.fetchmany(100)
    reader = iter(cur.fetch_record_batch())
    batches = [next(reader) for _ in range(taken)]
    got = head + [tuple(r.values()) for b in batches for r in b.to_pylist()]
    got += cur.fetchall()
    assert [r[0] for r in got] == [r[0] for r in rows]
    assert got == rows


def test_a_copy_out_mid_stream_keeps_the_texts_of_its_sql_and_of_the_rest(conn, backend):
    cur = conn.cursor()
    cur.execute("create table u (k integer, t text)")
    rows = [(k, "ж€🎉 %d" % k) for k in range(3000)]
    cur.executemany("insert into u values (?, ?)", rows)
    conn.commit()
    cur.execute("select k, t from u order by k")
    head = cur.fetchmany(10)
    other = conn.cursor()
    if backend == "sqlite":
        with pytest.raises(dbapi.NotSupportedError):
            other._copy_out("COPY u TO STDOUT", 1 << 16)
    else:
        data = other._copy_out("COPY (select k, t from u where t = 'ж€🎉 7') TO STDOUT", 1 << 16)
        assert data.decode("utf-8") == "7\tж€🎉 7\n"
        with pytest.raises(dbapi.Error, match="ж€"):
            other._copy_out("COPY (select 1 as \"ж€\" from ж€) TO STDOUT", 1 << 16)
    assert head + cur.fetchall() == rows


def mixed(conn, backend):
    """5000 rows whose NULLs are in the first batches only."""
    cur = conn.cursor()
    cur.execute("create table m (k bigint, i integer, s smallint, d double precision, t text, b %s, dt date)"
                % BLOB[backend])
    import datetime
    rows = []
    for k in range(5000):
        if k < 1500 and k % 3 == 0:
            rows.append((k, None, None, None, None, None, None))
        else:
            rows.append((k, k - 2500, k % 300 - 150, k / 8, "ж%d" % k, bytes([k % 256]) * (k % 5),
                         datetime.date(1990, 1, 1) + datetime.timedelta(days=k)))
    cur.executemany("insert into m values (?, ?, ?, ?, ?, ?, ?)", rows)
    conn.commit()
    return cur, rows


MIXED = "select k, i, s, d, t, b, dt from m order by k"


def polars_rows(cur):
    pytest.importorskip("polars")
    return [tuple(r) for r in cur.fetch_polars().rows()]


def duckdb_rows(cur):
    duckdb = pytest.importorskip("duckdb")
    result = cur.fetch_arrow()
    return duckdb.sql("select * from result order by k").fetchall()


def nanoarrow_rows(cur):
    na = pytest.importorskip("nanoarrow")
    columns = [list(c.iter_py()) for c in na.ArrayStream(cur.fetch_arrow()).read_all().iter_children()]
    return list(zip(*columns))


@pytest.mark.parametrize("read", [polars_rows, duckdb_rows, nanoarrow_rows], ids=["polars", "duckdb", "nanoarrow"])
def test_other_consumers_read_every_batch_as_the_rows_read(conn, backend, read):
    cur, rows = mixed(conn, backend)
    want = cur.execute(MIXED).fetchall()
    assert [r[0] for r in want] == list(range(5000))
    got = read(cur.execute(MIXED))
    assert len(got) == len(want)
    bad = [(g, w) for g, w in zip(got, want) if tuple(g) != tuple(w)]
    assert not bad[:3]


def test_the_schema_is_read_apart_and_leaves_the_stream_to_export(conn, backend):
    cur, rows = mixed(conn, backend)
    result = cur.execute(MIXED).fetch_arrow()
    schema = pa.schema(result)  # read through __arrow_c_schema__, as DuckDB reads it first
    assert pa.schema(result) == schema
    table = pa.RecordBatchReader.from_stream(result).read_all()
    assert table.schema == schema and table.num_rows == len(rows)
    with pytest.raises(dbapi.ProgrammingError, match="exported already"):
        pa.schema(result)


@pytest.mark.parametrize("rest", ["arrow", "rows"])
def test_another_statement_between_arrow_batches_keeps_the_rest(conn, backend, rest, monkeypatch):
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 400)
    cur, rows = filled(conn, backend, 4000, (2100,))
    cur.execute(QUERY)
    head = cur.fetchmany(70)
    reader = iter(cur.fetch_record_batch())
    got = head + [tuple(r.values()) for _ in range(3) for r in next(reader).to_pylist()]
    assert conn.cursor().execute("select count(*) from s").fetchall() == [(4000,)]
    if rest == "arrow":
        got += [tuple(r.values()) for b in reader for r in b.to_pylist()]
    else:
        got += cur.fetchall()
    assert [r[0] for r in got] == [r[0] for r in rows]
    assert got == rows
