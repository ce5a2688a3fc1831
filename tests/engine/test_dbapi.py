"""The standard face, pyqivrexdb.dbapi, on the embedded engine."""
import datetime
import decimal
import time

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi, errors


@pytest.fixture
def conn():
    c = dbapi.connect(":memory:")
    yield c
    c.close()


@pytest.fixture
def cur(conn):
    return conn.cursor()


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "shared.db")


def one(cur, sql, params=None):
    cur.execute(sql, params)
    return cur.fetchall()


# ---------------------------------------------------------------------------
# Placeholders and literals

@pytest.mark.parametrize("sql, params, expected", [
    ("select '?', ?", (5,), [("?", 5)]),
    ("select ':x', :x", {"x": 5}, [(":x", 5)]),
    ('select 1 as "?", ?', (2,), [(1, 2)]),
    ("select ? -- ?\n", (3,), [(3,)]),
    ("select /* ? :x */ ?", (4,), [(4,)]),
    ("select 'it''s ?', ?", (6,), [("it's ?", 6)]),
    ("select 7 - ?", (-2,), [(9,)]),
    ("select 7-?", (-2.5,), [(9.5,)]),
    ("select ?", (True,), [(1,)]),
    ("select ?", (2 ** 31 - 1,), [(2 ** 31 - 1,)]),
    ("select ? - 1", (2 ** 53 + 1,), [(2.0 ** 53,)]),
    ("select ? + 0.0", (decimal.Decimal("12.25"),), [(12.25,)]),
    ("select ?", (None,), [(None,)]),
    ("select ?", (b"\x00\xff'",), [(b"\x00\xff'",)]),
    ("select ?", (bytearray(b"ab"),), [(b"ab",)]),
    ("select ?", (memoryview(b"cd"),), [(b"cd",)]),
    ("select ?", (datetime.datetime(2024, 5, 1, 12, 30, 5),), [("2024-05-01 12:30:05",)]),
    ("select ?", (datetime.time(8, 15),), [("08:15:00",)]),
    ("select :a, :b, :a", {"a": 1, "b": 2}, [(1, 2, 1)]),
    ("select ?", [9], [(9,)]),
    ("select 1", (), [(1,)]),
    ("select '?'", None, [("?",)]),
])
def test_placeholders(cur, sql, params, expected):
    assert one(cur, sql, params) == expected


def test_dates_bind_as_the_engines_dates(cur):
    cur.execute("create table t(d date)")
    cur.execute("insert into t values (?)", (datetime.date(2024, 5, 1),))
    assert one(cur, "select d from t where d = ?", (datetime.date(2024, 5, 1),)) == [(datetime.date(2024, 5, 1),)]


@pytest.mark.parametrize("sql, params, cls, words", [
    ("select ?", (), errors.ProgrammingError, "1 placeholders but 0 values"),
    ("select ?, ?", (1,), errors.ProgrammingError, "2 placeholders but 1"),
    ("select ?", (1, 2), errors.ProgrammingError, "1 placeholders but 2"),
    ("select ?", {"a": 1}, errors.ProgrammingError, "mapping"),
    ("select :a", (1,), errors.ProgrammingError, "sequence"),
    ("select :a", {"b": 1}, errors.ProgrammingError, "no value was given for :a"),
    ("select ?1", (1,), errors.ProgrammingError, "numbered"),
    ("select ?", "x", errors.ProgrammingError, "sequence or a mapping"),
    ("select ?", 5, errors.ProgrammingError, "sequence or a mapping"),
    ("select ?", ([1],), errors.ProgrammingError, "list"),
    ("select ?", (object(),), errors.ProgrammingError, "object"),
    ("select ?", (float("nan"),), errors.DataError, "nan"),
    ("select ?", (decimal.Decimal("1e400"),), errors.DataError, "beyond the range of a double"),
    ("select ?", (decimal.Decimal("NaN"),), errors.DataError, "NaN"),
    ("select ?", ("a\0b",), errors.DataError, "NUL"),
    ("select ?", ("\ud800",), errors.DataError, "lone surrogate"),
    ("select ?", (2 ** 64,), errors.DataError, "64 bits"),
    ("select ?", (datetime.date(1899, 12, 31),), errors.DataError, "1900-01-01"),
    ("select ?", (datetime.date(2079, 1, 1),), errors.DataError, "2078-12-31"),
    ("select '\ud800'", None, errors.ProgrammingError, "lone surrogate"),
    (b"select 1", None, errors.ProgrammingError, "str"),
])
def test_values_that_cannot_be_bound(cur, sql, params, cls, words):
    with pytest.raises(cls, match=words.replace("?", r"\?")):
        cur.execute(sql, params)


