"""Hostile Arrow data and hostile use of the Arrow path, on both backends."""
import datetime
import decimal
import math
import os

import pytest

from pyqivrexdb import _arrow, dbapi

pa = pytest.importorskip("pyarrow")


def back(cur, table, cols="*"):
    cur.execute("select %s from %s" % (cols, table))
    return cur.fetchall()


def test_sliced_columns_and_a_sliced_table(conn):
    a = pa.array([None, 1, 2, None, 4, 5, 6], pa.int64()).slice(1)
    s = pa.array(["z", "a", None, "ccc", "d", "e", "f"]).slice(1)
    table = pa.table({"a": a, "s": s}).slice(2, 3)
    cur = conn.cursor()
    assert cur.adbc_ingest("sl", table) == 3
    assert sorted(back(cur, "sl"), key=str) == sorted([(None, "ccc"), (4, "d"), (5, "e")], key=str)


def test_chunked_columns_and_empty_batches(conn):
    schema = pa.schema([("a", pa.int32()), ("s", pa.large_string())])
    batches = [pa.record_batch([pa.array([], pa.int32()), pa.array([], pa.large_string())], schema=schema),
               pa.record_batch([pa.array([1]), pa.array(["x"], pa.large_string())], schema=schema),
               pa.record_batch([pa.array([], pa.int32()), pa.array([], pa.large_string())], schema=schema),
               pa.record_batch([pa.array([2, None]), pa.array([None, "y"], pa.large_string())], schema=schema)]
    table = pa.Table.from_batches(batches)
    cur = conn.cursor()
    assert cur.adbc_ingest("ch", table) == 3
    assert sorted(back(cur, "ch"), key=str) == sorted([(1, "x"), (2, None), (None, "y")], key=str)


def test_zero_rows(conn):
    cur = conn.cursor()
    assert cur.adbc_ingest("zr", pa.table({"a": pa.array([], pa.int64())})) == 0
    assert back(cur, "zr") == []
    cur.execute("select * from zr")
    t = cur.fetch_arrow_table()
    assert t.num_rows == 0 and t.column_names == ["a"]


@pytest.mark.parametrize("unit, value", [
    # Year 2000 + 2**32: its low 32 bits were taken for the year 2000.
    ("s", 135536077762574400),
    ("s", -135536077762574400),
    ("s", 253402300800),        # 10000-01-01
    ("ms", 253402300800000),
    ("s", -62135596801),        # the second before 0001-01-01
])
def test_a_timestamp_of_a_year_past_the_fields_is_refused(conn, unit, value):
    cur = conn.cursor()
    with pytest.raises(dbapi.DataError, match="row 0, field t: year .* is out of range"):
        cur.adbc_ingest("tsx", pa.table({"t": pa.array([value], pa.timestamp(unit))}))


def test_floats(conn, backend):
    vals = [0.0, -0.0, math.inf, -math.inf, 5e-324, 1.7976931348623157e308]
    cur = conn.cursor()
    cur.adbc_ingest("fl", pa.table({"k": pa.array(range(len(vals))), "f": pa.array(vals, pa.float64())}))
    cur.execute("select f from fl order by k")
    got = [r[0] for r in cur.fetchall()]
    assert got == vals
    if backend == "postgresql":  # SQLite itself keeps -0.0 as 0
        assert math.copysign(1, got[1]) == -1
    with pytest.raises(dbapi.DataError):
        cur.adbc_ingest("fl", pa.table({"k": pa.array([9]), "f": pa.array([math.nan])}), mode="append")


def test_big_ints_into_double(conn):
    cur = conn.cursor()
    cur.execute("create table bd (d double precision)")
    cur.adbc_ingest("bd", pa.table({"d": pa.array([2**53, -(2**53)], pa.int64())}), mode="append")
    assert sorted(r[0] for r in back(cur, "bd")) == [-(2.0**53), 2.0**53]
    with pytest.raises(dbapi.DataError):
        cur.adbc_ingest("bd", pa.table({"d": pa.array([2**53 + 1], pa.int64())}), mode="append")


