"""Hostile texts through the standard face and the shell on either backend:
bound, spelled as literals, loaded by executemany's bulk path and typed
into the shell, each is stored exactly as passed, and the statement that
runs is the one written."""
import pytest

from pyqivrexdb import dbapi
from shellrun import shell

HOSTILE = [
    "Why?", "?", "??", ":name", "a::b", "$1", "$$", "$q$", "a$b$", "x; delete from t;", "-- c", "/* c", "*/",
    'QXTBLSTRUCT("t")', "C:\\", "\\'", "it's", "''", 'say "hi"', "[x]", "`x`", "E'\\''", "U&'x'", "\n;\n",
]


@pytest.fixture
def conn(dsn, backend):
    c = dbapi.connect(dsn)
    assert c.dialect == {"sqlite": "engine", "postgresql": "postgresql"}[backend]
    c.execute("create table t (id integer, v varchar(40))")
    c.commit()
    yield c
    c.close()


def stored(conn):
    return [r[0] for r in conn.execute("select v from t order by id").fetchall()]


def literal(text):
    # standard_conforming_strings on both: only a quote is doubled
    return "'" + text.replace("'", "''") + "'"


def test_bound(conn):
    for i, v in enumerate(HOSTILE):
        conn.execute("insert into t values (?, ?)", (i, v))
        conn.execute("insert into t values (:i, :v)", {"i": i + 1000, "v": v})
    assert stored(conn) == HOSTILE + HOSTILE


def test_spelled_as_literals(conn):
    for i, v in enumerate(HOSTILE):
        conn.execute("insert into t values (%d, %s) -- ? ;" % (i, literal(v)))
        assert conn.execute("select v from t where id = ? and v = %s" % literal(v), (i,)).fetchall() == [(v,)]
    assert stored(conn) == HOSTILE


def test_bulk_path(conn):
    rows = [(i, HOSTILE[i % len(HOSTILE)]) for i in range(3 * len(HOSTILE))]
    cur = conn.cursor()
    cur.executemany('insert into "t" (id, v) values (?, ?) ; -- ?', rows)
    assert cur.rowcount == len(rows)
    assert stored(conn) == [v for _, v in rows]


def test_shell(conn, dsn):
    conn.close()
    script = "".join("insert into t values (%d, %s);\n" % (i, literal(v)) for i, v in enumerate(HOSTILE))
    r = shell(dsn, stdin=script)
    assert r.returncode == 0, r.stderr
    with dbapi.connect(dsn) as c:
        assert stored(c) == HOSTILE