# ---------------------------------------------------------------------------
# Values read back exactly, NULL as None, through fetchall and bulk loads

TYPES = "c varchar(8), a binary(3), b tinyint, i smallint, w word, d date, n nmbr, l integer, " \
        "dw dword, f float, m money, x double"
ROW = ("abc", b"\x00\x01\x02", 254, -32767, 65534, datetime.date(2078, 12, 31), 16777214,
       -2147483647, 4294967294, 1.5, 12.25, 1e300)
ZERO = ("", b"\x00\x00\x00", 0, 0, 0, datetime.date(1900, 1, 1), 0, 0, 0, 0.0, 0.0, 0.0)
NULLS = (None,) * 12


@pytest.mark.parametrize("row", [ROW, ZERO, NULLS, ROW[:6] + NULLS[6:], NULLS[:6] + ZERO[6:]],
                         ids=["values", "zeros", "nulls", "mixed", "mixed2"])
@pytest.mark.parametrize("how", ["execute", "addrecords", "executemany"])
def test_all_twelve_types_round_trip(cur, conn, row, how):
    cur.execute("create table t(%s)" % TYPES)
    marks = ", ".join("?" * 12)
    if how == "execute":
        cur.execute("insert into t values (%s)" % marks, row)
    elif how == "addrecords":
        assert conn.addrecords("t", [row]) == 1
    else:
        cur.executemany("insert into t values (%s)" % marks, [row] * 100)
        assert cur.rowcount == 100
    got = one(cur, "select * from t")
    assert got[0] == row and all(type(a) is type(b) for a, b in zip(got[0], row))
    assert len(got) == (100 if how == "executemany" else 1)


@pytest.mark.parametrize("stored, read", [
    ("abc", "abc"), ("abc  ", "abc  "), ("", ""), ("12345678", "12345678"), ("Жёлтый", "Жёлтый"),
])
def test_char_reads_the_text_stored(cur, conn, stored, read):
    cur.execute("create table t(c char(8))")
    cur.execute("insert into t values (?)", (stored,))
    conn.addrecords("t", [(stored,)])
    assert one(cur, "select c from t") == [(read,), (read,)]


def test_text_and_blob_columns_keep_their_values(cur):
    cur.execute("create table t(s text, b blob)")
    cur.executemany("insert into t values (?, ?)", [("short", b"\x01"), ("a much longer text", b"\x01\x02\x03")])
    assert one(cur, "select s, b from t where b = ?", (b"\x01\x02\x03",)) == [("a much longer text", b"\x01\x02\x03")]
    assert one(cur, "select s from t order by s") == [("a much longer text",), ("short",)]


@pytest.mark.parametrize("decl, value, sql", [
    ("text", "x'610062'", None),  # a blob in a text column: refused when written
    ("varchar(10)", "'a' || char(0) || 'b'", None),
    ("text", "'ab'", "select v || char(0) from t"),  # an expression
    ("text", "'ab'", "return v || char(0) || 'c' from t"),  # a return value
])
def test_a_text_with_a_nul_is_refused_naming_its_column_not_cut(cur, decl, value, sql):
    cur.execute("create table t(v %s)" % decl)
    insert = "insert into t values (%s)" % value
    if sql is None:
        sql = insert
    else:
        cur.execute(insert)
    with pytest.raises(errors.DataError, match="(column v|return value).*NUL") as e:
        cur.execute(sql)
    assert e.value.error_code_qivrex == -20
    if sql != insert:
        assert one(cur, "select cast(v as blob) from t")[0][0].startswith(b"a")  # the value itself is kept


