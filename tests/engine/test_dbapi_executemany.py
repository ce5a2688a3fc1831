"""executemany of a statement off the bulk path on the engine: its rows go to
the library a batch of records a call (qcSqlExecRecords), and must store,
refuse and leave exactly what one execute a row stores, refuses and leaves.
The stored values are compared as the file holds them, read with the
standard library's sqlite3 (a real's bits, so -0.0 is not 0.0)."""
import ctypes
import datetime
import decimal
import sqlite3
import struct

import pytest

from conftest import library_path
from pyqivrexdb import dbapi
from pyqivrexdb._qxstandard import QSCLI_STMT_ERR_TEXT

EURO = "\u20ac"
INSERT = "insert or abort into t values (?, ?)"


class Money:
    def __init__(self, cents):
        self.cents = cents


def stored(path):
    def exact(v):
        return ("real", struct.pack("<d", v)) if isinstance(v, float) else (type(v).__name__, v)
    with sqlite3.connect(path) as s:
        return [tuple(exact(v) for v in row) for row in s.execute("select * from t order by rowid")]


def outcome(path, schema, sql, rows, many, autocommit=False):
    """What running `sql` over `rows` leaves: the error or rowcount, then the
    table once the transaction is committed."""
    conn = dbapi.connect(str(path), autocommit=autocommit)
    cur = conn.cursor()
    cur.execute(schema)
    conn.commit()
    try:
        if many:
            cur.executemany(sql, rows)
            result = ("ok", cur.rowcount)
        else:
            total = 0
            for row in rows:
                cur.execute(sql, row)
                total += cur.rowcount
            result = ("ok", total)
    except Exception as e:  # noqa: BLE001 - compared, whatever it is
        result = (type(e).__name__, str(e))
    if not autocommit:
        conn.commit()
    conn.close()
    return result, stored(str(path))


def same_as_per_row(tmp_path, schema, sql, rows, **kw):
    batched = outcome(tmp_path / "many.db", schema, sql, rows, True, **kw)
    per_row = outcome(tmp_path / "rows.db", schema, sql, rows, False, **kw)
    assert batched == per_row
    return batched


D = datetime.date
VALUES = [
    ("integer", [0, -1, 2**31 - 1, -(2**31) + 1, -(2**31), 2**31]),
    ("bigint", [2**63 - 1, -(2**63), -(2**63) + 1, 2**53 + 1, 2**63, -(2**63) - 1, True, False]),
    ("double precision", [0.0, -0.0, 1e308, -1e308, 5e-324, 0.1, 1 / 3, 2.0**53, 1e16, float("inf"),
                          float("-inf"), float("nan"), 7]),
    ("char(12)", ["", "abc", "Ёё ■\u00a0", "trailing  ", "it's", "x" * 12, "x" * 13, EURO, "a\0b", "Ж?"]),
    ("text", ["", "Москва", "\u2592\u2593\u2588", "ʼ", "\U0001F600", "'; drop table t; --", "Ж" * (2 << 20)]),
    ("blob", [b"", b"\x00\xff\x00", bytearray(b"ab"), memoryview(b"xyz"), memoryview(b"abcd")[::2]]),
    ("date", [D(1900, 1, 1), D(2078, 12, 31), D(1899, 12, 31), D(2079, 1, 1), D(2015, 6, 1)]),
    ("", [datetime.datetime(2020, 1, 2, 3, 4, 5, 6), datetime.time(1, 2, 3), decimal.Decimal("1.10"),
          decimal.Decimal("-0"), decimal.Decimal("1E+2"), decimal.Decimal("NaN"),
          decimal.Decimal("123456789012345678901"), None, object(), 2**40, "mixed", 2.5, b"\x01"]),
]


@pytest.mark.parametrize("decl, value", [(d, v) for d, vs in VALUES for v in vs],
                         ids=["%s-%d" % (d or "none", i) for d, vs in VALUES for i in range(len(vs))])
def test_each_value_is_stored_or_refused_as_by_execute(tmp_path, decl, value):
    rows = [(1, value), (2, None), (3, value)]
    same_as_per_row(tmp_path, "create table t(k integer, v %s)" % decl, INSERT, rows)


@pytest.mark.parametrize("decl, values", VALUES, ids=[d or "none" for d, _ in VALUES])
def test_a_column_of_changing_kinds_runs_as_by_execute(tmp_path, decl, values):
    # Each change of kind starts a new batch; a refused value stops the rest.
    rows = [(k, v) for k, v in enumerate(values * 3)]
    same_as_per_row(tmp_path, "create table t(k integer, v %s)" % decl, INSERT, rows)


