"""Results as Arrow columns and Arrow data loaded into tables, on both
backends: the Arrow path's values equal the row path's, value by value."""
import datetime
import decimal
import json
import sys
import uuid

import pytest

from pyqivrexdb import _arrow, dbapi

pa = pytest.importorskip("pyarrow")

BLOB = {"sqlite": "blob", "postgresql": "bytea"}

# (declared type, values with their edges); None in every column's last row.
COLUMNS = [
    ("bigint", [0, 2**63 - 1, -(2**63) + 1, 1]),
    ("integer", [0, 2147483647, -2147483647, 1]),
    ("smallint", [0, 32767, -32767, 1]),
    ("double precision", [0.0, 1.7976931348623157e308, -5e-324, -0.0]),
    ("text", ["", "ж" * 300, "a'b\"c", "x"]),
    ("BLOB", [b"", b"\x00\xff", b"x" * 300, b"\x00"]),
    ("date", [datetime.date(1900, 1, 1), datetime.date(2078, 12, 31), datetime.date(2000, 2, 29),
              datetime.date(1970, 1, 1)]),
]


def filled(conn, backend):
    cur = conn.cursor()
    decls = [BLOB[backend] if d == "BLOB" else d for d, _ in COLUMNS]
    cur.execute("create table t (%s)" % ", ".join("c%d %s" % (k, d) for k, d in enumerate(decls)))
    rows = [tuple(values[r] for _, values in COLUMNS) for r in range(4)] + [(None,) * len(COLUMNS)]
    for row in rows:
        cur.execute("insert into t values (%s)" % ", ".join("?" * len(row)), row)
    return cur


def as_rows(table):
    return [tuple(row.values()) for row in table.to_pylist()]


def test_every_type_with_nulls_and_edges_equals_the_row_path(conn, backend):
    cur = filled(conn, backend)
    cur.execute("select * from t")
    expected = cur.fetchall()
    cur.execute("select * from t")
    table = cur.fetch_arrow_table()
    assert table.num_rows == len(expected)
    for got, want in zip(as_rows(table), expected):
        for g, w in zip(got, want):
            assert g == w and type(g) is type(w)
    assert str(table.schema.field("c6").type) == "date32[day]"
    assert table.column("c0").null_count == 1


@pytest.mark.parametrize("encoding, texts", [
    (None, ["Zoë", "€ 日本語", "🎉 e\u0301 שלום", "ж" * 10]),
    ("cp866", ["Жж", "abc", "░▒▓", ""]),   # the code page's own text, decoded from it
])
def test_text_reads_as_the_rows_do_in_either_encoding(dsn, encoding, texts):
    kwargs = {"text_encoding": encoding} if encoding else {}
    with dbapi.connect(dsn, **kwargs) as conn:
        cur = conn.cursor()
        cur.execute("create table w (s varchar(12))")
        cur.executemany("insert into w values (?)", [(t,) for t in texts])
        cur.execute("select s from w")
        assert cur.fetch_arrow_table().column("s").to_pylist() == texts


def test_a_result_in_many_batches_and_one_partly_read(conn, backend, monkeypatch):
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 7)
    cur = conn.cursor()
    cur.execute("create table n (i bigint, s text)")
    cur.executemany("insert into n values (?, ?)", [(i, "v%d" % i if i % 3 else None) for i in range(100)])
    cur.execute("select i, s from n order by i")
    reader = cur.fetch_record_batch()
    sizes = [batch.num_rows for batch in reader]
    assert sizes[0] == 7 and sum(sizes) == 100
    cur.execute("select i, s from n order by i")
    first = cur.fetchone()
    rest = as_rows(cur.fetch_arrow_table())
    assert [first] + rest == [(i, "v%d" % i if i % 3 else None) for i in range(100)]
    # Nothing is left for the rows either.
    assert cur.fetchall() == []


def test_the_stream_exports_once_and_needs_a_result(conn):
    cur = conn.cursor()
    cur.execute("create table e (i integer)")
    with pytest.raises(dbapi.ProgrammingError):
        cur.fetch_arrow()
    cur.execute("select i from e")
    result = cur.fetch_arrow()
    table = pa.table(result)
    assert table.num_rows == 0 and table.column_names == ["i"]
    with pytest.raises(dbapi.ProgrammingError, match="exported already"):
        result.__arrow_c_stream__()


MISSING = [("fetch_df", "pandas"), ("fetch_df", "pyarrow"), ("fetch_polars", "polars"),
           ("fetch_arrow_table", "pyarrow"), ("fetch_record_batch", "pyarrow")]


def _imported_before_hiding():
    """pandas and polars imported now (where installed): one first imported
    while pyarrow is hidden keeps that it lacks it, for every later test."""
    import importlib.util
    for name in ("pandas", "polars"):
        if importlib.util.find_spec(name):
            __import__(name)


@pytest.mark.parametrize("method, module", MISSING)
def test_a_missing_library_is_named(conn, monkeypatch, method, module):
    _imported_before_hiding()
    cur = conn.cursor()
    cur.execute("select 1 as one")
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=r"^%s\(\) needs %s: pip install %s$" % (method, module, module)):
        getattr(cur, method)()
    # Nothing was taken: the row is still there.
    assert cur.fetchall() == [(1,)]


