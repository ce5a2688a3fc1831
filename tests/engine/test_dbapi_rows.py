"""Rows other than tuples: a cursor's row_factory (Row, dict_row,
namedtuple_row or any callable) applies to every way of fetching, on
either backend, and Row behaves as sqlite3.Row does."""
import datetime
import gc
import pickle
import weakref

import pytest

from pyqivrexdb import dbapi

DAY = datetime.date(2000, 1, 2)
ROWS = [(1, "Юг", DAY), (2, None, None)]


def fetch(cur, how):
    if how == "fetchone":
        return [cur.fetchone(), cur.fetchone()]
    if how == "fetchmany":
        return cur.fetchmany(5)
    if how == "iterate":
        return list(cur)
    return cur.fetchall()


@pytest.mark.parametrize("how", ["fetchone", "fetchmany", "fetchall", "iterate"])
@pytest.mark.parametrize("factory, convert", [
    (None, tuple),
    (dbapi.Row, lambda r: dbapi.Row(("id", "city", "day"), r)),
    (dbapi.dict_row, lambda r: dict(zip(("id", "city", "day"), r))),
    (dbapi.namedtuple_row, tuple),  # a named tuple equals its tuple
    (lambda cur, r: [cur.description[0][0]] + list(r), lambda r: ["id"] + list(r)),
], ids=["tuple", "Row", "dict_row", "namedtuple_row", "callable"])
def test_every_fetch_makes_rows_with_the_factory(dsn, how, factory, convert):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t(id integer, city varchar(5), day date)")
        conn.cursor().executemany("insert into t values (?, ?, ?)", ROWS)
        cur = conn.cursor()
        cur.row_factory = factory
        cur.execute("select id, city, day from t order by id")
        got = fetch(cur, how)
        assert got == [convert(r) for r in ROWS]
        assert all(type(r) is type(convert(ROWS[0])) for r in got) or factory is dbapi.namedtuple_row
        if factory is dbapi.namedtuple_row:
            assert (got[0].id, got[0].city, got[0].day) == ROWS[0]


def test_a_row_reads_by_index_slice_and_name_in_any_case(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.row_factory = dbapi.Row
        row = conn.execute("select 1 as id, 'x' as Имя, 3 as id").fetchone()
    assert (row[0], row[-1], row[1:], len(row), list(row)) == (1, 3, ("x", 3), 3, [1, "x", 3])
    assert (row["ID"], row["имя"], row["ИМЯ"], row["id"]) == (1, "x", "x", 1)  # the first of a name
    assert row.keys() == ["id", "Имя", "id"]
    assert "x" in row
    with pytest.raises(IndexError):
        row["nope"]
    with pytest.raises(IndexError):
        row[3]
    with pytest.raises(TypeError):
        row[1.0]


def test_rows_compare_hash_and_pickle_by_names_and_values():
    a = dbapi.Row(("id", "day"), (1, DAY))
    assert a == dbapi.Row(["id", "day"], [1, DAY]) and hash(a) == hash(dbapi.Row(("id", "day"), (1, DAY)))
    assert a != dbapi.Row(("ID", "day"), (1, DAY)) and a != dbapi.Row(("id", "day"), (2, DAY))
    assert a != (1, DAY)  # a tuple of the same values is not the row
    assert pickle.loads(pickle.dumps(a)) == a
    with pytest.raises(ValueError):
        dbapi.Row(("id",), (1, 2))


def test_a_cursor_takes_the_connections_factory_when_it_is_made(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        before = conn.cursor()
        conn.row_factory = dbapi.dict_row
        after = conn.cursor()
        conn.row_factory = None
        assert before.execute("select 1 as n").fetchall() == [(1,)]
        assert after.execute("select 1 as n").fetchall() == [{"n": 1}]
        # set after execute: read when the rows are first fetched
        cur = conn.execute("select 1 as n")
        cur.row_factory = dbapi.Row
        assert cur.fetchone().keys() == ["n"]


def test_named_tuples_rename_names_that_are_not_identifiers(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.row_factory = dbapi.namedtuple_row
        row = conn.execute("select 1 as n, 2 as \"count(*)\", 3 as n").fetchone()
    assert row == (1, 2, 3) and row._fields == ("n", "_1", "_2")


def test_a_failing_factory_fails_the_fetch(tmp_path):
    def boom(cur, row):
        raise KeyError(row)

    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        cur = conn.cursor()
        cur.row_factory = boom
        cur.execute("select 1")
        with pytest.raises(KeyError):
            cur.fetchall()


class PropertyCursor(dbapi.Cursor):
    row_factory = property(lambda self: dbapi.dict_row, lambda self, value: None)


class ClassAttributeCursor(dbapi.Cursor):
    row_factory = dbapi.Row

    def __init__(self, connection):
        super().__init__(connection)
        del self.row_factory  # the class's own shows through


@pytest.mark.parametrize("cls, want", [
    (PropertyCursor, {"id": 1}),
    (ClassAttributeCursor, dbapi.Row(("id",), (1,))),
], ids=["property", "class_attribute"])
def test_a_subclass_row_factory_of_its_own_is_read(tmp_path, cls, want):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        row = cls(conn).execute("select 1 as id").fetchone()
    assert row == want and type(row) is type(want)


def test_row_factory_reads_and_deletes_as_an_attribute(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        cur = conn.cursor()
        cur.row_factory = dbapi.dict_row
        assert cur.row_factory is dbapi.dict_row
        del cur.row_factory
        with pytest.raises(AttributeError):
            cur.row_factory
        with pytest.raises(AttributeError):
            del cur.row_factory
        assert cur.execute("select 1").fetchone() == (1,)
        # a factory that holds its cursor is collected with it
        cur.row_factory = lambda c, r, cur=cur: r
        assert cur.execute("select 2").fetchone() == (2,)
        gone = weakref.ref(cur)
        del cur
        gc.collect()
        assert gone() is None
