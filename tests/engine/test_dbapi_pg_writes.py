"""PostgreSQL's own types written through the standard face, on every path
(one execute a row, executemany, the bulk load), read back as the server's
text so the check does not depend on how a result is read; and the engine's
refusal of a Decimal its numbers (doubles) would change."""
import datetime as dt
import decimal
import ipaddress
import uuid

import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn

D = decimal.Decimal
UTC = dt.timezone.utc
IST = dt.timezone(dt.timedelta(hours=5, minutes=30))
PATHS = ["execute", "executemany", "bulk"]

# (column type, value, the column's text as the server gives it back; the
# session's time zone is UTC)
VALUES = [
    ("numeric(20,2)", D("12345678901234567.89"), "12345678901234567.89"),
    ("numeric", D("0.1000000000000000000000000001"), "0.1000000000000000000000000001"),
    ("numeric", D("-0"), "0"),
    ("numeric", D("1E+30"), "1000000000000000000000000000000"),
    ("numeric", D("NaN"), "NaN"),
    ("numeric", D("-NaN"), "NaN"),
    ("numeric", D("-Infinity"), "-Infinity"),
    ("numeric", D("7"), "7"),
    ("timestamptz", dt.datetime(2024, 3, 31, 1, 30, tzinfo=IST), "2024-03-30 20:00:00+00"),
    ("timestamptz", dt.datetime(1, 1, 1, tzinfo=UTC), "0001-01-01 00:00:00+00"),
    ("timestamptz", dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), "9999-12-31 23:59:59.999999+00"),
    # a naive value goes untyped: the column reads it in the session's zone
    ("timestamptz", dt.datetime(2024, 10, 27, 2, 30), "2024-10-27 02:30:00+00"),
    ("timestamp", dt.datetime(1900, 2, 28, 23, 59, 59, 1), "1900-02-28 23:59:59.000001"),
    ("date", dt.date(2078, 12, 31), "2078-12-31"),
    ("time", dt.time(23, 59, 59, 999999), "23:59:59.999999"),
    ("timetz", dt.time(10, 0, tzinfo=IST), "10:00:00+05:30"),
    ("interval", dt.timedelta(days=-1, seconds=5, microseconds=7), "-1 days +00:00:05.000007"),
    ("interval", dt.timedelta(days=999999999), "999999999 days"),
    ("uuid", uuid.UUID("a8098c1a-f86e-11da-bd1a-00112444be1e"), "a8098c1a-f86e-11da-bd1a-00112444be1e"),
    ("boolean", True, "true"),
    ("boolean", False, "false"),
    ("json", dbapi.Json({"snow": "\u2603", "big": 10 ** 30}), '{"snow": "\\u2603", "big": 1000000000000000000000000000000}'),
    ("jsonb", dbapi.Jsonb({"big": 12345678901234567890.5, "n": None}), '{"n": null, "big": 12345678901234567000}'),
    ("jsonb", dbapi.Jsonb([1, 2], dumps=lambda o: '{"own": true}'), '{"own": true}'),
    ("int8[]", [1, None, -(2 ** 63)], "{1,NULL,-9223372036854775808}"),
    ("int8[]", [], "{}"),
    ("int8[]", [[1, 2], [None, 4]], "{{1,2},{NULL,4}}"),
    ("numeric[]", [D("1.10"), 2, None], "{1.10,2,NULL}"),
    ("text[]", ['a"b\\c', "{x,y}", "NULL", "", None], '{"a\\"b\\\\c","{x,y}","NULL","",NULL}'),
    ("float8[]", [1.5, float("inf"), 2], "{1.5,Infinity,2}"),
    ("boolean[]", [True, None], "{t,NULL}"),
    ("uuid[]", [uuid.UUID(int=1)], "{00000000-0000-0000-0000-000000000001}"),
    ("timestamptz[]", [dt.datetime(2024, 1, 1, tzinfo=UTC)], '{"2024-01-01 00:00:00+00"}'),
    ("inet", ipaddress.ip_address("2001:db8::1"), "2001:db8::1/128"),
    ("inet", ipaddress.ip_interface("10.1.2.3/16"), "10.1.2.3/16"),
    ("cidr", ipaddress.ip_network("10.0.0.0/8"), "10.0.0.0/8"),
]