@pytest.mark.parametrize("method, module", MISSING[:4] + [("fetch_polars", "pyarrow")])
def test_a_missing_library_is_named_by_the_asyncio_cursor(dsn, monkeypatch, method, module):
    import asyncio
    from pyqivrexdb import aio

    _imported_before_hiding()

    async def main():
        async with await aio.connect(dsn) as conn:
            cur = conn.cursor()
            await cur.execute("select 1 as one")
            monkeypatch.setitem(sys.modules, module, None)
            with pytest.raises(ImportError, match=r"^%s\(\) needs %s" % (method, module)):
                await getattr(cur, method)()

    asyncio.run(main())


def test_fetch_arrow_needs_no_pyarrow(conn, monkeypatch):
    cur = conn.cursor()
    cur.execute("create table np (i integer)")
    cur.executemany("insert into np values (?)", [(1,), (2,)])
    cur.execute("select i from np order by i")
    with monkeypatch.context() as m:
        for module in ("pyarrow", "pandas", "polars"):
            m.setitem(sys.modules, module, None)
        result = cur.fetch_arrow()
    # Read by pyarrow once it is back: the stream was made without it.
    assert pa.table(result).column("i").to_pylist() == [1, 2]


def test_pandas_and_polars_frames(conn):
    pd = pytest.importorskip("pandas")
    cur = conn.cursor()
    cur.execute("create table f (i bigint, s text)")
    cur.executemany("insert into f values (?, ?)", [(1, "a"), (2, None)])
    cur.execute("select i, s from f order by i")
    df = cur.fetch_df()
    assert isinstance(df, pd.DataFrame) and df["i"].tolist() == [1, 2] and df["s"].tolist()[0] == "a"
    pl = pytest.importorskip("polars")
    cur.execute("select i, s from f order by i")
    assert cur.fetch_polars().equals(pl.DataFrame({"i": [1, 2], "s": ["a", None]}))


def test_ingest_round_trip_and_modes(conn):
    data = pa.table({
        "i": pa.array([1, None, -(2**63) + 1], pa.int64()),
        "s": pa.array(["a", "жж", None], pa.large_string()),
        "f": pa.array([1.5, None, -0.0], pa.float64()),
        "d": pa.array([datetime.date(1999, 12, 31), None, datetime.date(2078, 12, 31)], pa.date32()),
        "b": pa.array([True, False, None]),
    })
    cur = conn.cursor()
    assert cur.adbc_ingest("g", data) == 3
    cur.execute("select i, s, f, d, b from g")
    assert [r[:4] for r in cur.fetchall()] == [tuple(r.values())[:4] for r in data.to_pylist()]
    with pytest.raises(dbapi.Error):
        cur.adbc_ingest("g", data, mode="create")
    conn.rollback()
    assert cur.adbc_ingest("g", data, mode="create") == 3
    # Columns named in another order go where their names say.
    assert cur.adbc_ingest("g", data.select(["s", "i", "f", "d", "b"]), mode="append") == 3
    assert cur.adbc_ingest("g", data, mode="create_append") == 3
    cur.execute("select count(*) from g")
    assert cur.fetchone()[0] == 9
    assert cur.adbc_ingest("g", data.slice(1), mode="replace") == 2
    cur.execute("select i from g")
    assert cur.fetchall() == [(None,), (-(2**63) + 1,)]


def test_ingest_of_a_reader_in_batches_and_binary(conn):
    schema = pa.schema([("k", pa.int32()), ("v", pa.binary())])
    batches = [pa.record_batch([pa.array([i, i + 1], pa.int32()), pa.array([b"\x00", None])], schema=schema)
               for i in range(0, 10, 2)]
    cur = conn.cursor()
    assert cur.adbc_ingest("r", pa.RecordBatchReader.from_batches(schema, batches)) == 10
    cur.execute("select k, v from r order by k")
    assert cur.fetchall() == [(i, b"\x00" if i % 2 == 0 else None) for i in range(10)]


@pytest.mark.parametrize("column, name", [
    (pa.array([{"x": 1}]), "struct"),
    (pa.array([[1, 2]]), "list"),
    (pa.DictionaryArray.from_arrays(pa.array([0], pa.int8()), pa.array([[1, 2]])), "list"),
    (pa.array([1], pa.float16()) if hasattr(pa, "float16") else pa.array([b"ab"], pa.binary(2)), None),
])
def test_an_unsupported_type_is_refused_by_name_before_anything_is_written(conn, column, name):
    data = pa.table({"ok": pa.array([1], pa.int64()), "bad": column})
    cur = conn.cursor()
    with pytest.raises(dbapi.NotSupportedError, match="column bad" + (".*" + name if name else "")):
        cur.adbc_ingest("u", data)
    assert "u" not in conn.tables()


def test_a_misfit_value_names_its_row_and_field(conn):
    data = pa.table({"d": pa.array([1.5, float("nan")])})
    cur = conn.cursor()
    with pytest.raises(dbapi.DataError, match="row 1") as info:
        cur.adbc_ingest("m", data)
    assert "field d" in str(info.value)


def test_a_stream_that_fails_halfway_stops_the_load(conn):
    schema = pa.schema([("k", pa.int64())])

    def batches():
        yield pa.record_batch([pa.array([1, 2], pa.int64())], schema=schema)
        raise RuntimeError("the source broke")

    cur = conn.cursor()
    # Ours, not the OSError of the stream's producer; what went in is told.
    with pytest.raises(dbapi.DataError, match="the source broke") as info:
        cur.adbc_ingest("h", pa.RecordBatchReader.from_batches(schema, batches()))
    assert cur.execute("select count(*) from h").fetchone()[0] == info.value.rows_sent


