"""The engine's SQLite is the one compiled into it, whatever the system has."""
import pathlib
import re
import subprocess

import pytest

import pyqivrexdb
from conftest import library_path

PINNED = re.search(r"set\(QX_SQLITE_VERSION ([0-9.]+)\)",
                   (pathlib.Path(__file__).parents[2] / "qscli/sqlite/CMakeLists.txt").read_text()).group(1)


@pytest.fixture
def conn():
    c = pyqivrexdb.connect(":memory:")
    yield c
    c.close()


@pytest.fixture
def cur(conn):
    return conn.cursor()


def test_the_pinned_version_is_the_one_that_runs(conn, cur):
    assert conn.server_version() == "SQLite " + PINNED
    cur.execute("select sqlite_version() as v")
    assert [tuple(r) for r in cur.fetchall()] == [(PINNED,)]


def test_the_library_needs_no_system_sqlite():
    dynamic = subprocess.run(["readelf", "-d", str(library_path())], capture_output=True,
                             text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic)
    assert needed and not [n for n in needed if "sqlite" in n], needed


@pytest.mark.parametrize("setup, query, expected", [
    ("create virtual table docs using fts5(body);"
     "insert into docs values ('the quick brown fox'), ('lazy dogs sleep')",
     "select body from docs where docs match 'quick'", [("the quick brown fox",)]),
    ("create virtual table boxes using rtree(id, x0, x1);"
     "insert into boxes values (1, 0, 10), (2, 20, 30)",
     "select id from boxes where x0 <= 5 and x1 >= 5", [(1,)]),
    ("", "select json_extract('{\"a\": [1, 2]}', '$.a[1]') as j", [(2,)]),
    ("", "select sqrt(16.0) as r, floor(2.5) as f", [(4.0, 2.0)]),
    ("create table t (a); insert into t values (1)",
     "select count(*) as n from dbstat where name = 't'", [(1,)]),
])
def test_extensions_users_of_a_current_sqlite_expect(cur, setup, query, expected):
    for statement in filter(None, setup.split(";")):
        cur.execute(statement)
    cur.execute(query)
    assert [tuple(r) for r in cur.fetchall()] == expected


@pytest.mark.parametrize("name", [
    "file::memory:?cache=shared",
    "file:shared_a?mode=memory&cache=shared",
    "file:/shared_b?cache=shared&mode=memory",
])
def test_an_in_memory_database_named_for_sharing_is_shared_by_the_connections_of_the_process(name):
    from pyqivrexdb import dbapi
    first, second = dbapi.connect(name), dbapi.connect(name)
    try:
        first.execute("create table m(x integer)")
        first.execute("insert into m values (1)")
        first.commit()
        assert second.execute("select x from m").fetchall() == [(1,)]
        second.execute("insert into m values (2)")
        second.commit()
        assert first.execute("select x from m order by x").fetchall() == [(1,), (2,)]
        # Another name is another database; a private one shares nothing.
        with dbapi.connect("file:other?mode=memory&cache=shared") as other:
            assert other.execute("select count(*) from sqlite_schema").fetchone() == (0,)
        with dbapi.connect(":memory:") as private:
            assert private.execute("select count(*) from sqlite_schema").fetchone() == (0,)
    finally:
        first.close()
        second.close()
    # It goes with its last connection.
    with dbapi.connect(name) as again:
        assert again.execute("select count(*) from sqlite_schema").fetchone() == (0,)