def test_many_rows_across_batches_store_as_by_execute(tmp_path):
    rows = [(i, "NAME%08d" % i if i % 7 else None) for i in range(10000)]
    result, table = same_as_per_row(tmp_path, "create table t(k integer, v char(12))", INSERT, rows)
    assert result == ("ok", 10000) and len(table) == 10000


@pytest.mark.parametrize("bad_at", [0, 1, 4095, 4096, 4999])
def test_a_constraint_failure_at_row_k_raises_and_leaves_the_rows_before(tmp_path, bad_at):
    rows = [(i, i) for i in range(5000)]
    rows[bad_at] = (bad_at, -1)
    result, table = same_as_per_row(tmp_path, "create table t(k integer, v integer check (v >= 0))", INSERT, rows)
    assert result[0] == "IntegrityError"
    assert len(table) == bad_at


@pytest.mark.parametrize("bad", ["lots", 2**40, -(2**31)])
def test_a_value_no_read_returns_is_refused_at_its_row(tmp_path, bad):
    rows = [(1, 1), (2, 2), (3, bad), (4, 4)]
    result, table = same_as_per_row(tmp_path, "create table t(k integer, v integer)", INSERT, rows)
    assert result[0] == "DataError" and "column v" in result[1]
    assert len(table) == 2


def test_an_update_with_marks_changes_as_by_execute(tmp_path):
    schema = "create table t(k integer, v double precision)"
    for path in ("a.db", "b.db"):
        conn = dbapi.connect(str(tmp_path / path))
        conn.cursor().execute(schema).executemany(INSERT, [(i, 0.0) for i in range(20)])
        conn.commit()
        conn.close()
    rows = [(i / 4, i % 5) for i in range(30)]
    results = []
    for path, many in (("a.db", True), ("b.db", False)):
        conn = dbapi.connect(str(tmp_path / path))
        cur = conn.cursor()
        if many:
            cur.executemany("update t set v = ? where k = ?", rows)
            results.append(cur.rowcount)
        else:
            results.append(sum(cur.execute("update t set v = ? where k = ?", r).rowcount for r in rows))
        conn.commit()
        conn.close()
    assert results[0] == results[1] == 30
    assert stored(str(tmp_path / "a.db")) == stored(str(tmp_path / "b.db"))


def test_adapted_values_are_stored_as_by_execute(tmp_path, monkeypatch):
    monkeypatch.setitem(dbapi.adapters, Money, lambda m: m.cents / 100 if m.cents >= 0 else "\ud800")
    rows = [(1, Money(250)), (2, Money(0)), (3, None), (4, Money(-1)), (5, Money(7))]
    result, table = same_as_per_row(tmp_path, "create table t(k integer, v)", INSERT, rows)
    assert result[0] == "DataError" and len(table) == 3


@pytest.mark.parametrize("sql", [
    "insert or abort into t values (?, -?)",                  # a sign before a mark
    "insert into t select ?, ? order by 1",
    "update t set v = v + ? where k = ?",
    "insert or abort into t(k, v) values (?, ?) returning k",  # gives rows
    "replace into t values (?, ?)",
])
def test_statements_the_library_runs_row_by_row_store_the_same(tmp_path, sql):
    rows = [(1, 2.5), (2, -0.0), (3, None)]
    same_as_per_row(tmp_path, "create table t(k integer, v double precision)", sql, rows)


@pytest.mark.parametrize("fail", [False, True])
def test_in_autocommit_the_rows_are_one_transaction(tmp_path, fail):
    rows = [(1, 1), (2, 2), (1 if fail else 3, 3)]
    result, table = outcome(tmp_path / "a.db", "create table t(k integer primary key, v integer)", INSERT, rows,
                            True, autocommit=True)
    assert (result[0], len(table)) == (("IntegrityError", 0) if fail else ("ok", 3))


# The library's own entry point, by ctypes.

def exec_records(lib, hstmt, sql, layout, records):
    fields = len(layout)
    pairs = (ctypes.c_int * (2 * fields))(*[x for pair in layout for x in pair])
    data = b"".join(records)
    done, changes = ctypes.c_int32(-1), ctypes.c_int64(-1)
    rc = lib.qcSqlExecRecords(hstmt, sql, fields, pairs, len(records), len(records[0]) if records else 0,
                              data, ctypes.byref(done), ctypes.byref(changes))
    return rc, done.value, changes.value