BLOBS = [b"", b"\x00", b"a", b"ab\x00\x00", b"\x00" * 7, b"\xff" * 300, None, b"\x01\x00\x02"]


BLOB_SQL = {
    "sqlite": ("create table t(k integer, b blob)", "select b, cast(b || x'00' as blob), k from t order by k",
               "x'%s'"),
    "postgresql": ("create table t(k integer, b bytea)", "select b, b || '\\x00'::bytea, k from t order by k",
                   "'\\x%s'::bytea"),
}


@pytest.mark.parametrize("how", ["fetchall", "fetchone", "iteration"])
def test_binary_values_of_any_length_read_back_exactly(dsn, backend, how):
    # The column is as wide as its longest value: shorter ones, and those
    # ending in zero bytes, must not come back padded.
    create, select, literal_of = BLOB_SQL[backend]
    conn = dbapi.connect(dsn, autocommit=True)
    cur = conn.cursor()
    cur.execute(create)
    for k, b in enumerate(BLOBS):
        literal = "null" if b is None else literal_of % b.hex()
        cur.execute("insert into t values (%d, %s)" % (k, literal))
    cur.execute(select)
    if how == "fetchall":
        rows = cur.fetchall()
    elif how == "fetchone":
        rows = list(iter(cur.fetchone, None))
    else:
        rows = list(cur)
    assert cur.null_flags == 2
    assert rows == [(b, None if b is None else b + b"\x00", k) for k, b in enumerate(BLOBS)]
    conn.close()


def test_binary_expressions_and_fixed_fields_read_back_exactly(cur):
    cur.execute("create table t(a binary(4))")
    cur.execute("insert into t values (?)", (b"\x01",))
    cur.execute("insert into t values (?)", (b"\x01\x00\x00\x00",))
    assert one(cur, "select a from t") == [(b"\x01",), (b"\x01\x00\x00\x00",)]
    assert one(cur, "select x'00', x'', zeroblob(3), null") == [
        (b"\x00", b"", b"\x00" * 3, None)]


@pytest.mark.parametrize("value, cls, words", [
    (("x" * 9,) + ROW[1:], errors.DataError, "field c: a text of 9 characters is longer than the field's 8"),
    (("é" * 9,) + ROW[1:], errors.DataError, "field c: a text of 9 characters is longer than the field's 8"),
    (ROW[:2] + (255,) + ROW[3:], errors.DataError, "field b: 255 is outside the range of BYTE"),
    (ROW[:3] + (-32768,) + ROW[4:], errors.DataError, "field i: -32768 is outside"),
    (ROW[:5] + (datetime.date(2079, 1, 1),) + ROW[6:], errors.DataError, "field d: 2079-01-01 is outside"),
    (ROW[:5] + (datetime.datetime(2020, 1, 1),) + ROW[6:], errors.ProgrammingError, "field d: expected datetime.date"),
    (ROW[:7] + (2 ** 31,) + ROW[8:], errors.DataError, "field l: 2147483648 is outside"),
    (ROW[:7] + ("5",) + ROW[8:], errors.ProgrammingError, "field l: expected int, not str"),
    (ROW[:9] + (1e39,) + ROW[10:], errors.DataError, "field f: 1e\\+39 is outside the range of FLOA"),
    (ROW[:11] + (float("nan"),), errors.DataError, "field x: nan cannot be stored"),
    (ROW[:11] + (2 ** 53 + 1,), errors.DataError, "field x: 9007199254740993 has no exact real"),
    (ROW[:11], errors.ProgrammingError, "a row of 11 values for a table of 12 fields"),
    (("a\0b",) + ROW[1:], errors.DataError, "field c: .* NUL"),
    (("\ud800",) + ROW[1:], errors.DataError, "field c: .*lone surrogate"),
])
def test_bulk_load_never_cuts_a_value(cur, conn, value, cls, words):
    cur.execute("create table t(%s)" % TYPES)
    conn.commit()
    with pytest.raises(cls, match="row 2(, |: )" + words) as info:
        conn.addrecords("t", [ROW, ROW, value, ROW])
    assert info.value.rows_sent == 0
    conn.rollback()
    assert one(cur, "select count(*) from t") == [(0,)]