# One name each, dots and all, as a quoted identifier is.
@pytest.mark.parametrize("name", ["order", "select", "MixedCase", "naïve", 'q"uote', "public.dotted"])
def test_table_names(conn, name):
    cur = conn.cursor()
    assert cur.adbc_ingest(name, pa.table({"Id": pa.array([1, 2]), "ñame": pa.array(["a", "b"])})) == 2
    q = '"%s"' % name.replace('"', '""')
    assert sorted(back(cur, q)) == [(1, "a"), (2, "b")]
    assert cur.adbc_ingest(name, pa.table({"ñame": pa.array(["c"]), "id": pa.array([3])}), mode="append") == 1
    assert cur.adbc_ingest(name, pa.table({"Id": pa.array([4]), "ñame": pa.array(["d"])}), mode="replace") == 1
    assert back(cur, q) == [(4, "d")]


@pytest.mark.parametrize("binary, text", [(pa.binary(), pa.string()), (pa.large_binary(), pa.large_string()),
                                          (pa.binary_view(), pa.string_view())])
@pytest.mark.parametrize("bad", [b"\xff\xfe", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf"])
@pytest.mark.parametrize("decl", ["varchar(40)", "text"])
def test_text_that_is_not_utf8_is_refused_by_row(conn, binary, text, bad, decl):
    # Bytes taken for text as they are, unchecked (a view of a binary array).
    arr = pa.array([b"ok", b"fine but long enough for a view", bad], binary).view(text)
    cur = conn.cursor()
    cur.execute("create table iu (s %s)" % decl)
    with pytest.raises(dbapi.DataError, match="row 2, field s") as info:
        cur.adbc_ingest("iu", pa.table({"s": arr}), mode="append")
    assert info.value.rows_sent == 0
    assert back(cur, "iu") == []


def test_a_nul_in_text_is_refused_as_the_row_path_refuses_it(conn):
    cur = conn.cursor()
    with pytest.raises(dbapi.DataError, match="row 0, field s: .* NUL"):
        cur.adbc_ingest("nu", pa.table({"s": pa.array(["a\x00b"])}))


TEXTS = ["", "a", "abc", "жжж", "🎉🎉🎉", "abcd", "жжжж", "🎉🎉🎉🎉", "e\u0301" * 2, "x" * 255, "ж" * 128, "x" * 256]


@pytest.mark.parametrize("arrow_type", [pa.string(), pa.large_string(), pa.string_view()])
@pytest.mark.parametrize("decl", ["varchar(1)", "varchar(3)", "varchar(4)", "char(4)", "text"])
def test_texts_at_and_past_their_fields_width_go_as_rows_go(conn, decl, arrow_type):
    cur = conn.cursor()
    cur.execute("create table tw (k integer, s %s)" % decl)
    by_rows, by_arrow = [], []
    for k, text in enumerate(TEXTS):
        try:
            conn.addrecords("tw", [(2 * k, text)])
            by_rows.append(text)
        except dbapi.Error:
            by_rows.append(None)
        try:
            cur.adbc_ingest("tw", pa.table({"k": pa.array([2 * k + 1], pa.int32()),
                                            "s": pa.array([text], arrow_type)}), mode="append")
            by_arrow.append(text)
        except dbapi.Error:
            by_arrow.append(None)
    assert by_arrow == by_rows
    cur.execute("select k, s from tw order by k")
    stored = cur.fetchall()
    assert [s for k, s in stored if k % 2] == [s for k, s in stored if not k % 2]


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_decimal128_at_most_digits(conn, backend):
    vals = [decimal.Decimal("9" * 38), decimal.Decimal("-" + "9" * 38), decimal.Decimal(0)]
    cur = conn.cursor()
    data = pa.table({"d": pa.array(vals, pa.decimal128(38, 0))})
    if backend == "sqlite":  # no exact numeric to keep them in
        with pytest.raises(dbapi.DataError, match="row 0, field d"):
            cur.adbc_ingest("de", data)
        return
    assert cur.adbc_ingest("de", data) == 3
    assert sorted(r[0] for r in back(cur, "de")) == sorted(vals)


def test_decimal_negative_scale(conn, backend):
    cur = conn.cursor()
    arr = pa.array([decimal.Decimal("1.2E+3")], pa.decimal128(5, -2))
    cur.adbc_ingest("dn", pa.table({"d": arr}))
    got = back(cur, "dn")[0][0]
    assert decimal.Decimal(str(got)) == 1200


@pytest.mark.parametrize("decl, values", [
    ("numeric(38, 38)", ["0.5", "-0.99999999999999999999999999999999999999", "0", "0.00000000000000000000000000000000000001"]),
    ("numeric(38, 0)", ["12345678901234567890123456789012345678", "-1", "0"]),
    ("numeric(38, 2)", ["999999999999999999999999999999999999.99", "-0.01", "0.00"]),
    ("numeric(3, 3)", ["0.001", "-0.999", "0"]),
    ("numeric(1, 0)", ["9", "-9", "0"]),
])
def test_postgresql_numeric_at_its_most_digits_reads_as_the_rows_do(dsn, backend, decl, values):
    if backend != "postgresql":
        pytest.skip("numeric(p, s) is PostgreSQL's")
    with dbapi.connect(dsn) as conn:
        cur = conn.cursor()
        cur.execute("create table nd (k integer, x %s)" % decl)
        for k, v in enumerate(values + [None]):
            cur.execute("insert into nd values (%d, %s)" % (k, "null" if v is None else v))
        # Past the first batch of records too, where the library may hand Arrow arrays over.
        cur.execute("insert into nd select k + 100 * g, x from nd, generate_series(1, 30) g")
        cur.execute("select x from nd order by k")
        rows = [r[0] for r in cur.fetchall()]
        cur.execute("select x from nd order by k")
        assert cur.fetch_arrow_table().column("x").to_pylist() == rows


def test_dates_out_of_range(conn):
    cur = conn.cursor()
    for d in [datetime.date(1, 1, 1), datetime.date(9999, 12, 31), datetime.date(1899, 12, 31)]:
        try:
            n = cur.adbc_ingest("dd", pa.table({"d": pa.array([d], pa.date32())}), mode="create_append")
        except dbapi.DataError:
            continue
        assert n == 1
    # a date32 Python cannot hold
    with pytest.raises(dbapi.DataError):
        cur.adbc_ingest("dd", pa.table({"d": pa.array([2**31 - 1], pa.int32()).view(pa.date32())}),
                        mode="create_append")


def test_timestamps_with_zone(conn):
    t = datetime.datetime(2020, 6, 1, 12, 0, tzinfo=datetime.timezone(datetime.timedelta(hours=5)))
    cur = conn.cursor()
    cur.adbc_ingest("tz", pa.table({"t": pa.array([t], pa.timestamp("us", "Asia/Tashkent"))}))
    got = back(cur, "tz")[0][0]
    if isinstance(got, str):
        assert got.startswith("2020-06-01 07:00:00")
    else:
        assert got == t


def test_mid_stream_failure_leaves_connection_usable(conn, backend):
    schema = pa.schema([("k", pa.int64()), ("s", pa.string())])

    def batches():
        for b in range(3):
            yield pa.record_batch([pa.array(range(b * 1000, b * 1000 + 1000)), pa.array(["x" * 300] * 1000)],
                                  schema=schema)
        raise ValueError("boom")

    cur = conn.cursor()
    with pytest.raises(dbapi.DataError) as info:
        cur.adbc_ingest("ms", pa.RecordBatchReader.from_batches(schema, batches()))
    assert cur.execute("select count(*) from ms").fetchone()[0] == info.value.rows_sent
    conn.commit()
    assert cur.execute("select 1").fetchone() == (1,)


@pytest.mark.parametrize("names", [["A", "a"], ["Ñame", "ñame"], ["x", "X"]])
def test_columns_one_name_but_for_case_are_refused_before_anything_is_written(dsn, names):
    # A server keeps "A" and "a" apart: the table was made, then the data refused.
    with dbapi.connect(dsn, autocommit=True) as conn:
        cur = conn.cursor()
        with pytest.raises(dbapi.ProgrammingError, match="two columns named"):
            cur.adbc_ingest("cd", pa.table({names[0]: pa.array([1]), names[1]: pa.array([2])}))
        with pytest.raises(dbapi.Error):
            cur.execute("select * from cd")


def test_dictionary_loads_as_its_values(conn):
    cur = conn.cursor()
    assert cur.adbc_ingest("di", pa.table({"d": pa.array(["a", "b", "a"]).dictionary_encode()})) == 3
    assert cur.execute("select d from di").fetchall() == [("a",), ("b",), ("a",)]


def test_a_table_of_no_columns(conn, backend):
    data = pa.table({"a": [1, 2]}).select([])
    cur = conn.cursor()
    if backend == "sqlite":  # SQLite has no table of no columns
        with pytest.raises(dbapi.ProgrammingError, match="no columns"):
            cur.adbc_ingest("zc", data)
        return
    assert cur.adbc_ingest("zc", data) == 2
    assert cur.adbc_ingest("zc", data, mode="append") == 2
    assert cur.execute("select count(*) from zc").fetchone() == (4,)
    assert conn.table_layout("zc") == []


@pytest.mark.parametrize("arrow_type, vals, decl", [
    (pa.uint8(), [0, 255], "smallint"),
    (pa.uint16(), [0, 65535], "integer"),
    (pa.uint32(), [0, 2**32 - 1], "bigint"),
    (pa.uint64(), [0, 2**63 - 1], "bigint"),
    (pa.int64(), [2**53 + 1, -(2**63) + 1, 2**63 - 1], "bigint"),
    (pa.int8(), [-128, 127], "smallint"),
    (pa.bool_(), [True, False], "boolean"),
])
def test_integer_edges_round_trip_through_arrow(conn, arrow_type, vals, decl):
    cur = conn.cursor()
    cur.execute("create table ie (k integer, v %s)" % decl)
    cur.adbc_ingest("ie", pa.table({"k": pa.array(range(len(vals)), pa.int32()),
                                    "v": pa.array(vals + [None] if False else vals, arrow_type)}), mode="append")
    cur.execute("select v from ie order by k")
    t = cur.fetch_arrow_table()
    got = t.column("v").to_pylist()
    assert [int(x) for x in got] == [int(x) for x in vals]
    cur.execute("select v from ie order by k")
    assert [r[0] for r in cur.fetchall()] == got


def test_connection_closed_mid_stream(dsn):
    conn = dbapi.connect(dsn)
    cur = conn.cursor()
    cur.execute("create table cm (i bigint)")
    cur.executemany("insert into cm values (?)", [(i,) for i in range(300)])
    conn.commit()
    _arrow.BATCH_ROWS, old = 100, _arrow.BATCH_ROWS
    try:
        cur.execute("select i from cm")
        reader = cur.fetch_record_batch()
    finally:
        _arrow.BATCH_ROWS = old
    assert reader.read_next_batch().num_rows > 0
    conn.close()
    with pytest.raises(dbapi.Error):
        reader.read_next_batch()


def test_stream_read_from_another_thread(conn):
    import threading
    cur = conn.cursor()
    cur.execute("create table th (i bigint)")
    cur.executemany("insert into th values (?)", [(i,) for i in range(1000)])
    cur.execute("select i from th")
    reader = cur.fetch_record_batch()
    out = []
    t = threading.Thread(target=lambda: out.append(reader.read_all()))
    t.start()
    t.join()
    assert out[0].num_rows == 1000


def test_a_ctrl_c_in_the_producer_of_the_data_stays_a_keyboard_interrupt(conn):
    import signal
    schema = pa.schema([("k", pa.int64())])

    def batches():
        for b in range(50):
            if b == 5:
                os.kill(os.getpid(), signal.SIGINT)
            yield pa.record_batch([pa.array(range(b * 1000, b * 1000 + 1000))], schema=schema)

    cur = conn.cursor()
    with pytest.raises(KeyboardInterrupt) as info:
        cur.adbc_ingest("ki", pa.RecordBatchReader.from_batches(schema, batches()))
    # What went in is told as a failed source's DataError tells it.
    assert info.value.rows_sent == cur.execute("select count(*) from ki").fetchone()[0] <= 5000


def test_a_ctrl_c_between_sends_stops_the_load_and_tells_what_went_in(conn, backend):
    import signal
    # Sent between two records' sends, as a Ctrl-C arrives while the library works:
    # the load takes seconds, so the signal comes well inside it on any machine.
    import threading
    data = pa.table({"k": pa.array(range(8_000_000), pa.int64())})
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    cur = conn.cursor()
    try:
        with pytest.raises(KeyboardInterrupt):
            cur.adbc_ingest("kb", data)
    finally:
        timer.cancel()
    assert cur.execute("select 1").fetchone() == (1,)


def test_asyncio_cancel_of_fetch_arrow_table(dsn):
    import asyncio
    from pyqivrexdb import aio

    async def main():
        async with await aio.connect(dsn) as conn:
            cur = conn.cursor()
            await cur.execute("create table ac (i bigint, s text)")
            await cur.adbc_ingest("ac", pa.table({"i": pa.array(range(200000)), "s": pa.array(["x" * 50] * 200000)}),
                                  mode="append")
            await cur.execute("select i, s from ac")
            task = asyncio.ensure_future(cur.fetch_arrow_table())
            await asyncio.sleep(0.01)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
            await cur.execute("select count(*) from ac")
            return await cur.fetchone()

    assert asyncio.run(main()) == (200000,)


def test_a_forked_child_reading_on_leaves_the_parents_record_batches_alone(dsn, backend):
    from test_engine_fork import STREAM_ROWS, bounded, in_child
    query = f"select g from generate_series(1, {STREAM_ROWS}) g" if backend == "postgresql" else \
        f"with recursive r(g) as (select 1 union all select g + 1 from r where g < {STREAM_ROWS}) select g from r"

    def parent():
        conn = dbapi.connect(dsn)
        cur = conn.cursor()
        cur.execute(query)
        old, _arrow.BATCH_ROWS = _arrow.BATCH_ROWS, 100
        try:
            reader = cur.fetch_record_batch()
        finally:
            _arrow.BATCH_ROWS = old
        first = reader.read_next_batch().column(0).to_pylist()

        def child():
            # The engine's file may be read from both; a server's session is the parent's alone.
            try:
                return reader.read_all().num_rows == STREAM_ROWS - 100 and backend == "sqlite"
            except dbapi.Error as e:
                return "forked process" in str(e)
        assert in_child(child) == 0
        rest = reader.read_all().column(0).to_pylist()
        assert first + rest == list(range(1, STREAM_ROWS + 1))
        conn.close()
        return True
    assert bounded(parent) == 0


def test_an_ingest_in_autocommit_stays_after_close(dsn):
    with dbapi.connect(dsn, autocommit=True) as conn:
        conn.cursor().adbc_ingest("ac1", pa.table({"a": pa.array([1, 2, 3])}))
    with dbapi.connect(dsn) as conn:
        assert conn.cursor().execute("select count(*) from ac1").fetchone() == (3,)


def test_a_table_with_a_binary_field_tells_rows_sent_when_its_source_fails(conn, backend):
    # Such a table is loaded by inserts, not the bulk path: what went in is told all the same.
    schema = pa.schema([("k", pa.int64()), ("b", pa.binary())])

    def batches():
        for i in range(3):
            yield pa.record_batch([pa.array([i, i + 10]), pa.array([b"x", b"\x00\xff"])], schema=schema)
        raise RuntimeError("the source broke")

    cur = conn.cursor()
    with pytest.raises(dbapi.DataError, match="the source broke") as info:
        cur.adbc_ingest("hb", pa.RecordBatchReader.from_batches(schema, batches()))
    assert info.value.rows_sent == 6
    assert cur.execute("select count(*) from hb").fetchone() == (6,)


def test_a_table_with_a_binary_field_names_the_row_and_field_of_a_misfit(conn):
    cur = conn.cursor()
    cur.execute("create table hm (b %s, k bigint)" % ("bytea" if conn.dialect == "postgresql" else "blob"))
    data = pa.table({"b": pa.array([b"x"] * 3), "k": pa.array(["1", "2", "x"])})
    with pytest.raises(dbapi.Error, match="row 0, field k") as info:
        cur.adbc_ingest("hm", data, mode="append")
    assert info.value.rows_sent == 0


@pytest.mark.parametrize("value", [1e300, -1e300, 0.1, 1e-50, -0.0, math.inf, 3.4028234663852886e38, 1e-45])
def test_a_real_field_takes_from_arrow_what_it_takes_from_rows(conn, value):
    # On PostgreSQL a real is 4 bytes: its own writer, held to the rows' checks.
    cur = conn.cursor()
    cur.execute("create table rf (k integer, f real)")
    outcomes = []
    for k, load in enumerate([lambda: conn.addrecords("rf", [(0, value)]),
                              lambda: cur.adbc_ingest("rf", pa.table({"k": pa.array([1], pa.int32()),
                                                                      "f": pa.array([value])}), mode="append")]):
        try:
            load()
            outcomes.append("stored")
        except dbapi.Error as e:
            outcomes.append(type(e).__name__)
    assert outcomes[0] == outcomes[1]
    got = back(cur, "rf order by k", "f")
    assert len({repr(v) for v, in got}) <= 1


def test_an_asyncio_cancel_stops_an_ingest_and_leaves_the_connection_usable(dsn):
    import asyncio
    import time
    from pyqivrexdb import aio
    data = pa.table({"i": pa.array(range(3_000_000), pa.int64())})

    async def main():
        async with await aio.connect(dsn) as conn:
            cur = conn.cursor()
            task = asyncio.ensure_future(cur.adbc_ingest("ci", data))
            await asyncio.sleep(0.2)
            start = time.monotonic()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            took = time.monotonic() - start
            await conn.rollback()
            await cur.execute("select 1")
            return took, await cur.fetchone()

    took, row = asyncio.run(main())
    print("CANCEL took", took)
    assert row == (1,)


@pytest.mark.parametrize("method", ["fetch_arrow_table", "fetch_df", "fetch_polars", "fetch_record_batch"])
@pytest.mark.parametrize("where", ["1 = 0", "k is null", "1 = 1"])
def test_every_fetch_of_no_rows_or_of_nulls_only(conn, method, where):
    pytest.importorskip({"fetch_df": "pandas", "fetch_polars": "polars"}.get(method, "pyarrow"))
    cur = conn.cursor()
    cur.execute("create table e (k bigint, s text, d date)")
    cur.executemany("insert into e values (?, ?, ?)", [(None, None, None)] * 3)
    cur.execute("select k, s, d from e where %s" % where)
    got = getattr(cur, method)()
    if method == "fetch_record_batch":
        got = got.read_all()
    want = 0 if where == "1 = 0" else 3
    names = got.column_names if isinstance(got, pa.Table) else list(got.columns)
    assert len(got) == want and names == ["k", "s", "d"]
    table = pa.table(got) if method == "fetch_polars" else (pa.Table.from_pandas(got) if method == "fetch_df" else got)
    assert all(v is None or v != v for col in table.columns for v in col.to_pylist())


@pytest.mark.parametrize("bad_at", [0, 1, 2, 3, 5])
def test_rows_sent_counts_rows_stored_alone_before_a_refusal(conn, bad_at):
    texts = ["a", "ж" * 200, "b", "x" * 300, "c", "d"]
    texts[bad_at] = "bad\x00"
    cur = conn.cursor()
    with pytest.raises(dbapi.DataError, match="row %d, field s" % bad_at) as info:
        cur.adbc_ingest("la", pa.table({"k": pa.array(range(6)), "s": pa.array(texts)}))
    stored = back(cur, "la order by k", "k")
    assert info.value.rows_sent == len(stored) and [k for k, in stored] == list(range(len(stored)))


def _rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) / 1024
    pytest.skip("no /proc/self/status")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer holds freed memory back a while")
def test_memory_stays_flat_streaming_a_million_rows_in_and_out(conn):
    schema = pa.schema([("a", pa.int64()), ("s", pa.string()), ("f", pa.float64())])
    seen = []

    def batches():
        for b in range(40):
            yield pa.record_batch([pa.array(range(b * 25000, (b + 1) * 25000)), pa.array(["x" * 40] * 25000),
                                   pa.array([1.5] * 25000)], schema=schema)
            seen.append(_rss_mb())

    cur = conn.cursor()
    assert cur.adbc_ingest("mem", pa.RecordBatchReader.from_batches(schema, batches())) == 1_000_000
    conn.commit()
    assert max(seen[5:]) - seen[5] < 32
    old, _arrow.BATCH_ROWS = _arrow.BATCH_ROWS, 25000
    try:
        # The first read fills the engine's page cache, whichever way it reads.
        cur.execute("select a, s, f from mem")
        assert sum(len(b) for b in cur.fetch_record_batch()) == 1_000_000
        cur.execute("select a, s, f from mem")
        seen = [_rss_mb() for _ in cur.fetch_record_batch()]
    finally:
        _arrow.BATCH_ROWS = old
    assert len(seen) >= 40 and max(seen[5:]) - seen[5] < 32


@pytest.mark.parametrize("zone", ["UTC", "Europe/Amsterdam", "Asia/Kathmandu", "America/St_Johns"])
@pytest.mark.parametrize("decl, literal", [
    ("timestamptz", "1900-06-01 12:00:00+00"),
    ("timestamptz", "1850-01-01 00:00:00+00"),
    ("timestamptz", "2024-03-31 01:30:00+00"),
    ("timestamptz", "9999-12-31 23:59:59.999999+00"),
    ("timestamptz", "0001-01-01 00:00:00+00"),
    ("timestamptz", "infinity"),
    ("timestamptz", "10000-01-01 00:00:00+00"),
    ("timestamptz", "0044-03-15 12:00:00+00 BC"),
    ("timestamp", "-infinity"),
    ("timestamp", "20000-01-01 00:00:00.5"),
    ("timestamp", "0044-03-15 12:00:00 BC"),
    ("date", "infinity"),
    ("date", "0044-03-15 BC"),
    ("date", "5874897-12-31"),
])
def test_postgresql_times_past_the_first_batch_are_their_instants_or_refused(dsn, backend, zone, decl, literal):
    # What the server counts since 1970 (in days for a date), where it has a count.
    if backend != "postgresql":
        pytest.skip("PostgreSQL's own values")
    count = "x - date '1970-01-01'" if decl == "date" else "(extract(epoch from x) * 1000000)::bigint"
    values = "select g, '%s'::%s as x from generate_series(1, 200) g" % (literal, decl)
    with dbapi.connect(dsn) as conn:
        cur = conn.cursor()
        cur.execute("set timezone = '%s'" % zone)
        try:
            truth = cur.execute("select %s from (%s) v limit 1" % (count, values)).fetchone()[0]
        except dbapi.Error:
            truth = None  # infinity has no count
        conn.rollback()
        cur.execute("set timezone = '%s'" % zone)
        cur.execute("select x from (%s) v order by g" % values)
        try:
            column = cur.fetch_arrow_table().column("x")
        except dbapi.DataError:
            return  # refused: no Arrow value of this type holds it
        counts = column.combine_chunks().view(pa.int32() if decl == "date" else pa.int64()).to_pylist()
        assert truth is not None, "%s read as %s" % (literal, counts[0])
        assert set(counts) == {truth}


@pytest.mark.parametrize("encoding", [None, "cp866"])
def test_texts_past_the_first_batch_read_as_the_rows_do_in_either_encoding(dsn, encoding):
    texts = ["Жж", "abc", "░▒▓", "", None, "ё" * 100] * 50
    kwargs = {"text_encoding": encoding} if encoding else {}
    with dbapi.connect(dsn, **kwargs) as conn:
        cur = conn.cursor()
        cur.execute("create table w (k integer, s varchar(100))")
        cur.executemany("insert into w values (?, ?)", list(enumerate(texts)))
        cur.execute("select s from w order by k")
        rows = [r[0] for r in cur.fetchall()]
        cur.execute("select s from w order by k")
        assert cur.fetch_arrow_table().column("s").to_pylist() == rows == texts


# The rows read ahead hold Python values (dict, timedelta, Decimal, UUID, list)
# where the Arrow column is the server's text: they are written as the server writes them.
@pytest.mark.parametrize("literal", [
    "1::int2", "'ж'::text", "12.5::money", "1.5::numeric(5,2)", "'2024-01-01 00:00+05'::timestamptz",
    "'2024-01-01'::date", "true", "'\\x00ff'::bytea",
    "'{\"a\": 1}'::json", "'\"ж\"'::json", "'{\"a\": [1, null, \"x\"]}'::jsonb", "'1 day'::interval",
    "'-1 day +02:00:00.25'::interval", "'0'::interval", "'3 days'::interval", "'NaN'::numeric", "1e-30::numeric",
    "'-Infinity'::numeric", "gen_random_uuid()::uuid", "'{1,NULL,3}'::int[]", "'{\"a b\",\"\",NULL,\"q\\\"\"}'::text[]",
    "'{{t,f}}'::bool[]",
])
def test_asyncio_rows_read_ahead_join_the_arrow_table_as_their_type(dsn, backend, literal):
    import asyncio
    from pyqivrexdb import aio
    if backend != "postgresql":
        pytest.skip("PostgreSQL's types")
    query = "select g, %s as x from generate_series(1, 10) g order by g" % literal

    async def main():
        async with await aio.connect(dsn) as conn:
            cur = conn.cursor()
            cur.arraysize = 4
            await cur.execute(query)
            await cur.fetchone()
            table = await cur.fetch_arrow_table()
            await cur.execute(query)
            await cur.fetchall()
            return table

    table = asyncio.run(main())
    with dbapi.connect(dsn) as conn:
        whole = conn.cursor().execute(query).fetch_arrow_table()
    assert table.schema == whole.schema
    if "uuid" not in literal:
        assert table.to_pylist() == whole.slice(1).to_pylist()


@pytest.mark.parametrize("method", ["fetch_arrow_table", "fetch_df"])
def test_a_ctrl_c_during_a_long_arrow_read_is_a_keyboard_interrupt(dsn, backend, method):
    import signal
    import threading
    pytest.importorskip("pandas" if method == "fetch_df" else "pyarrow")
    query = "select g, 'row ' || g from generate_series(1, 3000000) g" if backend == "postgresql" else \
        "with recursive r(g) as (select 1 union all select g + 1 from r where g < 3000000) select g, 'row ' || g from r"
    with dbapi.connect(dsn) as conn:
        cur = conn.cursor()
        # The engine works out the rows at execute(); a server streams them as they are read.
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                getattr(cur.execute(query), method)()
        finally:
            timer.cancel()
        assert cur.execute("select 1").fetchone() == (1,)


@pytest.mark.parametrize("method", ["fetch_df", "fetch_polars"])
def test_postgresql_frames_past_the_first_batch_hold_the_tables_values(dsn, backend, method):
    pytest.importorskip("pandas" if method == "fetch_df" else "polars")
    if backend != "postgresql":
        pytest.skip("PostgreSQL's types")
    query = ("select g, (g / 100.0)::numeric(38, 2) as n, timestamptz '2024-01-01 00:00+05' + g * interval '1 s' as t,"
             " g % 2 = 0 as b, 'ж' || g as s from generate_series(1, 500) g order by g")
    with dbapi.connect(dsn) as conn:
        cur = conn.cursor()
        table = cur.execute(query).fetch_arrow_table()
        frame = getattr(cur.execute(query), method)()
    back_again = pa.Table.from_pandas(frame, preserve_index=False) if method == "fetch_df" else frame.to_arrow()
    for name in table.column_names:
        assert back_again.column(name).to_pylist() == table.column(name).to_pylist(), name