@pytest.fixture
def engine(tmp_path):
    lib = ctypes.CDLL(str(library_path()))
    assert lib.qcSqlInit(0) == 0
    hdb, hstmt = ctypes.c_int(), ctypes.c_int()
    assert lib.qcSqlAllocConnect(ctypes.byref(hdb)) == 0
    assert lib.qcSqlConnect(hdb, str(tmp_path / "e.db").encode(), b"", b"") == 0
    assert lib.qcSqlAllocStmt(hdb, ctypes.byref(hstmt)) == 0
    assert lib.qcSqlExecDirect(hstmt, b"create table t(k integer primary key, v char(8))") == 0
    yield lib, hstmt.value
    lib.qcSqlFreeStmt(hstmt)
    lib.qcSqlDisconnect(ctypes.byref(hdb))
    lib.qcSqlFreeConnect(ctypes.byref(hdb))


INT64, CHAR = 12, 0
LAYOUT = [(INT64, 8), (CHAR, 4)]


def record(k, text, null=False):
    return struct.pack("<q", k) + text.ljust(4, b"\0") + bytes([2 if null else 0])


@pytest.mark.parametrize("sql", [
    b"select ?, ?",
    b"insert into t values (?, ?) returning k",
    b"insert into t values (?, -?)",
    b"insert into t select ?, ? order by ?",
    b"insert into t values (?, ?); delete from t",
    b"insert into t values (?, :v)",
    b"insert into nowhere values (?, ?)",
])
def test_the_library_refuses_before_running_what_it_does_not_run_so(engine, sql):
    lib, hstmt = engine
    layout = LAYOUT + [(INT64, 8)] if sql.count(b"?") == 3 else LAYOUT
    rec = record(1, b"a") if len(layout) == 2 else record(1, b"a")[:12] + struct.pack("<q", 1) + b"\0"
    assert exec_records(lib, hstmt, sql, layout, [rec])[:2] == (-90, 0)
    assert lib.qcSqlExecDirect(hstmt, b"select count(*) from t") == 0


def test_the_library_stops_at_the_failing_record(engine):
    lib, hstmt = engine
    records = [record(1, b"a"), record(2, b"bb", null=True), record(1, b"c"), record(3, b"d")]
    rc, done, changes = exec_records(lib, hstmt, b"insert into t values (?, ?)", LAYOUT, records)
    assert (rc, done, changes) == (-19, 2, 2)
    text = ctypes.create_string_buffer(200)
    lib.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_ERR_TEXT, 0, text, 200, None)
    assert b"UNIQUE" in text.value


@pytest.mark.parametrize("layout, size", [
    ([(INT64, 4), (CHAR, 4)], 13),   # an 8-byte type of another width
    ([(INT64, 8), (CHAR, 0)], 9),    # a field of no bytes
    ([(INT64, 8), (99, 4)], 13),     # no such type
    ([(INT64, 8), (CHAR, 4)], 14),   # not the record's size
])
def test_a_layout_that_does_not_make_the_records_is_refused(engine, layout, size):
    lib, hstmt = engine
    pairs = (ctypes.c_int * 4)(*[x for pair in layout for x in pair])
    done, changes = ctypes.c_int32(), ctypes.c_int64()
    rc = lib.qcSqlExecRecords(hstmt, b"insert into t values (?, ?)", 2, pairs, 1, size, b"\0" * size,
                              ctypes.byref(done), ctypes.byref(changes))
    assert rc == -95


@pytest.mark.parametrize("fail_row", [None, 1])
def test_rows_before_a_failing_iterator_run_as_by_execute(tmp_path, fail_row):
    def rows():
        for k in range(5):
            yield (k, 10 if k == fail_row else k)
        raise LookupError("no more rows")

    results = []
    for name in ("a.db", "b.db"):
        conn = dbapi.connect(str(tmp_path / name))
        cur = conn.cursor()
        cur.execute("create table t(k integer, v integer check (v < 10))")
        try:
            if name == "a.db":
                cur.executemany(INSERT, rows())
            else:
                for row in rows():
                    cur.execute(INSERT, row)
        except Exception as e:  # noqa: BLE001 - compared
            results.append((type(e).__name__, str(e)))
        conn.commit()
        conn.close()
    assert results[0] == results[1]
    assert results[0][0] == ("IntegrityError" if fail_row else "LookupError")
    assert stored(str(tmp_path / "a.db")) == stored(str(tmp_path / "b.db"))


def test_the_cursor_after_a_batch_is_as_after_rows_one_by_one(tmp_path):
    def state(cur):
        try:
            cur.fetchone()
            fetched = "rows"
        except dbapi.ProgrammingError as e:
            fetched = str(e)
        return cur.rowcount, cur.lastrowid, cur.description, cur.return_value, fetched

    conn = dbapi.connect(str(tmp_path / "a.db"))
    cur = conn.cursor()
    cur.execute("create table t(k integer, v text)")
    cur.execute("select 1")
    cur.executemany(INSERT, [(1, "a"), (2, "b")])
    batched = state(cur)
    cur.execute("select 1")
    cur.executemany(INSERT, [(3, decimal.Decimal("1.5")), (4, decimal.Decimal("2"))])  # a text a row
    assert batched == state(cur) == (2, None, None, 1, batched[-1])