@pytest.mark.parametrize("blob, words", [
    (b"\x01", None),
    (bytearray(b"\x01\x02"), None),
    (memoryview(b""), None),
    (b"\x01\x02\x03\x04", "row 1: column a: a blob of 4 bytes is longer than its column"),
])
def test_bulk_load_stores_a_blob_of_another_length_as_a_statement_would(cur, conn, blob, words):
    # A record's binary field holds no length: such a row goes by itself.
    cur.execute("create table t(k integer, a binary(3))")
    rows = [(0, b"abc"), (1, blob), (2, b"def")]
    if words:
        with pytest.raises(errors.DataError, match=words):
            conn.addrecords("t", rows)
        return
    conn.addrecords("t", rows)
    got = one(cur, "select a from t order by k")
    cur.execute("delete from t")
    cur.executemany("insert into t values (?, ?)", rows)
    assert got == one(cur, "select a from t order by k") == [(b"abc",), (bytes(blob),), (b"def",)]


def test_bulk_load_accepts_ints_and_decimals_for_real_fields(cur, conn):
    cur.execute("create table t(f float, x double)")
    conn.addrecords("t", [(3, decimal.Decimal("0.5")), (True, 2 ** 53)])
    assert one(cur, "select * from t") == [(3.0, 0.5), (1.0, float(2 ** 53))]


def test_bulk_load_reports_rows_sent_when_the_server_refuses(cur, conn):
    pyqivrexdb.HEAPCTRL, saved = 64, pyqivrexdb.HEAPCTRL
    try:
        from pyqivrexdb import qxcore
        qxcore.HEAPCTRL = 64
        cur.execute("create table t(id integer primary key)")
        conn.commit()
        with pytest.raises(errors.IntegrityError, match="UNIQUE constraint failed") as info:
            conn.addrecords("t", [(i,) for i in range(100)] + [(5,)])
        assert info.value.rows_sent == 96 and info.value.code == -19
    finally:
        qxcore.HEAPCTRL = pyqivrexdb.HEAPCTRL = saved


def test_bulk_load_of_an_unknown_table(conn):
    with pytest.raises(errors.ProgrammingError, match="no such table: nothere"):
        conn.addrecords("nothere", [(1,)])


# ---------------------------------------------------------------------------
# Transactions

def test_uncommitted_rows_stay_unseen_by_another_connection(path):
    with dbapi.connect(path) as a, dbapi.connect(path, autocommit=True) as b:
        a.cursor().execute("create table t(x integer)")
        a.commit()
        a.cursor().execute("insert into t values (1)")
        assert one(b.cursor(), "select count(*) from t") == [(0,)]
        a.commit()
        assert one(b.cursor(), "select count(*) from t") == [(1,)]
        a.cursor().execute("insert into t values (2)")
        a.rollback()
        assert one(b.cursor(), "select count(*) from t") == [(1,)]


def test_autocommit_runs_each_statement_on_its_own(path):
    with dbapi.connect(path, autocommit=True) as a, dbapi.connect(path) as b:
        a.cursor().execute("create table t(x integer)")
        a.cursor().execute("insert into t values (1)")
        assert not a.in_transaction
        assert one(b.cursor(), "select count(*) from t") == [(1,)]


def test_switching_autocommit_on_commits(path):
    with dbapi.connect(path) as a, dbapi.connect(path, autocommit=True) as b:
        a.cursor().execute("create table t(x integer)")
        assert a.in_transaction
        a.autocommit = True
        assert not a.in_transaction
        assert one(b.cursor(), "select count(*) from t") == [(0,)]


