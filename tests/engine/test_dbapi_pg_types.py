"""PostgreSQL's own types read through the standard face as Python's: each
value written as an SQL literal of its type and read back equal, of the exact type, with its sign, exponent and time zone offset. A
value Python cannot hold is refused naming the column, never brought near."""
import datetime
import decimal
import ipaddress
import json
import uuid

import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn

D = decimal.Decimal
TZ = datetime.timezone
H = datetime.timedelta(hours=1)


def at(*parts, offset=None):
    return datetime.datetime(*parts, tzinfo=None if offset is None else TZ(offset))


# (column type, literal, value read back)
VALUES = [
    ("numeric(20,2)", "12345678901234567.89", D("12345678901234567.89")),
    ("numeric(12,2)", "-9999999999.99", D("-9999999999.99")),
    ("numeric(5,2)", "-0.00", D("0.00")),
    ("numeric(2,5)", "0.00012", D("0.00012")),
    ("numeric(3,-2)", "-12345", D("-12300")),
    ("numeric", "'NaN'", D("NaN")),
    ("numeric", "'Infinity'", D("Infinity")),
    ("numeric", "'-Infinity'", D("-Infinity")),
    ("numeric", "1e-300", D("1e-300")),
    ("numeric", "123456789012345678901234567890.123456789012345678901234567890",
     D("123456789012345678901234567890.123456789012345678901234567890")),
    ("boolean", "true", True),
    ("boolean", "false", False),
    ("date", "'0001-01-01'", datetime.date(1, 1, 1)),
    ("date", "'1899-12-31'", datetime.date(1899, 12, 31)),
    ("date", "'9999-12-31'", datetime.date(9999, 12, 31)),
    ("time", "'00:00:00'", datetime.time(0)),
    ("time", "'23:59:59.999999'", datetime.time(23, 59, 59, 999999)),
    ("timetz", "'12:00:00-03:30'", datetime.time(12, tzinfo=TZ(-3.5 * H))),
    ("timestamp", "'2000-02-29 12:34:56.000001'", at(2000, 2, 29, 12, 34, 56, 1)),
    ("timestamp", "'0001-01-01 00:00:00'", at(1, 1, 1)),
    ("timestamp", "'9999-12-31 23:59:59.999999'", at(9999, 12, 31, 23, 59, 59, 999999)),
    # The session's zone is Europe/Berlin: each value at that moment's offset,
    # on both sides of the spring gap and the autumn fold.
    ("timestamptz", "'2024-03-31 00:59:59+00'", at(2024, 3, 31, 1, 59, 59, offset=H)),
    ("timestamptz", "'2024-03-31 01:00:00+00'", at(2024, 3, 31, 3, 0, 0, offset=2 * H)),
    ("timestamptz", "'2024-10-27 00:30:00+00'", at(2024, 10, 27, 2, 30, offset=2 * H)),
    ("timestamptz", "'2024-10-27 01:30:00+00'", at(2024, 10, 27, 2, 30, offset=H)),
    ("timestamptz", "'1800-01-01 00:00:00+00'", at(1800, 1, 1, 0, 53, 28, offset=datetime.timedelta(seconds=3208))),
    ("timestamptz", "'9999-12-31 22:59:59.999999+00'", at(9999, 12, 31, 23, 59, 59, 999999, offset=H)),
    ("interval", "'0'", datetime.timedelta(0)),
    ("interval", "'1 day -00:00:00.000001'", datetime.timedelta(days=1, microseconds=-1)),
    ("interval", "'-1 year -2 mons'", datetime.timedelta(days=-425)),
    ("interval", "'-00:00:01.5'", datetime.timedelta(seconds=-1.5)),
    ("interval", "'1000000 hours'", datetime.timedelta(hours=1000000)),
    ("uuid", "'00000000-0000-0000-0000-000000000000'", uuid.UUID(int=0)),
    ("uuid", "'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11'", uuid.UUID("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")),
    ("jsonb", """'{"k": "Жук", "big": 123456789012345678901234567890, "f": 1.5, "n": null}'""",
     {"k": "Жук", "big": 123456789012345678901234567890, "f": 1.5, "n": None}),
    ("json", """'"\\u0416"'""", "Ж"),
    ("json", "'null'", None),
    ("json", "'[]'", []),
    ("int[]", "'{}'", []),
    ("int[]", "'{{1,2},{3,NULL}}'", [[1, 2], [3, None]]),
    ("int[]", "'[0:1]={7,8}'", [7, 8]),
    ("text[]", """'{"a,b","c\\"d",NULL,"NULL",""}'""", ["a,b", 'c"d', None, "NULL", ""]),
    ("numeric[]", "array[1.50, null, 'NaN']", [D("1.50"), None, D("NaN")]),
    ("boolean[]", "'{t,f,NULL}'", [True, False, None]),
    ("timestamptz[]", "array['2024-06-01 00:00:00+00'::timestamptz]", [at(2024, 6, 1, 2, offset=2 * H)]),
    ("date[]", "'{{2024-01-01},{NULL}}'", [[datetime.date(2024, 1, 1)], [None]]),
    ("jsonb[]", """array['{"a": [1]}'::jsonb]""", [{"a": [1]}]),
    ("uuid[]", "'{}'", []),
    ("bytea[]", "array['\\x01ff'::bytea, null]", [b"\x01\xff", None]),
    ("float8[]", "'{1.5,-Infinity,NaN}'", [1.5, float("-inf"), "nan"]),
    ("inet", "'192.168.0.1'", ipaddress.ip_address("192.168.0.1")),
    ("inet", "'192.168.0.1/24'", ipaddress.ip_interface("192.168.0.1/24")),
    ("inet", "'::1'", ipaddress.ip_address("::1")),
    ("cidr", "'10.0.0.0/8'", ipaddress.ip_network("10.0.0.0/8")),
    ("inet[]", "'{10.1.2.3/16}'", [ipaddress.ip_interface("10.1.2.3/16")]),
    ("bytea", "'\\x00ff'", b"\x00\xff"),
    ("bytea", "'\\x'", b""),
]


