"""A table's layout on either backend: read through the standard face, kept
per connection, read anew once the table changes, whatever its name."""
import pytest

from pyqivrexdb import dbapi
from pyqivrexdb.shell.db import Database

CHAR, LONG = 0, 7


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn, autocommit=True)
    yield c
    c.close()


def all_rows(conn, table):
    cur = conn.cursor()
    cur.execute('select * from "%s" order by 1' % table.replace('"', '""'))
    return cur.fetchall()


@pytest.mark.parametrize("table", ["t", 'a"b', "Жук"])
def test_layout_then_loads_into_any_table_name(conn, table):
    quoted = '"%s"' % table.replace('"', '""')
    conn.execute("create table %s (n integer, s varchar(8))" % quoted)
    layout = conn.table_layout(table)
    assert [(name, code) for name, code, _, _ in layout] == [("n", LONG), ("s", CHAR)]
    assert conn.addrecords(table, [(1, "a"), (2, None)]) == 2
    conn.cursor().executemany("insert into %s values (?, ?)" % quoted, [(i, "r") for i in range(3, 103)])
    assert len(all_rows(conn, table)) == 102


@pytest.mark.parametrize("comment", ["", "/* a /* nested */ select */ "])
def test_a_changed_table_is_read_anew(conn, backend, comment):
    if comment and backend != "postgresql":
        pytest.skip("the engine's comments do not nest")
    conn.execute("create table t (n integer)")
    conn.addrecords("t", [(1,)])
    conn.execute(comment + "alter table t add column s varchar(4)")
    assert [name for name, _, _, _ in conn.table_layout("t")] == ["n", "s"]
    conn.addrecords("t", [(2, "x")])
    assert all_rows(conn, "t") == [(1, None), (2, "x")]


def test_another_connections_change_is_seen_at_the_refused_load(conn, dsn):
    conn.execute("create table t (n integer)")
    conn.addrecords("t", [(1,)])
    with dbapi.connect(dsn, autocommit=True) as other:
        other.execute("alter table t add column s varchar(4)")
    with pytest.raises(dbapi.Error):
        conn.addrecords("t", [(2,)])
    conn.addrecords("t", [(3, "y")])
    assert all_rows(conn, "t") == [(1, None), (3, "y")]


def test_the_shell_reads_a_quoted_table_name(dsn):
    with dbapi.connect(dsn, autocommit=True) as c:
        c.execute('create table "a""b" (n integer)')
    db = Database(dsn)
    try:
        assert [f[:2] for f in db.fields('a"b')] == [("n", LONG)]
    finally:
        db.conn.close()
