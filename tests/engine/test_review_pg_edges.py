"""Hostile values and paths on PostgreSQL: the same rows must be stored the
same way whichever path carries them (one execute a row, executemany, the
bulk load) and read back exactly through every read path."""
import datetime as dt
import ipaddress
import zoneinfo

import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn

PATHS = ["execute", "executemany", "bulk"]
BERLIN = zoneinfo.ZoneInfo("Europe/Berlin")


@pytest.fixture(scope="module")
def pg(request):
    return pg_dsn(request.getfixturevalue("pg_cluster"))


def write(conn, path, sql, rows):
    cur = conn.cursor()
    if path == "execute":
        for row in rows:
            cur.execute(sql, row)
    else:
        cur.executemany(sql, rows)


def rows_for(path, value):
    return [(i, value) for i in range(dbapi._BULK_MIN_ROWS if path == "bulk" else 2)]


def hours(h):
    return dt.timezone(dt.timedelta(hours=h))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("zone, tz", [
    ("'UTC'", dt.timezone.utc),
    ("'America/New_York'", zoneinfo.ZoneInfo("America/New_York")),
    # offsets the server shows as POSIX texts (<+05>-05), whose sign is west of UTC
    ("5", hours(5)),
    ("interval '-03:30'", hours(-3.5)),
    ("'UTC+3'", hours(-3)),
    ("'<+05:45>-05:45'", hours(5.75)),
    ("interval '+14:00'", hours(14)),
    ("'UTC-14'", hours(14)),
    ("'Etc/GMT+5'", hours(-5)),
    ("'+05:30'", hours(-5.5)),  # a bare offset is POSIX too: west of UTC
    ("interval '-09:30:15'", dt.timezone(-dt.timedelta(hours=9, minutes=30, seconds=15))),
    ("local", None),
])
def test_an_aware_datetime_into_a_timestamp_column_is_the_same_on_every_path(pg, path, zone, tz):
    # The server's rule: the instant, seen in the session's time zone.
    value = dt.datetime(2024, 7, 1, 12, 0, tzinfo=BERLIN)
    with dbapi.connect(pg) as conn:
        conn.execute("set time zone %s" % zone)
        if tz is None:  # the server's own zone
            tz = zoneinfo.ZoneInfo(conn.execute("show timezone").fetchone()[0])
        want = value.astimezone(tz).replace(tzinfo=None)
        conn.execute("create temporary table ts(id int, v timestamp)")
        write(conn, path, "insert into ts values (?, ?)", rows_for(path, value))
        got = conn.execute("select distinct v from ts").fetchall()
    assert got == [(want,)]


@pytest.mark.parametrize("columns", [
    "'1 mon'::interval * g as months, '1 year 2 mons'::interval as years",
    "array['1 mon'::interval] as months",
    """'{"b":1,  "a":2}'::json as doc""",
])
def test_the_asyncio_arrow_table_is_the_standard_faces_from_its_first_row(pg, columns):
    pytest.importorskip("pyarrow")
    import asyncio
    from pyqivrexdb import aio
    sql = "select g, %s from generate_series(1, 3) g order by g" % columns

    async def read():
        async with await aio.connect(pg) as conn:
            cur = await conn.execute(sql)
            return (await cur.fetch_arrow_table()).to_pylist()

    with dbapi.connect(pg) as conn:
        want = conn.execute(sql).fetch_arrow_table().to_pylist()
    assert asyncio.run(read()) == want


@pytest.mark.parametrize("text, want", [("a", "a"), ("", ""), (" a", " a"), ("a b", "a b")])
def test_a_char_column_and_an_array_of_it_read_the_same_text(pg, text, want):
    with dbapi.connect(pg) as conn:
        conn.execute("create temporary table ch(v char(3), a char(3)[])")
        conn.execute("insert into ch values (?, array[?::char(3)])", (text, text))
        value, array = conn.execute("select v, a from ch").fetchone()
    assert (value, array) == (want, [want])


@pytest.mark.parametrize("value", [
    [1, 2], [["a b", "NULL"], ["", None]], ["x,y", 'q"', "back\\slash", "{}"], [True, None],
    ipaddress.ip_address("::1"), ipaddress.ip_address("10.0.0.1"), ipaddress.ip_interface("10.0.0.1/24"),
    [ipaddress.ip_address("10.0.0.1")],
], ids=["ints", "nested texts", "texts to quote", "bools", "v6 address", "v4 address", "interface", "addresses"])
def test_a_server_value_into_a_text_column_is_the_same_text_on_every_path(pg, value):
    got = {}
    for path in PATHS:
        with dbapi.connect(pg) as conn:
            conn.execute("create temporary table tx(id int, v text)")
            write(conn, path, "insert into tx values (?, ?)", rows_for(path, value))
            got[path] = conn.execute("select distinct v from tx").fetchall()
    assert got["bulk"] == got["executemany"] == got["execute"]