def ids(case):
    return "%s-%r" % (case[0], case[1])[:60]


@pytest.fixture(scope="module")
def pg(request):
    return pg_dsn(request.getfixturevalue("pg_cluster"))


def write(conn, path, table, rows):
    sql = "insert into %s values (?, ?)" % table
    cur = conn.cursor()
    if path == "execute":
        for row in rows:
            cur.execute(sql, row)
    elif path == "executemany":
        cur.executemany(sql, rows)
    else:
        assert len(rows) >= dbapi._BULK_MIN_ROWS
        cur.executemany(sql, rows)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("declared, value, text", VALUES, ids=[ids(c) for c in VALUES])
def test_each_value_reads_back_as_written(pg, path, declared, value, text):
    rows = [(i, value) for i in range(dbapi._BULK_MIN_ROWS if path == "bulk" else 2)]
    with dbapi.connect(pg) as conn:
        conn.execute("set time zone 'UTC'")
        conn.execute("create temporary table w(id int, v %s)" % declared)
        write(conn, path, "w", rows)
        got = conn.execute("select distinct v::text from w").fetchall()
    assert got == [(text,)]


@pytest.mark.parametrize("value, error, match", [
    ([1, "a"], dbapi.ProgrammingError, "parameter 1: a list of int4 and text values cannot be one array"),
    ([[1], 2], dbapi.DataError, "parameter 1: a list mixes lists and values"),
    ([object()], dbapi.ProgrammingError, "parameter 1: a value of type .*object.* cannot be an array element"),
    ([D("sNaN")], dbapi.DataError, "parameter 1: Decimal\\('sNaN'\\) has no value to store"),
    (D("sNaN"), dbapi.DataError, "parameter 1: Decimal\\('sNaN'\\) has no SQL literal"),
    (dbapi.Json(1, dumps=lambda o: b"1"), dbapi.ProgrammingError, "parameter 1: dumps\\(\\) returned bytes, not str"),
    (["ok", "\ud800"], dbapi.DataError, "parameter 1: '\\\\ud800' has a lone surrogate"),
])
def test_values_without_a_form_are_refused_naming_the_parameter(pg, value, error, match):
    with dbapi.connect(pg) as conn:
        with pytest.raises(error, match=match):
            conn.execute("select ?", (value,))


def test_a_naive_datetime_follows_the_sessions_time_zone(pg):
    naive = dt.datetime(2024, 3, 31, 2, 30)  # a gap in Europe/Berlin: the server moves it
    with dbapi.connect(pg) as conn:
        conn.execute("set time zone 'Europe/Berlin'")
        got = conn.execute("select (?::timestamptz)::text, ? = '2024-03-31 01:30:00+00'::timestamptz",
                           (naive, naive)).fetchone()
    assert got == ("2024-03-31 03:30:00+02", 1)


def test_an_aware_datetime_is_one_instant_whatever_the_session_zone(pg):
    with dbapi.connect(pg) as conn:
        conn.execute("set time zone 'America/New_York'")
        got = conn.execute("select ? = '2024-11-03 05:30:00+00'::timestamptz",
                           (dt.datetime(2024, 11, 3, 1, 30, tzinfo=dt.timezone(dt.timedelta(hours=-4))),)).fetchone()
    assert got == (1,)


def test_an_adapter_may_return_a_server_type_and_runs_once(pg):
    calls = []

    class Money:
        def __init__(self, cents):
            self.cents = cents

    def adapt(m):
        calls.append(m)
        return D(m.cents).scaleb(-2)

    with dbapi.connect(pg) as conn:
        conn.adapters[Money] = adapt
        conn.adapters[dict] = dbapi.Jsonb
        conn.execute("create temporary table m(id int, v numeric(20,2), d jsonb)")
        conn.cursor().executemany("insert into m values (?, ?, ?)", [(1, Money(1234567890123456789), {"a": 1})])
        got = conn.execute("select v::text, d::text from m").fetchall()
    assert got == [("12345678901234567.89", '{"a": 1}')] and len(calls) == 1