def test_the_asyncio_cursor_gives_the_rows_it_read_ahead_and_the_rest(dsn):
    import asyncio

    from pyqivrexdb import aio

    async def main():
        async with await aio.connect(dsn) as conn:
            cur = conn.cursor()
            cur.arraysize = 3
            await cur.execute("create table a (i bigint)")
            await cur.executemany("insert into a values (?)", [(i,) for i in range(10)])
            assert await cur.adbc_ingest("b", pa.table({"i": pa.array([10, 11], pa.int64())})) == 2
            await cur.execute("select i from a union all select i from b order by i")
            assert await cur.fetchone() == (0,)
            table = await cur.fetch_arrow_table()
            return table.column("i").to_pylist()

    assert asyncio.run(main()) == list(range(1, 12))


@pytest.mark.parametrize("query", [
    "select 1.5::numeric as v", "select 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'::uuid as v",
    "select '{\"a\": 1}'::json as v", "select interval '1 day' as v", "select '12:00'::time as v",
], ids=["numeric", "uuid", "json", "interval", "time"])
def test_postgresql_the_asyncio_arrow_table_after_its_read_ahead_equals_the_standard_faces(pg, dsn, query):
    import asyncio

    from pyqivrexdb import aio

    async def main():
        async with await aio.connect(dsn) as conn:
            cur = conn.cursor()
            await cur.execute(query)
            return await cur.fetch_arrow_table()

    want = pg.cursor().execute(query).fetch_arrow_table()
    assert asyncio.run(main()).equals(want)


def test_ingest_of_timestamps_views_and_nulls(conn, backend):
    data = pa.table({
        "t": pa.array([datetime.datetime(2020, 1, 2, 3, 4, 5, 6), None], pa.timestamp("us")),
        "z": pa.array([datetime.datetime(1960, 1, 2, 3, 4, 5, 6, tzinfo=datetime.timezone.utc), None],
                      pa.timestamp("ns", "UTC")),
        "n": pa.array([None, None], pa.null()),
        "v": pa.array(["short", "a string view longer than twelve"], pa.string_view()),
    })
    cur = conn.cursor()
    assert cur.adbc_ingest("ts", data) == 2
    cur.execute("select t, z, n, v from ts order by v desc")
    first, second = cur.fetchall()
    assert str(first[0]).startswith("2020-01-02 03:04:05.000006")
    assert str(first[1]).startswith("1960-01-02 03:04:05.000006")
    assert first[2:] == (None, "short") and second == (None, None, None, "a string view longer than twelve")


def test_an_unsigned_64_bit_value_past_the_signed_range_is_refused(conn):
    cur = conn.cursor()
    with pytest.raises(dbapi.DataError, match="row 0, field u"):
        cur.adbc_ingest("big", pa.table({"u": pa.array([2**64 - 1], pa.uint64())}))


@pytest.mark.parametrize("then", ["execute", "close"])
def test_a_stream_outlived_by_its_result_says_so(conn, then):
    # It read the next statement's records by this one's layout.
    cur = conn.cursor()
    cur.execute("create table o (i bigint)")
    cur.executemany("insert into o values (?)", [(i,) for i in range(100)])
    cur.execute("select i from o")
    result = cur.fetch_arrow()
    if then == "execute":
        cur.execute("select i * 1000, 'x' from o where i < 3")
    else:
        cur.close()
    with pytest.raises(OSError, match="executed another statement or was closed"):
        pa.table(result)


def test_postgresql_numeric_and_date_read_as_decimal128_and_date32(dsn, backend):
    if backend != "postgresql":
        pytest.skip("the server's own types")
    with dbapi.connect(dsn) as conn:
        cur = conn.cursor()
        query = ("select a::numeric(12,2), d::date, n::numeric from (values (1234567890.12, '0001-01-01', 1.5),"
                 " (-0.05, '9999-12-31', -1e-30), (0, '2024-02-29', null), (null, null, 123456789012345678901234567890))"
                 " as v(a, d, n)")
        cur.execute(query)
        want = cur.fetchall()
        cur.execute(query)
        table = cur.fetch_arrow_table()
        assert str(table.schema.field("a").type) == "decimal128(12, 2)"
        assert str(table.schema.field("d").type) == "date32[day]"
        assert [r[:2] for r in as_rows(table)] == [r[:2] for r in want]
        # numeric without a scale has no one decimal128: its exact text
        assert [None if r[2] is None else decimal.Decimal(r[2]) for r in as_rows(table)] == [r[2] for r in want]
        cur.execute("select 'infinity'::date")
        with pytest.raises(dbapi.DataError, match="column date: infinity has no Arrow date32"):
            cur.fetch_arrow_table()


def test_ingest_of_long_texts_into_the_table_it_creates(conn):
    # Longer than a text field's 255 bytes in a record: such a row goes by
    # itself, in its place among the others.
    texts = ["x" * 1000, "short", "😀" * 100, None, "ж" * 128]
    cur = conn.cursor()
    data = pa.table({"k": pa.array(range(5), pa.int32()), "v": pa.array(texts, pa.large_string())})
    assert cur.adbc_ingest("lt", data) == 5
    assert cur.execute("select v from lt order by k").fetch_arrow_table().column("v").to_pylist() == texts