def test_context_manager_commits_or_rolls_back_then_closes(path):
    with dbapi.connect(path) as a:
        a.cursor().execute("create table t(x integer)")
    assert a.closed
    with pytest.raises(ZeroDivisionError):
        with dbapi.connect(path) as a:
            a.cursor().execute("insert into t values (1)")
            1 / 0
    assert a.closed
    with dbapi.connect(path) as b:
        assert one(b.cursor(), "select count(*) from t") == [(0,)]


def test_close_rolls_back(path):
    a = dbapi.connect(path)
    a.cursor().execute("create table t(x integer)")
    a.commit()
    a.cursor().execute("insert into t values (1)")
    a.close()
    with dbapi.connect(path) as b:
        assert one(b.cursor(), "select count(*) from t") == [(0,)]


def test_readers_never_wait(path):
    with dbapi.connect(path) as setup:
        setup.cursor().execute("create table t(x integer)")
        setup.cursor().executemany("insert into t values (?)", [(i,) for i in range(10)])
    writer, r1, r2 = dbapi.connect(path), dbapi.connect(path), dbapi.connect(path)
    try:
        # Two readers, each inside its transaction, and a writer holding the
        # write lock: nobody waits (a wait would take the 5-second timeout).
        started = time.monotonic()
        assert one(r1.cursor(), "select count(*) from t") == [(10,)]
        assert one(r2.cursor(), "select count(*) from t") == [(10,)]
        writer.cursor().execute("insert into t values (99)")
        assert one(r1.cursor(), "select count(*) from t") == [(10,)]
        assert one(r2.cursor(), "select sum(x) from t") == [(45,)]
        r3 = dbapi.connect(path)
        assert one(r3.cursor(), "select count(*) from t") == [(10,)]
        r3.close()
        writer.commit()
        assert one(r1.cursor(), "select count(*) from t") == [(10,)]  # its snapshot
        r1.commit()
        assert one(r1.cursor(), "select count(*) from t") == [(11,)]
        assert time.monotonic() - started < 4  # a wait would take the 5-second timeout
    finally:
        for c in (writer, r1, r2):
            c.close()


def test_savepoints_pass_through(cur, conn):
    cur.execute("create table t(x integer)")
    cur.execute("savepoint s1")
    cur.execute("insert into t values (1)")
    cur.execute("rollback to s1")
    cur.execute("insert into t values (2)")
    cur.execute("release s1")
    conn.commit()
    assert one(cur, "select x from t") == [(2,)]


# ---------------------------------------------------------------------------
# rowcount, lastrowid, executemany

def test_rowcount_and_lastrowid(cur):
    cur.execute("create table t(id integer primary key, x integer)")
    assert (cur.rowcount, cur.lastrowid) == (-1, None)
    cur.execute("insert into t(x) values (?)", (5,))
    assert (cur.rowcount, cur.lastrowid) == (1, 1)
    cur.execute("insert into t(x) select x from t")
    assert (cur.rowcount, cur.lastrowid) == (1, 2)
    cur.execute("update t set x = 7")
    assert (cur.rowcount, cur.lastrowid) == (2, None)
    cur.execute("select * from t")
    assert cur.rowcount == 2
    cur.execute("delete from t where x = ?", (8,))
    assert cur.rowcount == 0


@pytest.mark.parametrize("sql, value", [
    ("return 7", 7),
    ("return x'00410000'", b"\x00A\x00\x00"),  # binary values whole, NULs and all
    ("return 'Итог'", "Итог"),
    ("return '2024-02-29' as date", datetime.date(2024, 2, 29)),
    ("return null", None),
    ("insert into t values (1), (2)", 2),  # rows changed
    ("update t set x = 1 where x > 5", 0),
    ("select 5", None),
    ("create table u(a integer)", None),
])
def test_each_statement_has_its_own_return_value(cur, sql, value):
    cur.execute("create table t(x integer)")
    cur.execute("return 99")
    cur.execute(sql)
    got = cur.retcode()
    assert got == value and type(got) is type(value)