def same(got, want):
    """Equal and of the same type all the way down, a Decimal to its sign and
    exponent, an aware value to its offset."""
    if want == "nan":
        return isinstance(got, float) and got != got
    if type(got) is not type(want):
        return False
    if isinstance(want, list):
        return len(got) == len(want) and all(same(g, w) for g, w in zip(got, want))
    if isinstance(want, dict):
        return got.keys() == want.keys() and all(same(got[k], want[k]) for k in want)
    if isinstance(want, D):
        return got.as_tuple() == want.as_tuple()
    if isinstance(want, (datetime.datetime, datetime.time)):
        # The wall time and its offset: an instant of a repeated hour in a
        # zone with rules never equals one of another zone (PEP 495).
        return got.replace(tzinfo=None) == want.replace(tzinfo=None) and got.utcoffset() == want.utcoffset() and \
            (got.tzinfo is None) == (want.tzinfo is None)
    return got == want


@pytest.fixture(scope="module")
def conn(pg_cluster):
    c = dbapi.connect(pg_dsn(pg_cluster), autocommit=True)
    c.execute("set timezone = 'Europe/Berlin'")
    yield c
    c.close()


@pytest.mark.parametrize("kind, literal, want", VALUES, ids=[f"{k}:{v[:30]}" for k, v, _ in VALUES])
def test_a_value_reads_back_exactly_as_its_python_type(conn, kind, literal, want):
    rows = conn.execute(f"select v from (values (({literal})::{kind}), (null)) as t(v)").fetchall()
    assert same(rows[0][0], want), (rows[0][0], want)
    assert rows[1] == (None,)


@pytest.mark.parametrize("kind, literal", [
    ("timestamp", "'infinity'"),
    ("timestamptz", "'-infinity'"),
    ("timestamp", "'10000-01-01 00:00:00'"),
    ("date", "'infinity'"),
    ("date", "'10000-01-01'"),
    ("date", "'0044-03-15 BC'"),
    ("time", "'24:00:00'"),
    ("interval", "'178000000 years'"),
    ("timestamp[]", "array['infinity'::timestamp]"),
])
def test_a_value_python_cannot_hold_is_refused_naming_its_column(conn, kind, literal):
    with pytest.raises(dbapi.DataError, match=r"column held: .*outside"):
        conn.execute(f"select {literal}::{kind} as held").fetchall()