@pytest.mark.parametrize("data, name", [
    ({"i": pa.array([1], pa.int64())}, "'s'"),
    ({"i": pa.array([1], pa.int64()), "s": pa.array(["a"]), "extra": pa.array([1])}, "'extra'"),
    ({"I": pa.array([1], pa.int64()), "i": pa.array([2], pa.int64()), "s": pa.array(["a"])}, "two columns"),
])
def test_append_refuses_a_column_one_side_lacks_before_anything_is_written(conn, data, name):
    cur = conn.cursor()
    cur.execute("create table nm (i bigint, s text)")
    with pytest.raises(dbapi.ProgrammingError, match=name):
        cur.adbc_ingest("nm", pa.table(data), mode="append")
    assert cur.execute("select count(*) from nm").fetchone()[0] == 0


def test_append_loads_by_name_whatever_the_order_and_case(conn):
    cur = conn.cursor()
    cur.execute("create table bn (i bigint, s text, f double precision)")
    data = pa.table({"F": pa.array([0.5, None]), "S": pa.array(["a", "b"]), "I": pa.array([1, 2], pa.int64())})
    assert cur.adbc_ingest("bn", data, mode="append") == 2
    assert cur.execute("select i, s, f from bn order by i").fetchall() == [(1, "a", 0.5), (2, "b", None)]


# (Arrow values, the column they go into): each is packed from its buffers,
# and reads back as the values themselves.
FITS = [
    (pa.array([0, -128, 127, None], pa.int8()), "smallint"),
    (pa.array([32767, -32767, None], pa.int16()), "smallint"),
    (pa.array([2147483647, -2147483647], pa.int32()), "integer"),
    (pa.array([2**63 - 1, -(2**63), 0], pa.int64()), "bigint"),
    (pa.array([255, 0], pa.uint8()), "integer"),
    (pa.array([2**63 - 1, 0], pa.uint64()), "bigint"),
    (pa.array([2**53, -(2**53), 3], pa.int64()), "double precision"),
    (pa.array([1.5, float("inf"), -0.0, 5e-324], pa.float64()), "double precision"),
    (pa.array([1.5, float("-inf")], pa.float32()), "real"),
    (pa.array([True, False, None]), "boolean"),
    (pa.array(["", "жжжжж", "a'b", None], pa.string()), "varchar(5)"),
    (pa.array(["x" * 255, "😀"], pa.large_string()), "text"),
    (pa.array([datetime.date(1900, 1, 1), datetime.date(2078, 12, 31), None], pa.date32()), "date"),
    (pa.array([decimal.Decimal("1.25"), decimal.Decimal("-0.01"), None], pa.decimal128(5, 2)), "numeric(5,2)"),
]


@pytest.mark.parametrize("values, decl", FITS, ids=[f"{v.type}-{d}" for v, d in FITS])
def test_every_writer_loads_its_values_exactly(conn, values, decl):
    cur = conn.cursor()
    cur.execute("create table w (k integer, v %s)" % decl)
    data = pa.table({"k": pa.array(range(len(values)), pa.int32()), "v": values})
    assert cur.adbc_ingest("w", data, mode="append") == len(values)
    got = [r[0] for r in cur.execute("select v from w order by k").fetchall()]
    want = values.to_pylist()
    # The engine's numeric is a double: a Decimal goes in as the double that gives it back.
    assert got == [float(w) if isinstance(g, float) and w is not None else w for g, w in zip(got, want)]


# (Arrow values whose row 1 its column cannot hold, the column): refused as
# a row given by hand is, naming the row and the field.
MISFITS = [
    (pa.array([1, 40000], pa.int32()), "smallint", "outside the range"),
    (pa.array([1, -32768], pa.int16()), "smallint", "outside the range"),
    (pa.array([1, 2**64 - 1], pa.uint64()), "bigint", "outside the range"),
    (pa.array([1, 2**53 + 1], pa.int64()), "double precision", "no exact real"),
    (pa.array([1.0, float("nan")]), "double precision", "cannot be stored"),
    (pa.array([1.0, 1e300]), "FLOAT4", "outside the range"),
    (pa.array(["abcde", "abcdef"]), "varchar(5)", "longer than"),
    (pa.array(["a", "a\x00b"]), "text", "NUL"),
    (pa.array([datetime.date(2000, 1, 1), datetime.date(2079, 1, 1)], pa.date32()), "date", "outside the dates"),
]


@pytest.mark.parametrize("values, decl, reason", MISFITS, ids=[f"{v.type}-{d}" for v, d, _ in MISFITS])
def test_a_value_its_field_cannot_hold_names_its_row_and_field(conn, backend, values, decl, reason):
    if decl == "FLOAT4" and backend != "postgresql":
        decl = "FLOA"  # the engine's REAL is a double
    cur = conn.cursor()
    cur.execute("create table mf (v %s)" % decl)
    if decl == "date" and backend == "postgresql":
        # the server's date holds it: the row goes by its own statement, as
        # addrecords sends it
        assert cur.adbc_ingest("mf", pa.table({"v": values}), mode="append") == 2
        assert [r[0] for r in cur.execute("select v from mf").fetchall()] == values.to_pylist()
        return
    with pytest.raises(dbapi.DataError, match="row 1, field v: .*" + reason) as info:
        cur.adbc_ingest("mf", pa.table({"v": values}), mode="append")
    assert info.value.rows_sent == 0 and info.value.row == 1


@pytest.mark.parametrize("values, reason", [
    (pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(b"\0\0\0\0\2\0\0\0\3\0\0\0"), pa.py_buffer(b"ok\xff")]),
     "not valid UTF-8"),
    (pa.array([0, 253402300800 * 10**6], pa.timestamp("us")), "year"),
])
def test_a_value_python_cannot_hold_is_a_data_error(conn, values, reason):
    # Not the reader's UnicodeDecodeError or ValueError: ours, naming the row.
    cur = conn.cursor()
    cur.execute("create table py (v text)")
    with pytest.raises(dbapi.DataError, match="row 1, field v: .*" + reason):
        cur.adbc_ingest("py", pa.table({"v": values}), mode="append")