@pytest.mark.parametrize("rows", [3, 500])
@pytest.mark.parametrize("autocommit", [False, True])
def test_executemany_is_one_transaction(path, rows, autocommit):
    with dbapi.connect(path, autocommit=autocommit) as a:
        a.cursor().execute("create table t(id integer primary key, s varchar(5))")
        a.commit()
        data = [(i, "v%d" % i) for i in range(rows)] + [(1, "dup")]
        cur = a.cursor()
        with pytest.raises(errors.IntegrityError):
            cur.executemany("insert into t values (?, ?)", data)
        a.rollback()
        assert one(cur, "select count(*) from t") == [(0,)]
        cur.executemany("insert into t (id, s) values (?, ?)", data[:-1])
        assert cur.rowcount == rows
        a.commit()
        cur.executemany("update t set s = ? where id = ?", [("x", 1), ("y", 2), ("z", 10 ** 6)])
        assert cur.rowcount == 2


# ---------------------------------------------------------------------------
# Errors by cause, with the server's text

@pytest.mark.parametrize("sql, cls, text", [
    ("selec 1", errors.ProgrammingError, 'near "selec": syntax error'),
    ("select * from nothere", errors.ProgrammingError, "no such table: nothere"),
    ("select nocolumn from t", errors.ProgrammingError, "no such column: nocolumn"),
    ("insert into t values (1, 'a')", errors.IntegrityError, "UNIQUE constraint failed: t.id"),
    ("insert into t values (2, null)", errors.IntegrityError, "NOT NULL constraint failed: t.s"),
    ("insert into t values (3, 'toolong')", errors.DataError,
     "column s: text 'toolong' is longer than its column (CHAR)"),
    ("commit work nosuch", errors.ProgrammingError, "transaction nosuch does not exist"),
])
def test_errors_by_cause_carry_the_servers_text(cur, sql, cls, text):
    cur.execute("create table t(id integer primary key, s varchar(3) not null)")
    cur.execute("insert into t values (1, 'a')")
    with pytest.raises(cls) as info:
        cur.execute(sql)
    assert str(info.value) == text and info.value.server_text == text
    assert isinstance(info.value.code, int) and info.value.code < 0


def test_a_busy_database_is_an_operational_error(path):
    with dbapi.connect(path) as a, dbapi.connect(path) as b:
        a.cursor().execute("create table t(x integer)")
        a.commit()
        a.cursor().execute("insert into t values (1)")
        b.cursor().execute("select 1")
        # A write beside the first writer fails once the engine stops waiting.
        b.cursor().execute("pragma busy_timeout = 0")
        with pytest.raises(errors.OperationalError, match="locked") as info:
            b.cursor().execute("insert into t values (2)")
        assert info.value.code == -5


def test_connecting_to_a_file_that_is_no_database(tmp_path):
    bad = tmp_path / "bad.db"
    bad.write_bytes(b"not a database" * 100)
    with pytest.raises(errors.DatabaseError, match="not a database") as info:
        dbapi.connect(str(bad))
    assert info.value.code == -26


# ---------------------------------------------------------------------------
# The PEP 249 surface, from the PEP's own text

def test_module_globals():
    assert dbapi.apilevel == "2.0"
    assert dbapi.threadsafety in (0, 1, 2, 3)
    assert dbapi.paramstyle == "qmark"


def test_exceptions_are_the_packages_and_hang_off_every_connection(conn):
    for name in errors.__all__:
        assert getattr(dbapi, name) is getattr(errors, name) is getattr(conn, name)
    assert issubclass(dbapi.Warning, Exception) and issubclass(dbapi.Error, Exception)
    for name in ("DataError", "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
                 "NotSupportedError"):
        assert issubclass(getattr(dbapi, name), dbapi.DatabaseError)
    assert issubclass(dbapi.InterfaceError, dbapi.Error) and issubclass(dbapi.DatabaseError, dbapi.Error)