def read_back(pg, path, declared, value):
    rows = [(i, value) for i in range(dbapi._BULK_MIN_ROWS if path == "bulk" else 2)]
    with dbapi.connect(pg) as conn:
        conn.execute("create temporary table x(id int, v %s)" % declared)
        write(conn, path, "x", rows)
        return conn.execute("select distinct v::text from x").fetchall()


@pytest.mark.parametrize("declared, sql, value, want", [
    ("integer[]", "select count(*) from a where v @> ?", [3], 1),
    ("integer[]", "select count(*) from a where v && ?", [9, 1], 1),
    ("integer[]", "select count(*) from a where v = ?", [1, None, 3], 1),
    ("bigint[]", "select count(*) from a where v @> ?", [2 ** 40], 0),
    ("integer", "select count(*) from a where v = any(?)", [1, 2 ** 40], 0),
])
def test_a_list_of_ints_compares_with_an_array_column(pg, declared, sql, value, want):
    with dbapi.connect(pg) as conn:
        conn.execute("create temporary table a(v %s)" % declared)
        conn.execute("insert into a values (?)", ([1, None, 3] if declared.endswith("[]") else 5,))
        assert conn.execute(sql, (value,)).fetchone() == (want,)


# The bulk load carries a numeric field as its text: a Decimal's trailing
# zeros, NaN and digits past a double's go in as one execute a row writes them.
@pytest.mark.parametrize("declared, value, text", [
    ("numeric", D("1.10"), "1.10"),
    ("numeric(20,2)", D("12345678901234567.89"), "12345678901234567.89"),
    ("numeric", D("-0.00"), "0.00"),
    ("numeric", D("-1.23E-10"), "-0.000000000123"),
    ("numeric", D("9" * 300), "9" * 300),  # longer than the field: goes in by itself
    ("numeric(3,5)", D("0.00123"), "0.00123"),
    ("numeric(5,-2)", D("-12300"), "-12300"),
    ("numeric", 2 ** 64 + 1, "18446744073709551617"),
    ("numeric(20,2)", 0.1, "0.10"),
    ("numeric", float("-inf"), "-Infinity"),
])
def test_bulk_writes_a_numeric_as_the_row_path_does(pg, declared, value, text):
    assert read_back(pg, "bulk", declared, value) == [(text,)]


@pytest.mark.parametrize("value, error, match", [
    ("1.5", dbapi.ProgrammingError, "row 5, field v: expected float, int or Decimal, not str"),
    (D("sNaN"), dbapi.DataError, "row 5, field v: Decimal\\('sNaN'\\) has no value to store"),
    (float("nan"), dbapi.DataError, "row 5, field v: nan cannot be stored as a number"),
    (D("Infinity"), dbapi.DataError, "numeric field overflow"),
    (D("1E+20"), dbapi.DataError, "numeric field overflow"),
])
def test_bulk_refuses_a_number_its_numeric_cannot_take(pg, value, error, match):
    rows = [(i, value if i == 5 else D("0.25")) for i in range(dbapi._BULK_MIN_ROWS)]
    with dbapi.connect(pg) as conn:
        conn.execute("create temporary table b(id int, v numeric(20,2))")
        with pytest.raises(error, match=match):
            conn.cursor().executemany("insert into b values (?, ?)", rows)
        assert conn.execute("select count(*) from b").fetchone() == (0,)


def test_the_core_face_still_loads_a_numeric_as_a_double(pg):
    import pyqivrexdb
    with dbapi.connect(pg, autocommit=True) as std:
        std.execute("create table core_n(id integer, v numeric(20,2))")
        assert [f[1] for f in std.table_layout("core_n")] == [7, 13]
        std.addrecords("core_n", [(1, D("12345678901234567.89"))])
        try:
            core = pyqivrexdb.connect(pg)
            try:
                core.addrecords("core_n", [[2, 2.5]])
                cur = core.cursor()
                cur.execute("select * from QXTBLSTRUCT(\"core_n\")")
                assert [r[3] for r in cur.fetchall()] == [7, 11]
            finally:
                core.close()
            got = std.execute("select id, v::text from core_n order by id").fetchall()
        finally:
            std.execute("drop table core_n")
    assert got == [(1, "12345678901234567.89"), (2, "2.50")]


