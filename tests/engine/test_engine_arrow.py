"""The engine hands a streamed result's rows after its first batch of records
over as Arrow arrays itself, straight from SQLite's values: they must equal
the row path's values and types, and a value the records refuse is refused
with the same error. The files are written with the standard sqlite3 module,
so that they hold what the driver's write checks would keep out."""
import ctypes
import datetime
import sqlite3

import pytest

from pyqivrexdb import dbapi
from test_engine_pg_arrow import arrays_after_records, read_arrow
from pyqivrexdb._qxstandard import (QSCLI_ATTR_INT64 as INT64, QSCLI_ATTR_NULL_FLAGS as NULL_FLAGS,
                                    QSCLI_ATTR_STREAM as STREAM, QSCLI_ATTR_TEXT_UTF8 as TEXT_UTF8,
                                    QSCLI_E_UNSUPPORTED as UNSUPPORTED)

pa = pytest.importorskip("pyarrow")


# (declared type, SQL literals with their edges and the values a column of
# the type converts, Arrow type)
ENGINE_TYPES = [
    ("bigint", ["-9223372036854775808", "9223372036854775807", "3.0", "0"], "int64"),
    ("integer", ["-2147483648", "2147483647", "7.0", "0"], "int32"),
    ("smallint", ["-32768", "32767", "0"], "int16"),
    ("tinyint", ["0", "255", "1.0"], "uint8"),
    ("boolean", ["0", "1", "1"], "uint8"),
    ("word", ["0", "65535", "2"], "uint16"),
    ("nmbr", ["0", "16777215", "5"], "uint32"),
    ("dword", ["0", "4294967295", "1"], "uint32"),
    ("float", ["1.5", "-3.4028234663852886e38", "3", "-0.0"], "float"),
    ("double precision", ["1.7976931348623157e308", "-0.0", "5e-324", "9007199254740992", "42"], "double"),
    ("money", ["-1234.56", "0", "12"], "double"),
    ("text", ["''", "'ж€🎉'", "12.5", "42", "x'616263'"], "string"),
    ("varchar(3)", ["'abc'", "'жжж'", "''"], "string"),
    ("char(2)", ["'ab'", "'🎉🎉'", "'a'", "7"], "string"),
    ("blob", ["x''", "x'00ff'", "'text'", "7", "1.5"], "binary"),
    ("binary(4)", ["x'01020304'", "x''", "x'ff'", "'ab'"], "binary"),
    ("date", ["'1900-01-01'", "'2078-12-31'", "'2000-02-29'", "'1970-01-01'"], "date32[day]"),
]


@pytest.fixture
def path(backend, tmp_path):
    if backend != "sqlite":
        pytest.skip("the engine's own Arrow source")
    return str(tmp_path / "arrow.db")


def fill(path, decl, literals, rows):
    """`rows` rows of column v: the literals and a NULL over and over."""
    with sqlite3.connect(path) as raw:
        raw.execute("create table t (k integer, v %s)" % decl)
        values = ", ".join("(%d, %s)" % (k, lit) for k, lit in enumerate(literals + ["null"]))
        raw.execute("create temp table one (k, v)")
        raw.execute("insert into one values %s" % values)
        reps = (rows + len(literals)) // (len(literals) + 1)
        raw.execute("insert into t select g.n * 100 + one.k, one.v from one, "
                    "(with recursive s(n) as (select 1 union all select n + 1 from s where n < %d) "
                    "select n from s) g" % reps)
    raw.close()


def read_both(path, query="select v from t order by k"):
    with dbapi.connect(path) as conn:
        cur = conn.cursor()
        want = [r[0] for r in cur.execute(query).fetchall()]
        table = cur.execute(query).fetch_arrow_table()
    return want, table


@pytest.mark.parametrize("rows", [3, 5000], ids=["first-batch", "past-the-first-batch"])
@pytest.mark.parametrize("decl, literals, arrow_type", ENGINE_TYPES, ids=[t[0] for t in ENGINE_TYPES])
def test_engine_types_read_as_arrow_equal_to_the_rows(path, decl, literals, arrow_type, rows):
    fill(path, decl, literals, rows)
    want, table = read_both(path)
    column = table.column("v")
    assert str(column.type) == arrow_type
    if rows > 64:  # the rows after the first batch of records came as the library's own Arrow arrays
        assert len(column.chunks) > 1
    got = column.to_pylist()
    assert len(got) == len(want)
    bad = [(k, g, w) for k, (g, w) in enumerate(zip(got, want))
           if not (g == w and type(g) is type(w) and str(g) == str(w))]
    assert not bad[:3]
    assert column.null_count == want.count(None)