def test_type_objects_and_constructors(cur):
    cur.execute("create table t(c varchar(3), a binary(2), l integer, x double, d date)")
    cur.execute("select * from t")
    codes = [d[1] for d in cur.description]
    assert codes[0] == dbapi.STRING and codes[1] == dbapi.BINARY and codes[2] == dbapi.NUMBER
    assert codes[3] == dbapi.NUMBER and codes[4] == dbapi.DATETIME
    assert codes[0] != dbapi.NUMBER and codes[4] != dbapi.STRING and dbapi.ROWID == codes[2]
    assert dbapi.Date(2024, 5, 1) == datetime.date(2024, 5, 1)
    assert dbapi.Time(1, 2, 3) == datetime.time(1, 2, 3)
    assert dbapi.Timestamp(2024, 5, 1, 1, 2, 3) == datetime.datetime(2024, 5, 1, 1, 2, 3)
    assert dbapi.DateFromTicks(0) == datetime.date.fromtimestamp(0)
    assert dbapi.TimeFromTicks(0) == datetime.datetime.fromtimestamp(0).time()
    assert dbapi.TimestampFromTicks(0) == datetime.datetime.fromtimestamp(0)
    assert dbapi.Binary(b"x") == b"x"


def test_description(cur):
    assert cur.description is None
    cur.execute("create table t(id integer, name varchar(20))")
    assert cur.description is None
    cur.execute("select id, name as who from t")
    assert cur.description == (("id", dbapi.NUMBER, None, 4, None, None, None),
                               ("who", dbapi.STRING, None, 80, None, None, None))  # bytes: UTF-8
    assert all(len(d) == 7 for d in cur.description)


def test_fetching(cur):
    cur.execute("create table t(x integer)")
    cur.executemany("insert into t values (?)", [(i,) for i in range(10)])
    cur.execute("select x from t order by x")
    assert cur.arraysize == 1
    assert cur.fetchone() == (0,)
    assert cur.fetchmany() == [(1,)]
    cur.arraysize = 3
    assert cur.fetchmany() == [(2,), (3,), (4,)]
    assert cur.fetchmany(2) == [(5,), (6,)]
    assert list(cur) == [(7,), (8,), (9,)]
    assert cur.fetchone() is None and cur.fetchmany() == [] and cur.fetchall() == []
    assert iter(cur) is cur


def test_fetching_without_a_result_set_raises(cur):
    with pytest.raises(errors.ProgrammingError):
        cur.fetchone()
    cur.execute("create table t(x integer)")
    for fetch in (cur.fetchone, cur.fetchmany, cur.fetchall, lambda: next(cur)):
        with pytest.raises(errors.ProgrammingError):
            fetch()


def test_closed_cursor(cur):
    cur.execute("select 1")
    cur.close()
    cur.close()
    for call in (cur.fetchone, cur.fetchmany, cur.fetchall, lambda: next(cur), lambda: cur.execute("select 1"),
                 lambda: cur.executemany("select ?", [(1,)])):
        with pytest.raises(errors.ProgrammingError, match="closed"):
            call()


def test_closed_connection(conn):
    cur = conn.cursor()
    conn.close()
    conn.close()
    for call in (conn.cursor, conn.commit, conn.rollback, lambda: conn.addrecords("t", [])):
        with pytest.raises(errors.ProgrammingError, match="closed"):
            call()
    with pytest.raises(errors.Error):
        cur.execute("select 1")


def test_the_rest_of_the_cursor(conn, cur):
    assert cur.connection is conn
    assert cur.setinputsizes([10]) is None and cur.setoutputsize(10) is None
    assert cur.setoutputsize(10, 0) is None
    assert cur.execute("select 1") is cur
    assert cur.nextset() is None
    with conn.cursor() as c2:
        c2.execute("select 2")
    with pytest.raises(errors.ProgrammingError):
        c2.fetchall()