# Values a datetime or a str cannot hold, beside a binary field (whose table
# takes its rows through inserts) and alone (the bulk path): a DataError
# naming the row, the rows before it kept as rows_sent says.
UNHELD = [
    (pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(b"\0\0\0\0\2\0\0\0\3\0\0\0"), pa.py_buffer(b"ok\xff")]),
     "not valid UTF-8"),
    (pa.array([0, 253402300800 * 10**6], pa.timestamp("us")), "year"),
    # A microsecond is all a timestamp field keeps: 789 ns are not dropped silently.
    (pa.array([0, 1_600_000_000_123_456_789], pa.timestamp("ns")), "nanoseconds"),
    (pa.array([0, 1_600_000_000_123_456_789], pa.timestamp("ns", tz="UTC")), "nanoseconds"),
]


@pytest.mark.parametrize("with_binary", [False, True], ids=["bulk", "beside-binary"])
@pytest.mark.parametrize("values, reason", UNHELD, ids=[f"{v.type}" for v, _ in UNHELD])
def test_a_value_no_field_can_hold_is_a_data_error_on_every_path(conn, backend, values, reason, with_binary):
    columns = {"v": values}
    if with_binary:
        columns["b"] = pa.array([b"x", b"y"])
    cur = conn.cursor()
    with pytest.raises(dbapi.DataError, match="row 1.*" + reason) as info:
        cur.adbc_ingest("uh", pa.table(columns), mode="create")
    assert info.value.rows_sent in (0, 1)


@pytest.mark.parametrize("mode", ["create", "replace", "append"])
def test_data_without_columns_is_refused_before_a_table_is_made(conn, backend, mode):
    if backend == "postgresql":
        pytest.skip("PostgreSQL has tables of no columns")
    cur = conn.cursor()
    cur.execute("create table keep (i integer)")
    with pytest.raises(dbapi.ProgrammingError, match="no columns"):
        cur.adbc_ingest("keep" if mode != "create" else "none", pa.table({}), mode=mode)
    conn.commit()
    assert cur.execute("select count(*) from keep").fetchone() == (0,)
    with pytest.raises(dbapi.ProgrammingError):
        cur.execute("select * from none")


@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
def test_a_replace_whose_source_fails_keeps_the_old_table(dsn, autocommit):
    schema = pa.schema([("i", pa.int64())])

    def batches():
        yield pa.record_batch([pa.array([1, 2], pa.int64())], schema=schema)
        raise RuntimeError("the source broke")

    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        cur = conn.cursor()
        cur.execute("create table old (i bigint)")
        cur.executemany("insert into old values (?)", [(7,), (8,)])
        conn.commit()
        with pytest.raises(dbapi.DataError, match="the source broke") as info:
            cur.adbc_ingest("old", pa.RecordBatchReader.from_batches(schema, batches()), mode="replace")
        if not autocommit:
            assert conn.in_transaction  # the caller chooses: here, to roll back
            conn.rollback()
        else:
            assert info.value.rows_sent == 0 and not conn.in_transaction
        assert cur.execute("select i from old order by i").fetchall() == [(7,), (8,)]


class _ArrayOnly:
    """Data exporting one batch (__arrow_c_array__) and no stream."""

    def __init__(self, batch):
        self._batch = batch

    def __arrow_c_array__(self, requested_schema=None):
        return self._batch.__arrow_c_array__(requested_schema)


def _polars_frame(columns):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(columns)


@pytest.mark.parametrize("make", [
    lambda cols: _ArrayOnly(pa.record_batch(cols)),
    lambda cols: _polars_frame(cols),
    lambda cols: pa.Table.from_pandas(pytest.importorskip("pandas").DataFrame(cols), preserve_index=False),
], ids=["array-only", "polars", "pandas"])
def test_ingest_of_other_exporters(conn, make):
    cols = {"k": [0, 1, 2], "i": [1, 2, None], "s": ["a", None, "ж" * 300]}
    cur = conn.cursor()
    assert cur.adbc_ingest("ox", make(cols)) == 3
    assert cur.execute("select k, i, s from ox order by k").fetchall() == list(zip(*cols.values()))