@pytest.mark.parametrize("decl, bad, message", [
    ("date", "'2079-01-01'", "is not a date"),
    ("date", "20000101", "is not a date"),
    ("integer", "2147483648", "does not fit"),
    ("smallint", "'abc'", "does not fit"),
    ("tinyint", "1.5", "does not fit"),
    ("text", "cast(x'ff' as text)", "UTF-8"),
    ("text", "cast(x'610062' as text)", ""),
    ("char(2)", "'abcdefghi'", "longer than its column"),
    ("binary(2)", "x'010203'", "longer than its column"),
    ("numeric", "9007199254740993", "no exact double"),
    ("float", "1e39", "single precision"),
])
def test_engine_a_value_the_records_refuse_is_refused_alike_past_the_first_batch(path, decl, bad, message):
    fill(path, decl, ["null"], 4000)
    with sqlite3.connect(path) as raw:
        raw.execute("update t set v = %s where k = (select k from t order by k limit 1 offset 3000)" % bad)
    raw.close()
    with dbapi.connect(path) as conn:
        cur = conn.cursor()
        cur.execute("select v from t order by k")
        with pytest.raises(dbapi.Error) as rows_error:
            cur.fetchall()
        cur.execute("select v from t order by k")
        with pytest.raises(dbapi.Error) as arrow_error:
            cur.fetch_arrow_table()
        assert type(arrow_error.value) is type(rows_error.value)
        assert str(arrow_error.value) == str(rows_error.value)
        assert message in str(arrow_error.value) and "column v" in str(arrow_error.value)
        assert cur.execute("select 2").fetchall() == [(2,)]


def test_engine_batches_after_a_partial_read_past_the_first_records(path):
    fill(path, "text", ["'a text long enough to grow its buffer'", "''"], 30000)
    query = "select k, v from t order by k"
    with dbapi.connect(path) as conn:
        cur = conn.cursor()
        want = cur.execute(query).fetchall()
        cur.execute(query)
        head = cur.fetchmany(100)  # past the first small batch: the next records are made
        batches = list(cur.fetch_record_batch())
        got = head + [tuple(r.values()) for b in batches for r in b.to_pylist()]
        assert got == want
        assert cur.fetchone() is None
        # A result left half read as Arrow: the next statement runs.
        cur.execute(query)
        reader = cur.fetch_record_batch()
        next(iter(reader))
        assert cur.execute("select count(*) from t").fetchall() == [(len(want),)]


@pytest.mark.parametrize("null_flags, sql, arrow", [
    (2, "select k, v from t", True),
    (1, "select k, v from t", False),   # without ARRA lengths the records' bytes are the field's
    (0, "select k, v from t", False),   # without null flags a NULL reads as 0
    (2, "select k + 0, v from t", False),  # a column of no declared type: the result is read whole
])
def test_engine_library_gives_arrow_only_where_the_records_would_agree(eng, tmp_path, null_flags, sql, arrow):
    path = str(tmp_path / "lib.db")
    fill(path, "text", ["'a'", "'b'"], 300)
    h = ctypes.c_int(0)
    assert eng.qcSqlAllocConnect(ctypes.byref(h)) == 0
    assert eng.qcSqlSetConnectAttr(h, TEXT_UTF8, ctypes.c_void_p(1), 0) == 0
    assert eng.qcSqlConnect(h, path.encode(), b"", b"") == 0
    try:
        hs = eng.stmt(h.value)
        for attr, value in ((STREAM, 1), (INT64, 1), (NULL_FLAGS, null_flags)):
            if value:
                assert eng.qcSqlSetStmtAttr(hs, attr, ctypes.c_void_p(value), 0) == 0
        assert eng.exec(hs, sql.encode()) == 0
        if not arrow:
            schema_buf = ctypes.create_string_buffer(72)
            assert read_arrow(eng, hs, 0, 0, schema=ctypes.addressof(schema_buf))[0] == UNSUPPORTED
            return
        first, schema, batches = arrays_after_records(eng, hs, 300, 100)
        assert str(schema) == "k: int32\nv: string"
        got = [v for b in batches for v in b.column("v").to_pylist()]
        assert len(got) == 300 - first and set(got) == {"a", "b", None}
    finally:
        eng.close(h.value)


def test_engine_a_batch_without_nulls_after_one_with_them(path, monkeypatch):
    from pyqivrexdb import _arrow
    monkeypatch.setattr(_arrow, "BATCH_ROWS", 1000)
    with sqlite3.connect(path) as raw:
        raw.execute("create table t (k integer, v text, w bigint)")
        raw.executemany("insert into t values (?, ?, ?)",
                        [(k, None if k < 1500 and k % 2 else "v%d" % k, None if k < 1500 and k % 3 else k)
                         for k in range(5000)])
    raw.close()
    with dbapi.connect(path) as conn:
        cur = conn.cursor()
        want = cur.execute("select k, v, w from t order by k").fetchall()
        batches = list(cur.execute("select k, v, w from t order by k").fetch_record_batch())
    assert [b.column("v").null_count for b in batches][-2:] == [0, 0]
    got = [tuple(r.values()) for b in batches for r in b.to_pylist()]
    assert got == want
    for b in batches:
        b.validate(full=True)