def test_an_adapter_that_empties_its_row_is_met_as_by_execute(tmp_path, monkeypatch):
    rows = []

    def shrink(m):
        for row in rows:
            del row[1:]
        return m.cents

    monkeypatch.setitem(dbapi.adapters, Money, shrink)
    conn = dbapi.connect(str(tmp_path / "a.db"))
    cur = conn.cursor()
    cur.execute("create table t(k integer, v integer)")
    rows.extend([[Money(1), 2], [3, 4]])
    with pytest.raises(dbapi.ProgrammingError, match="placeholders"):
        cur.executemany(INSERT, rows)


@pytest.mark.parametrize("count", [1, 63, 64, 200])
@pytest.mark.parametrize("iterable", [list, iter], ids=["list", "iterator"])
def test_numeric_strings_for_an_integer_field_are_refused_at_every_row_count(dsn, count, iterable):
    # One rule whatever the number of rows and the iterable: the bulk
    # path's, as addrecords has it.
    with dbapi.connect(dsn, autocommit=True) as c:
        c.execute("create table n(id integer, s varchar(8))")
        with pytest.raises(dbapi.ProgrammingError, match="row 0, field id: expected int, not str"):
            c.cursor().executemany("insert into n values (?, ?)", iterable([(str(k), "x") for k in range(count)]))
        assert c.execute("select count(*) from n").fetchone()[0] == 0
        c.cursor().executemany("insert into n values (?, ?)", iterable([(k, "x") for k in range(count)]))
        assert c.execute("select count(*) from n").fetchone()[0] == count


@pytest.mark.parametrize("count", [1, 3, 100])
def test_a_negative_zero_is_stored_with_its_sign_on_postgresql(pg_cluster, count):
    from conftest import pg_dsn
    with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as c:
        c.execute("create table z(k integer, d double precision, f real)")
        c.cursor().executemany("insert into z values (?, ?, ?)", [(k, -0.0, -0.0) for k in range(count)])
        c.execute("insert into z values (?, ?, ?)", (-1, -0.0, -0.0))
        got = {(str(d), str(f)) for d, f in c.execute("select d, f from z")}
        assert got == {("-0.0", "-0.0")}
        assert c.execute("select ?::text", (-0.0,)).fetchone()[0] == "-0"


# Values the bulk path and the few-rows path once took differently on
# PostgreSQL: one rule whatever the row count, the server's for a bound value
# of the Python type (a bool is a boolean, which no number column takes, an
# int no boolean; a Decimal NaN or infinity is a numeric, which a number
# column keeps). The refusal names the row and the field on both paths.
D = __import__("decimal").Decimal
ONE_RULE = [
    ("integer", True, "expected int, not bool"),
    ("smallint", False, "expected int, not bool"),
    ("bigint", True, "expected int, not bool"),
    ("double precision", True, "expected float, int or Decimal, not bool"),
    ("boolean", 1, "expected bool, not int"),
    ("boolean", 0, "expected bool, not int"),
    ("boolean", True, True),
    ("integer", 7, 7),
    ("numeric(10,2)", D("NaN"), D("NaN")),
    ("numeric(10,2)", True, "expected float, int or Decimal, not bool"),
    ("numeric(10,2)", D("1.10"), D("1.10")),
    ("numeric(20,2)", D("12345678901234567.89"), D("12345678901234567.89")),
    ("numeric", D("-Infinity"), D("-Infinity")),
    ("double precision", D("Infinity"), float("inf")),
]


@pytest.mark.parametrize("count", [3, 100])
@pytest.mark.parametrize("decl, value, want", ONE_RULE, ids=[f"{d}-{v!r}" for d, v, _ in ONE_RULE])
def test_few_and_many_rows_take_a_value_alike_on_postgresql(pg_cluster, decl, value, want, count):
    from conftest import pg_dsn
    with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as c:
        c.execute(f"create table o(k integer, v {decl})")
        rows = [(k, value) for k in range(count)]
        if isinstance(want, str):
            with pytest.raises(dbapi.ProgrammingError, match="row 0, field v: " + want):
                c.cursor().executemany("insert into o values (?, ?)", rows)
            assert c.execute("select count(*) from o").fetchone() == (0,)
            return
        c.cursor().executemany("insert into o values (?, ?)", rows)
        got = {repr(v) for (v,) in c.execute("select v from o")}
    assert got == {repr(want)}