# PostgreSQL: the library hands the rows after its first batch of records over
# as Arrow arrays itself (qcSqlReadArrow); both must give the row path's values.
PG_TYPES = [
    # (declared type, literal values with their edges, Arrow type)
    ("int2", ["'-32768'", "32767", "0"], "int16"),
    ("int4", ["'-2147483648'", "2147483647", "0"], "int32"),
    ("int8", ["'-9223372036854775808'", "9223372036854775807", "0"], "int64"),
    ("float4", ["'NaN'", "'-Infinity'", "1.5e-45"], "float"),
    ("float8", ["'Infinity'", "-0.0", "2.2250738585072014e-308"], "double"),
    ("text", ["''", "'ж€🎉'", "'a''b'"], "string"),
    ("varchar(3)", ["''", "'жжж'", "'a b'"], "string"),
    ("char(4)", ["'a'", "'жж  '", "''"], "string"),
    ("bool", ["true", "false", "true"], "bool"),
    ("bytea", ["'\\x'", "'\\x00ff'", "decode(repeat('ab', 400), 'hex')"], "binary"),
    ("date", ["'0001-01-01'", "'9999-12-31'", "'2024-02-29'"], "date32[day]"),
    ("timestamp", ["'0001-01-01 00:00:00'", "'9999-12-31 23:59:59.999999'", "'2024-02-29 12:00:00.5'"],
     "timestamp[us]"),
    ("timestamptz", ["'2024-01-01 00:00:00+05:30'", "'1900-06-01 12:00:00+00'", "'2038-01-19 03:14:08.000001-08'"],
     "timestamp[us, tz=Asia/Kolkata]"),
    ("numeric(38,4)", ["'-9999999999999999999999999999999999.9999'", "0.0001", "0"], "decimal128(38, 4)"),
    ("numeric(5,0)", ["'-99999'", "99999", "0"], "decimal128(5, 0)"),
    ("numeric", ["'NaN'", "1e-30", "123456789012345678901234567890.5"], "string"),
    ("uuid", ["'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'", "'00000000-0000-0000-0000-000000000000'",
              "'ffffffff-ffff-ffff-ffff-ffffffffffff'"], "string"),
    ("money", ["'-1234.56'", "0", "12.5"], "double"),
    ("interval", ["'1 day 02:00:00'", "'-1 mon'", "'0'"], "string"),
    ("json", ["'{\"a\": [1, 2]}'", "'[]'", "'\"ж\"'"], "string"),
]


@pytest.fixture
def pg(dsn, backend):
    if backend != "postgresql":
        pytest.skip("the server's own types")
    with dbapi.connect(dsn) as conn:
        # A timestamptz is an instant, shown in the session's zone in every batch.
        conn.cursor().execute("set timezone = 'Asia/Kolkata'")
        yield conn


def same(got, want, decl):
    """An Arrow value and the row path's value of the same field."""
    if decl == "json":  # the rows load it, Arrow keeps its text
        return (got is None and want is None) or (got is not None and json.loads(got) == want)
    if want is None or got is None:
        return got is None and want is None
    if isinstance(want, float) and want != want:
        return got != got
    if isinstance(want, decimal.Decimal) and isinstance(got, str):
        return decimal.Decimal(got).compare_total(want) == 0
    if isinstance(want, (uuid.UUID, datetime.timedelta)):
        return got == str(want) if isinstance(want, uuid.UUID) else isinstance(got, str)
    return got == want and type(got) is type(want)


