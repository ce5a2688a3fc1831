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