def test_json_reads_through_the_loads_set(conn):
    dbapi.set_json_loads(lambda text: ("loaded", json.loads(text)))
    try:
        assert conn.execute("""select '{"a": 1}'::jsonb""").fetchone() == (("loaded", {"a": 1}),)
    finally:
        dbapi.set_json_loads(None)
    assert conn.execute("""select '{"a": 1}'::jsonb""").fetchone() == ({"a": 1},)


def test_a_connections_own_loads_wins_and_stays_its_own(conn, pg_cluster):
    dbapi.set_json_loads(lambda text: "module")
    try:
        with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as own:
            own.json_loads = lambda text: ("own", json.loads(text))
            # one result holds a document, another (nested reads) the other's
            assert own.execute("select '[1]'::json, array['{}'::jsonb]").fetchone() == (("own", [1]), [("own", {})])
            assert conn.execute("select '[1]'::json").fetchone() == ("module",)
    finally:
        dbapi.set_json_loads(None)


def test_a_loads_that_refuses_raises_data_error_naming_the_column(conn):
    def refuse(text):
        raise ValueError("no documents today")
    dbapi.set_json_loads(refuse)
    try:
        with pytest.raises(dbapi.DataError, match="column doc: no documents today"):
            conn.execute("select '{}'::json as doc").fetchall()
    finally:
        dbapi.set_json_loads(None)


def test_the_core_face_reads_as_before(pg_cluster):
    import pyqivrexdb
    conn = pyqivrexdb.connect(pg_dsn(pg_cluster))
    cur = conn.cursor()
    cur.execute("select 1.5::numeric(4,2) as n, true as b, '2024-01-02 03:04:05'::timestamp as t")
    assert [type(v) for v in cur.fetchall()[0]] == [float, int, str]
    conn.close()