# -- the engine: a Decimal a double would change is refused on every path --

INEXACT = [D("12345678901234567.89"), D("0.12345678901234567891"), D("1E-400"), D("123456789012345678901")]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("value", INEXACT, ids=str)
def test_the_engine_refuses_a_decimal_a_double_would_change(tmp_path, path, value):
    with dbapi.connect(str(tmp_path / "e.db")) as conn:
        conn.execute("create table n(id integer, v numeric(20,2))")
        rows = [(i, value) for i in range(dbapi._BULK_MIN_ROWS if path == "bulk" else 2)]
        with pytest.raises(dbapi.DataError, match="digits than|too small for a double"):
            write(conn, path, "n", rows)
        assert conn.execute("select count(*) from n").fetchone() == (0,)


@pytest.mark.parametrize("path", PATHS)
def test_the_engine_keeps_a_decimal_a_double_gives_back(tmp_path, path):
    exact = [D("0.1"), D("-0"), D("12345678.25"), D("1.7976931348623157E+308"), D("-2.5E-300")]
    n = dbapi._BULK_MIN_ROWS if path == "bulk" else len(exact)
    rows = [(i, exact[i % len(exact)]) for i in range(n)]
    with dbapi.connect(str(tmp_path / "e.db")) as conn:
        conn.execute("create table n(id integer, v numeric(20,2))")
        write(conn, path, "n", rows)
        got = conn.execute("select v from n order by id").fetchall()
    assert [D(repr(v)) for (v,) in got] == [v for _, v in rows]


# A server's cast binds tighter than a minus: a negative number before one
# goes in parentheses, so the cast takes it whole.
@pytest.mark.parametrize("sql, value, want", [
    ("select ?::text", -5, "-5"),
    ("select ?::text", -1.5, "-1.5"),
    ("select ?::text", D("-1.5"), "-1.5"),
    ("select ?::text", D("-7"), "-7"),
    ("select ?::text", -0.0, "-0"),
    ("select ?::int2::text", -32768, "-32768"),
    ("select (3-?)::text", -2, "5"),
    ("select 3-?", -2, 5),
    ("select ?::text", 5, "5"),
    ("select ? ::int2::text", -32768, "-32768"),
    ("select ? /* c */ ::int2::text", -32768, "-32768"),
    ("select (array[-1, -2])[?]", -1, None),
])
def test_a_negative_number_takes_a_cast_whole(pg, sql, value, want):
    with dbapi.connect(pg) as conn:
        cur = conn.cursor()
        # twice: the second binding reuses where the first found the marks
        for _ in range(2):
            assert cur.execute(sql, (value,)).fetchone()[0] == want
        assert cur.execute(sql.replace("?", ":v", 1), {"v": value}).fetchone()[0] == want


# SET, SHOW ... read a value as written, and no parenthesised one: with no
# cast after it a negative number stays bare.
@pytest.mark.parametrize("sql, value, setting, want", [
    ("set statement_timeout = ?", 1500, "statement_timeout", "1500ms"),
    ("set log_parameter_max_length_on_error = ?", -1, "log_parameter_max_length_on_error", "-1"),
    ("/* first */ SET LOCAL log_parameter_max_length_on_error TO ?", -1, "log_parameter_max_length_on_error", "-1"),
    ("set session time zone ?", -5, "timezone", "<-05>+05"),
])
def test_a_statement_taking_no_expression_gets_a_bare_number(pg, sql, value, setting, want):
    with dbapi.connect(pg) as conn:
        conn.execute(sql, (value,))
        assert conn.execute("select current_setting(?)", (setting,)).fetchone()[0] == want


