"""The shell on PostgreSQL: values of the server's own types shown, and
written by `.mode insert`, as the server can read them back."""
import csv
import io

import pytest

from conftest import pg_dsn
from shellrun import shell


@pytest.fixture(scope="module")
def pg(pg_cluster):
    return pg_dsn(pg_cluster)


def run_ok(dsn, *commands):
    r = shell(dsn, *commands)
    assert r.returncode == 0, r.stderr
    return r.stdout


# (an SQL value, how psql shows it)
SHOWN = [
    ("'infinity'::timestamp", "infinity"),
    ("'-infinity'::date", "-infinity"),
    ("'24:00'::time", "24:00:00"),
    ("'10000-01-01'::date", "10000-01-01"),
    ("array['a\"b', null]::text[]", '{"a\\"b",NULL}'),
    ("""'{"k": 1e400}'::json""", '{"k": 1e400}'),
    ("'2024-10-27 00:30:00+00'::timestamptz", "2024-10-27 00:30:00+00"),
]


@pytest.mark.parametrize("value, shown", SHOWN, ids=[v for v, _ in SHOWN])
def test_a_value_shows_as_the_server_writes_it(pg, value, shown):
    out = run_ok(pg, "set time zone 'UTC';", ".mode csv", ".headers off", "select %s;" % value)
    assert list(csv.reader(io.StringIO(out))) == [[shown]]


# (column type, value as an SQL literal)
INSERTED = [
    ("float8", "'NaN'"),
    ("float8", "'Infinity'"),
    ("float8", "'-Infinity'"),
    ("int[]", "'{1,NULL}'"),
    ("jsonb", """'{"a": "b"}'"""),
    ("numeric", "'0.0000001'"),
    ("date", "'infinity'"),
    ("interval", "'1 mon 2 days'"),
    ("timestamptz", "'2024-01-01 10:00:00+00'"),
]


@pytest.mark.parametrize("declared, literal", INSERTED)
def test_mode_insert_writes_what_the_server_reads_back_equal(pg, declared, literal):
    table = "ins"
    run_ok(pg, "drop table if exists ins;", "create table ins (v %s);" % declared, "insert into ins values (%s);" % literal)
    inserts = run_ok(pg, ".mode insert %s" % table, "select v from %s;" % table)
    run_ok(pg, inserts)
    out = run_ok(pg, ".mode csv", ".headers off", "select count(distinct v::text), count(v) from ins;")
    assert out.split() == ["1,2"]


def test_the_shell_reads_the_server_text_on_its_own_connection_only(pg):
    import datetime
    from pyqivrexdb import dbapi
    from pyqivrexdb.shell.db import Database
    before = dict(dbapi.converters)
    db = Database(pg)
    try:
        assert db.rows("select '1 day'::interval, array[1, null], 1.5::float8, true") == [("1 day", "{1,NULL}", 1.5,
                                                                                          True)]
    finally:
        db.conn.close()
    assert dbapi.converters == before
    with dbapi.connect(pg, detect_types=dbapi.PARSE_DECLTYPES) as conn:
        assert conn.execute("select '1 day'::interval").fetchone() == (datetime.timedelta(days=1),)