def test_the_core_face_is_unchanged(tmp_path):
    path = str(tmp_path / "x.db")
    with dbapi.connect(path) as c:
        c.cursor().execute("create table t(s varchar(4), b binary(2), n integer)")
        c.cursor().execute("insert into t values ('ab', x'0102', null)")
    with pyqivrexdb.connect(path) as core:
        cur = core.cursor()
        cur.execute("select * from t")
        assert cur.fetchall() == [["ab\x00 ", b"0102", 0]]
        with pytest.raises(errors.IntegrityError):
            cur.execute("select * from nothere where x = %s", (1,))


def test_rollback_after_the_engine_ended_the_transaction(cur, conn):
    cur.execute("create table t(x integer unique on conflict rollback)")
    conn.commit()
    cur.execute("insert into t values (1)")
    with pytest.raises(errors.IntegrityError):
        cur.execute("insert into t values (1)")
    conn.rollback()
    assert one(cur, "select count(*) from t") == [(0,)]


@pytest.mark.parametrize("ddl, sql, rows, got", [
    # the bulk path: every field, in order, 64 rows or more
    ("t(a integer, b varchar(3))", "insert into t values (?, ?)", [(1, None)] * 64, [(1, None)]),
    ("t(a integer, b varchar(3))", 'INSERT INTO "t" ("A", b) VALUES (?,?);', [(2, "x")] * 70, [(2, "x")]),
    # one statement a row: a column list of another order, a binary field, too few rows
    ("t(a integer, b varchar(3))", "insert into t (b, a) values (?, ?)", [("y", 3)] * 64, [(3, "y")]),
    ("t(a integer, b blob)", "insert into t values (?, ?)", [(4, b"\x01")] * 64, [(4, b"\x01")]),
    ("t(a integer, b varchar(3))", "insert into t values (?, ?)", [(5, "5")] * 3, [(5, "5")]),
    # values SQLite converts on its own go the same way on both paths
    ("t(a integer, b varchar(3))", "insert into t values (?, ?)", [(6, "abc")] * 100, [(6, "abc")]),
])
def test_executemany_paths(cur, ddl, sql, rows, got):
    cur.execute("create table " + ddl)
    cur.executemany(sql, rows)
    assert cur.rowcount == len(rows) and cur.lastrowid is None
    assert one(cur, "select distinct * from t") == got


def test_executemany_in_bulk_names_the_row_and_field(cur):
    cur.execute("create table t(a integer, b varchar(3))")
    with pytest.raises(errors.ProgrammingError, match="row 70, field a: expected int, not str"):
        cur.executemany("insert into t values (?, ?)", [(1, "x")] * 70 + [("1", "x")])


def test_a_connection_dropped_without_close_gives_its_lock_back(path):
    import gc
    with dbapi.connect(path) as setup:
        setup.cursor().execute("create table t(x integer)")
    writer = dbapi.connect(path)
    writer.cursor().execute("insert into t values (1)")
    del writer
    gc.collect()
    started = time.monotonic()
    with dbapi.connect(path) as other:
        other.cursor().execute("insert into t values (2)")
        assert one(other.cursor(), "select x from t") == [(2,)]
    assert time.monotonic() - started < 4  # a wait would take the 5-second timeout


@pytest.mark.parametrize("name", [lambda p: p, str, lambda p: str(p).encode()], ids=["path", "str", "bytes"])
def test_connect_takes_a_file_name_as_a_path_of_any_kind(tmp_path, name):
    with dbapi.connect(name(tmp_path / "a.db")) as conn:
        conn.execute("create table t(x integer)")
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        assert conn.tables() == ["t"]


@pytest.mark.parametrize("kw, where", [({"dsn": "\u20ac.db"}, "dsn"), ({"dsn": "a.db", "password": "s\u20acret"}, "password")])
def test_a_name_outside_the_code_page_is_refused_by_the_face(tmp_path, kw, where):
    dsn = tmp_path / kw.pop("dsn")
    with pytest.raises(errors.InterfaceError, match="code page 866, which has no '\u20ac' \\(in the %s\\)" % where) as e:
        dbapi.connect(dsn, text_encoding="cp866", **kw)
    assert "ret" not in str(e.value) and e.value.__cause__ is None  # a password is never shown