def test_every_batch_of_a_long_result_reads_through_the_loaders(conn):
    rows = conn.execute("select g::numeric(12,2) / 100, '2024-01-01'::date + g "
                        "from generate_series(1, 50000) g").fetchall()
    assert sum(r[0] for r in rows) == D(50000 * 50001 // 2) / 100
    assert rows[-1][1] == datetime.date(2024, 1, 1) + datetime.timedelta(days=50000)
    assert {type(r[0]) for r in rows} == {D}


def test_rows_holding_documents_stay_tracked_by_the_collector(conn):
    import gc
    assert not gc.is_tracked(conn.execute("select 1.5::numeric, now()").fetchone())
    row = conn.execute("select '{}'::jsonb").fetchone()
    assert gc.is_tracked(row)
    row[0]["self"] = row  # a cycle through the row, which the collector frees
    del row
    gc.collect()


@pytest.mark.parametrize("kind, literal, group", [
    ("numeric(12,2)", "1.50", dbapi.NUMBER),
    ("date", "'2024-01-01'", dbapi.DATETIME),
    ("timestamp", "'2024-01-01 00:00'", dbapi.DATETIME),
    ("timestamptz", "'2024-01-01 00:00+00'", dbapi.DATETIME),
    ("time", "'12:00'", dbapi.DATETIME),
    ("timetz", "'12:00+01'", dbapi.DATETIME),
    ("boolean", "true", dbapi.NUMBER),
    ("text", "'x'", dbapi.STRING),
    ("uuid", "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'", dbapi.STRING),
])
def test_a_columns_type_code_is_of_the_group_its_values_are(conn, kind, literal, group):
    cur = conn.execute(f"select ({literal})::{kind} as v")
    cur.fetchall()  # and still after the rows are read
    assert cur.description[0][1] == group


def test_arrow_reads_a_numeric_column_by_its_element_type(conn):
    pytest.importorskip("pyarrow")
    table = conn.cursor().execute("select 1.50::numeric(12,2) as n, '2024-01-01'::date as d").fetch_arrow_table()
    assert table.num_rows == 1


def test_each_threads_connection_reads_json_through_its_own_loads(pg_cluster):
    import threading
    import time
    wrong = []

    def read(tag):
        def loads(text):
            time.sleep(0)  # lets the other thread read between two documents
            return tag
        with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as own:
            own.json_loads = loads
            for _ in range(20):
                rows = own.execute("select '{}'::json from generate_series(1, 200)").fetchall()
                wrong.extend(r[0] for r in rows if r[0] != tag)

    threads = [threading.Thread(target=read, args=(tag,)) for tag in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


# -- timestamptz in the session's time zone --

# Instants around the clocks going forward and back, with the wall time the
# zone shows and whether it is the second showing of a repeated hour.
ACROSS_DST = [
    ("Europe/Berlin", "2024-03-31 00:59:59+00", (2024, 3, 31, 1, 59, 59), 0),
    ("Europe/Berlin", "2024-03-31 01:00:00+00", (2024, 3, 31, 3, 0, 0), 0),
    ("Europe/Berlin", "2024-10-27 00:30:00+00", (2024, 10, 27, 2, 30), 0),
    ("Europe/Berlin", "2024-10-27 01:30:00+00", (2024, 10, 27, 2, 30), 1),
    ("Europe/Berlin", "1800-01-01 00:00:00+00", (1800, 1, 1, 0, 53, 28), 0),
    ("America/New_York", "2024-11-03 05:30:00+00", (2024, 11, 3, 1, 30), 0),
    ("America/New_York", "2024-11-03 06:30:00+00", (2024, 11, 3, 1, 30), 1),
    ("Australia/Lord_Howe", "2024-04-06 15:15:00+00", (2024, 4, 7, 1, 45), 1),
]


@pytest.mark.parametrize("zone", sorted({z for z, *_ in ACROSS_DST}))
def test_timestamptz_reads_in_the_sessions_zone_across_a_dst_change(pg_cluster, zone):
    zoneinfo = pytest.importorskip("zoneinfo")
    cases = [c for c in ACROSS_DST if c[0] == zone]
    values = ", ".join("('%s'::timestamptz)" % instant for _, instant, _, _ in cases)
    with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as c:
        c.execute("set time zone '%s'" % zone)
        got = [v for (v,) in c.execute("select v from (values %s) as t(v)" % values)]
        array = c.execute("select array[%s]" % ", ".join("'%s'::timestamptz" % i for _, i, _, _ in cases)).fetchone()[0]
    tz = zoneinfo.ZoneInfo(zone)
    for value, (_, instant, wall, fold) in zip(got, cases):
        assert value.tzinfo is tz and value.fold == fold
        assert value.replace(tzinfo=None, fold=0) == datetime.datetime(*wall)
        assert value.astimezone(TZ.utc) == datetime.datetime.fromisoformat(instant)
    assert array == got and all(v.tzinfo is tz for v in array)


def test_an_offset_zone_reads_as_a_fixed_offset(pg_cluster):
    with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as c:
        c.execute("set time zone interval '+05:30' hour to minute")
        got = c.execute("select '2024-06-01 00:00:00+00'::timestamptz").fetchone()[0]
    assert got.tzinfo == TZ(datetime.timedelta(hours=5, minutes=30)) and got.hour == 5


def test_each_result_takes_the_zone_the_session_has_when_it_is_made(pg_cluster):
    with dbapi.connect(pg_dsn(pg_cluster)) as c:
        c.execute("set time zone 'UTC'")
        c.commit()
        first = c.cursor().execute("select '2024-06-01 00:00:00+00'::timestamptz")
        c.execute("set time zone 'Asia/Tokyo'")
        assert str(c.execute("select now()").fetchone()[0].tzinfo) == "Asia/Tokyo"
        c.rollback()  # takes the SET back
        assert str(c.execute("select now()").fetchone()[0].tzinfo) == "UTC"
        assert str(first.fetchone()[0].tzinfo) == "UTC"


def test_pandas_gets_one_zoned_dtype_across_a_dst_change(pg_cluster):
    pd = pytest.importorskip("pandas")
    with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as c:
        c.execute("set time zone 'Europe/Berlin'")
        cur = c.execute("select g from generate_series('2024-10-26 23:00+00'::timestamptz, "
                        "'2024-10-27 03:00+00', interval '30 minutes') g")
        frame = pd.DataFrame(cur.fetchall(), columns=["g"])
    assert str(frame["g"].dtype).startswith("datetime64[") and str(frame["g"].dtype).endswith(", Europe/Berlin]")
    assert frame["g"].is_monotonic_increasing and frame["g"].is_unique