# A real or double column keeps the nearest double of any number written to
# it, an integer beyond 2**53 too, as PostgreSQL's double precision keeps a
# numeric: exactness is promised for numeric columns only, on both backends.
@pytest.mark.parametrize("backend", ["engine", "postgresql"])
@pytest.mark.parametrize("declared, exact", [("real", False), ("double precision", False), ("numeric", True)])
def test_only_a_numeric_column_keeps_an_integral_decimal_beyond_a_double_exactly(tmp_path, pg, backend, declared,
                                                                                  exact):
    value = D(2 ** 53 + 1)
    with dbapi.connect(str(tmp_path / "e.db") if backend == "engine" else pg) as conn:
        conn.execute("create temporary table n(id integer, v %s)" % declared)
        if exact and backend == "engine":
            # the engine's numbers are doubles: its numeric refuses the value
            with pytest.raises(dbapi.DataError, match="column v: .*no exact double"):
                conn.execute("insert into n values (1, ?)", (value,))
            return
        conn.execute("insert into n values (1, ?)", (value,))
        got = conn.execute("select v from n").fetchone()[0]
    if exact:
        assert got == value
    else:
        assert type(got) is float and got == float(2 ** 53)


# A field without a declared width (text, json, an array) is 255 bytes in a
# bulk record: a longer value goes in by itself, as fewer rows take it.
@pytest.mark.parametrize("declared, value", [
    ("text", "y" * 300),
    ("jsonb", dbapi.Jsonb({"k": "x" * 300})),
    ("integer[]", list(range(100))),
], ids=["text", "jsonb", "array"])
def test_bulk_takes_a_value_longer_than_255_as_the_row_path_does(pg, declared, value):
    assert len(read_back(pg, "bulk", declared, value)) == 1


# -- dates: the server's date holds years 1 to 9999, the engine's 1900 to 2078 --

FAR_DATES = [dt.date(1, 1, 1), dt.date(1899, 12, 31), dt.date(2000, 2, 29), dt.date(2079, 1, 1), dt.date(9999, 12, 31)]


def far_rows(path):
    # Dates within the engine's days between the others: a bulk load packs
    # those and stores each far one by itself.
    n = dbapi._BULK_MIN_ROWS + 3 if path == "bulk" else len(FAR_DATES)
    days = [FAR_DATES[i % len(FAR_DATES)] for i in range(n)]
    return [(i, d, dt.datetime.combine(d, dt.time(23, 59, 59, 999999))) for i, d in enumerate(days)]


@pytest.mark.parametrize("path", PATHS)
def test_a_date_beyond_the_engines_days_is_stored_and_read_back_on_postgresql(pg, path):
    rows = far_rows(path)
    with dbapi.connect(pg) as conn:
        conn.execute("create temporary table d(id int, v date, t timestamp)")
        cur = conn.cursor()
        if path == "execute":
            for row in rows:
                cur.execute("insert into d values (?, ?, ?)", row)
        else:
            cur.executemany("insert into d values (?, ?, ?)", rows)
        assert cur.rowcount == (1 if path == "execute" else len(rows))
        got = conn.execute("select id, v, t from d order by id").fetchall()
    assert got == rows
    assert {(type(v), type(t)) for _, v, t in got} == {(dt.date, dt.datetime)}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("day", [dt.date(1, 1, 1), dt.date(2079, 1, 1)], ids=str)
def test_the_engine_still_refuses_a_date_beyond_its_days(tmp_path, path, day):
    with dbapi.connect(str(tmp_path / "e.db")) as conn:
        conn.execute("create table d(id integer, v date)")
        rows = [(i, day) for i in range(dbapi._BULK_MIN_ROWS if path == "bulk" else 2)]
        with pytest.raises(dbapi.DataError, match="outside the dates the engine holds"):
            write(conn, path, "d", rows)
        assert conn.execute("select count(*) from d").fetchone() == (0,)


def test_a_table_made_in_the_code_page_keeps_the_engines_days(pg):
    # A connection in CP866 makes tables the core face reads: their dates
    # are packed, so the check of the days stays.
    with dbapi.connect(pg, text_encoding="cp866") as conn:
        conn.execute("create temporary table d(id int, v date)")
        with pytest.raises(dbapi.DataError, match="column v: "):
            conn.execute("insert into d values (?, ?)", (1, dt.date(1, 1, 1)))