@pytest.mark.parametrize("rows", [3, 5000], ids=["first-batch", "past-the-first-batch"])
@pytest.mark.parametrize("decl, literals, arrow_type", PG_TYPES, ids=[t[0] for t in PG_TYPES])
def test_postgresql_types_read_as_their_natural_arrow_types_equal_to_the_rows(pg, decl, literals, arrow_type, rows):
    cur = pg.cursor()
    values = ", ".join("(%d, %s::%s)" % (k, lit, decl) for k, lit in enumerate(literals))
    # Repeated past the first batch of records, so the rest comes straight from the library.
    query = ("select v from (values %s, (%d, null::%s)) as p(k, v), generate_series(1, %d) g order by g, k"
             % (values, len(literals), decl, (rows + len(literals)) // (len(literals) + 1)))
    cur.execute(query)
    want = [r[0] for r in cur.fetchall()]
    cur.execute(query)
    table = cur.fetch_arrow_table()
    assert str(table.schema.field("v").type) == arrow_type
    got = table.column("v").to_pylist()
    assert len(got) == len(want)
    bad = [(k, g, w) for k, (g, w) in enumerate(zip(got, want)) if not same(g, w, decl)]
    assert not bad[:3]
    assert table.column("v").null_count == want.count(None)


def test_postgresql_many_batches_after_a_partial_read(pg, monkeypatch):
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 1000)
    cur = pg.cursor()
    query = "select g, 'r' || g, case when g % 7 = 0 then null else g * 0.5 end::float8 from generate_series(1, 20000) g"
    cur.execute(query)
    want = cur.fetchall()
    cur.execute(query)
    head = cur.fetchmany(10)
    batches = list(cur.fetch_record_batch())
    assert [b.num_rows for b in batches][1:-1] == [1000] * (len(batches) - 2)
    got = head + [r for b in batches for r in as_rows(pa.Table.from_batches([b]))]
    assert got == want
    assert cur.fetchone() is None
    assert cur.execute("select 1").fetchall() == [(1,)]


@pytest.mark.parametrize("query, message", [
    ("select 'infinity'::date as d from generate_series(1, 3000)", "column d: infinity has no Arrow date32"),
    ("select '-infinity'::timestamp as t from generate_series(1, 3000)", "column t: -infinity has no Arrow timestamp"),
    ("select 'NaN'::numeric(5,2) as n from generate_series(1, 3000)", "column n: NaN has no Arrow decimal128"),
    ("select case when g = 2500 then 'infinity'::date else '2024-01-01' end as d from generate_series(1, 3000) g",
     "column d: infinity has no Arrow date32"),
])
def test_postgresql_a_value_without_an_arrow_form_is_refused_by_column(pg, query, message):
    cur = pg.cursor()
    cur.execute(query)
    with pytest.raises(dbapi.DataError, match=message):
        cur.fetch_arrow_table()
    assert cur.execute("select 2").fetchall() == [(2,)]


@pytest.mark.parametrize("setup, query", [
    ("", "select 1 / (g - 3000) from generate_series(1, 5000) g"),
    ("set statement_timeout = '300ms'",
     "select g, pg_sleep(case when g > 2000 then 1 else 0 end) from generate_series(1, 5000) g"),
], ids=["server-error", "cancelled"])
def test_postgresql_a_failure_mid_stream_is_the_row_paths_error_and_the_connection_lives(pg, setup, query):
    cur = pg.cursor()
    if setup:
        cur.execute(setup)
    cur.execute(query)
    with pytest.raises(dbapi.Error) as rows_error:
        cur.fetchall()
    cur.execute(query)
    with pytest.raises(dbapi.Error) as arrow_error:
        cur.fetch_arrow_table()
    assert type(arrow_error.value) is type(rows_error.value)
    assert str(arrow_error.value) == str(rows_error.value)
    cur.execute("set statement_timeout = 0")
    assert cur.execute("select 3").fetchall() == [(3,)]


@pytest.mark.parametrize("query, setup, error", [
    # A value the server refuses after the first batch.
    ("select 1 / (g - 70000) from generate_series(1, 100000) g", None, dbapi.DataError),
    ("select g, pg_sleep(case when g = 80000 then 1 else 0 end) from generate_series(1, 100000) g",
     "set statement_timeout = '200ms'", dbapi.OperationalError),
])
# fetch_polars is in a process of its own: a polars that read a failed stream
# crashes on the next SIGINT the process gets, which later tests send.
@pytest.mark.parametrize("method", ["fetch_record_batch", "fetch_arrow_table", "fetch_df"])
def test_a_failure_while_the_batches_are_read_is_ours_as_the_rows_raise_it(dsn, backend, query, setup, error, method):
    if backend != "postgresql":
        pytest.skip("a server's failures")
    pytest.importorskip({"fetch_df": "pandas", "fetch_polars": "polars"}.get(method, "pyarrow"))
    with dbapi.connect(dsn) as conn:
        cur = conn.cursor()
        for read in ("fetchall", method):
            if setup:
                cur.execute(setup)
            cur.execute(query)
            with pytest.raises(error) as info:
                got = getattr(cur, read)()
                if read == "fetch_record_batch":
                    for _ in got:
                        pass
            assert type(info.value) is error
            conn.rollback()


def test_a_failure_while_polars_reads_is_ours(dsn, backend):
    import importlib.util
    import subprocess
    if importlib.util.find_spec("polars") is None:
        pytest.skip("polars is not installed")
    if backend != "postgresql":
        pytest.skip("a server's failures")
    code = ("import sys\nfrom pyqivrexdb import dbapi\ncur = dbapi.connect(sys.argv[1]).cursor()\n"
            "cur.execute('select 1 / (g - 70000) from generate_series(1, 100000) g')\n"
            "try:\n    cur.fetch_polars()\nexcept dbapi.DataError:\n    sys.exit(0)\nsys.exit(1)\n")
    assert subprocess.run([sys.executable, "-c", code, dsn], timeout=60).returncode == 0


def test_a_server_lost_while_the_batches_are_read_is_ours(dsn, backend):
    if backend != "postgresql":
        pytest.skip("a server's connection")
    conn = dbapi.connect(dsn)
    with dbapi.connect(dsn) as killer:
        cur = conn.cursor()
        pid = cur.execute("select pg_backend_pid()").fetchone()[0]
        cur.execute("select g, repeat('x', 100) from generate_series(1, 2000000) g")
        reader = cur.fetch_record_batch()
        reader.read_next_batch()
        killer.cursor().execute("select pg_terminate_backend(%d)" % pid)
        with pytest.raises(dbapi.OperationalError):
            for _ in reader:
                pass
    conn.close()


@pytest.mark.parametrize("zone, arrow_zone", [
    ("'UTC'", "UTC"), ("'Europe/Amsterdam'", "Europe/Amsterdam"), ("'America/St_Johns'", "America/St_Johns"),
    ("5", "+05:00"), ("interval '+05:30' hour to minute", "+05:30"),
])
@pytest.mark.parametrize("rows", [3, 100000])  # in the first batch of records; past it, from the library
def test_timestamptz_is_in_the_session_zone_as_the_rows_are(dsn, backend, zone, arrow_zone, rows):
    if backend != "postgresql":
        pytest.skip("a server's session zone")
    query = ("select timestamptz '2024-03-31 00:30+00' + g * interval '1 min' as t, g from generate_series(1, %d) g "
             "order by g" % rows)
    with dbapi.connect(dsn) as conn:
        cur = conn.cursor()
        cur.execute("set time zone %s" % zone)
        want = [r[0] for r in cur.execute(query).fetchall()]
        table = cur.execute(query).fetch_arrow_table()
    assert table.schema.field("t").type == pa.timestamp("us", tz=arrow_zone)
    got = table.column("t").to_pylist()
    assert got == want and [g.utcoffset() for g in got[:200]] == [w.utcoffset() for w in want[:200]]


@pytest.mark.parametrize("rows", [0, 3, 100000])  # none; in the first batch of records; past it
def test_a_result_of_no_columns_has_its_rows(conn, backend, rows, monkeypatch):
    if backend != "postgresql":
        pytest.skip("SQLite has no result of no columns")
    cur = conn.cursor()
    cur.execute("create table nc ()")
    cur.execute("insert into nc select from generate_series(1, %d)" % rows)
    assert cur.execute("select from nc").fetchall() == [()] * rows
    table = cur.execute("select from nc").fetch_arrow_table()
    assert (table.num_rows, table.num_columns) == (rows, 0)
    cur.execute("select from nc")
    head = cur.fetchmany(2)
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 1000)
    assert len(head) + sum(b.num_rows for b in cur.fetch_record_batch()) == rows


def _drain(reader):
    for _ in reader:
        pass


def _capsule_batches(cur):
    """Reads the capsule stream itself, as a consumer other than pyarrow
    does; pyarrow only wraps the stream the capsule hands over."""
    reader = pa.RecordBatchReader._import_from_c_capsule(cur.fetch_arrow().__arrow_c_stream__())
    _drain(reader)


READS = {
    "rows": lambda cur: cur.fetchall(),
    "arrow": lambda cur: cur.fetch_arrow_table(),
    "batches": lambda cur: _drain(cur.fetch_record_batch()),
    "capsule": _capsule_batches,
}
AFTER = {
    "fetchone": lambda cur: cur.fetchone(),
    "fetchall": lambda cur: cur.fetchall(),
    "arrow": lambda cur: cur.fetch_arrow_table(),
    "batches": lambda cur: _drain(cur.fetch_record_batch()),
}


@pytest.mark.parametrize("after", list(AFTER))
@pytest.mark.parametrize("read", list(READS))
def test_postgresql_a_cursor_failed_mid_stream_stays_failed(pg, read, after, monkeypatch):
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 1000)
    cur = pg.cursor()
    cur.execute("select 1 / (g - 3000) from generate_series(1, 5000) g")
    # pyarrow words a failure of a stream it reads itself as OSError
    with pytest.raises(OSError if read == "capsule" else dbapi.Error):
        READS[read](cur)
    # Never a silent end: the rest of a failed result is not an empty one.
    for _ in range(2):
        with pytest.raises(dbapi.Error):
            AFTER[after](cur)
    assert cur.execute("select 2").fetchall() == [(2,)]


@pytest.mark.parametrize("method", ["fetch_arrow", "fetch_arrow_table", "fetch_record_batch"])
def test_a_result_read_through_a_converter_is_refused_as_arrow(dsn, backend, monkeypatch, method):
    monkeypatch.setitem(dbapi.converters, "TEXT", lambda text: ("converted", text))
    with dbapi.connect(dsn, detect_types=dbapi.PARSE_DECLTYPES) as conn:
        cur = conn.cursor()
        cur.execute("create table p (k integer, v text)")
        cur.execute("insert into p values (1, '7')")
        cur.execute("select k, v from p")
        # The Arrow column would hold '7' where the rows hold the converter's value.
        with pytest.raises(dbapi.NotSupportedError, match="'v'.*converter"):
            getattr(cur, method)()
        assert cur.fetchall() == [(1, ("converted", "7"))]
        # A result none of whose columns has a converter reads as Arrow.
        cur.execute("select k from p")
        assert cur.fetch_arrow_table().column("k").to_pylist() == [1]
        conn.detect_types = 0
        cur.execute("select k, v from p")
        assert cur.fetch_arrow_table().column("v").to_pylist() == ["7"]


@pytest.mark.parametrize("index", ["int8", "int16", "int32", "int64", "uint8", "uint32"])
@pytest.mark.parametrize("values, dictionary", [
    (["b", None, "a", "b", "ж€"], ["a", "b", "ж€"]),
    ([7, None, -(2**40), 7, 0], [7, -(2**40), 0]),
])
def test_ingest_of_dictionary_columns_loads_their_values(conn, backend, index, values, dictionary):
    indices = pa.array([None if v is None else dictionary.index(v) for v in values], type=getattr(pa, index)())
    column = pa.DictionaryArray.from_arrays(indices, pa.array(dictionary))
    table = pa.table({"k": list(range(len(values))), "v": column})
    cur = conn.cursor()
    assert cur.adbc_ingest("d", table) == len(values)
    # A reader of batches, and the table made from the values' own type.
    assert cur.adbc_ingest("d", pa.RecordBatchReader.from_batches(table.schema, table.to_batches()),
                           mode="append") == len(values)
    cur.execute("select v from d order by k")
    assert [r[0] for r in cur.fetchall()] == [v for v in values for _ in range(2)]


@pytest.mark.parametrize("with_binary", [False, True], ids=["bulk", "binary-field"])
def test_ingest_of_a_dictionary_with_a_null_value_and_a_slice(conn, with_binary):
    column = pa.DictionaryArray.from_arrays(pa.array([0, 1, 2, 1, 0], pa.int16()), pa.array(["x", None, "z"]))
    data = {"v": column, "b": pa.array([b"\x00"] * 5)} if with_binary else {"v": column}
    table = pa.table(data).slice(1, 3)
    cur = conn.cursor()
    assert cur.adbc_ingest("d", table) == 3
    assert cur.execute("select v from d").fetchall() == [(None,), ("z",), (None,)]


@pytest.mark.parametrize("bad", [3, -1])
def test_a_dictionary_index_outside_its_dictionary_is_a_data_error(conn, bad):
    column = pa.DictionaryArray.from_arrays(pa.array([0, bad], pa.int8()), pa.array(["a", "b", "c"]), safe=False)
    cur = conn.cursor()
    cur.execute("create table d (v text)")
    with pytest.raises(dbapi.DataError, match="outside its dictionary"):
        cur.adbc_ingest("d", pa.table({"v": column}), mode="append")


def test_ingest_of_a_pandas_categorical(conn):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"c": pd.Categorical(["lo", "hi", None, "lo"])})
    cur = conn.cursor()
    assert cur.adbc_ingest("d", pa.Table.from_pandas(frame, preserve_index=False)) == 4
    assert cur.execute("select c from d").fetchall() == [("lo",), ("hi",), (None,), ("lo",)]
