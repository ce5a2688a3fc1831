"""A value that is accepted reads back equal: every write path (the core
face's spliced text, the standard face's bound statement, executemany on
both sides of the bulk threshold, addrecords) either stores a value that
reads back as written, or refuses it, the same way, before anything stays."""
import datetime

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi
from pyqivrexdb.errors import DataError, DatabaseError, ProgrammingError

BULK = 64  # executemany of this many rows or more takes the bulk path
EURO = "\u20ac"
SURROGATE = "\ud800"  # no encoding carries it

# (declared type, value, stored): stored False means every path refuses it.
# A write keeps to the element type's declared range; a read takes every
# bit pattern (-32768 reads, is never written).
CASES = [
    ("integer", 5, True),
    ("integer", 2147483647, True),
    ("integer", -2147483647, True),
    ("integer", -2147483648, False),
    ("integer", 2**40, False),
    ("integer", "lots", False),
    ("smallint", -32767, True),
    ("smallint", -32768, False),
    ("smallint", 40000, False),
    ("double precision", 2.5, True),
    ("double precision", 2**53, True),
    ("varchar(3)", "abc", True),
    ("varchar(3)", "абв", True),
    ("varchar(3)", "abcd", False),
    ("text", "Привет", True),
    ("text", EURO, True),  # the core face cannot send it: see below
    ("text", SURROGATE, False),
    ("date", datetime.date(1900, 1, 1), True),
    ("date", datetime.date(2078, 12, 31), True),
    ("date", datetime.date(1899, 12, 31), False),
    ("date", datetime.date(2079, 1, 1), False),
]
IDS = ["%s-%r" % (t, v) for t, v, _ in CASES]
PATHS = ["core", "execute", "executemany", "bulk", "addrecords"]

def core_literal(value):
    # the core face splices its parameters as they are: the caller quotes
    if isinstance(value, (str, datetime.date)):
        return "'%s'" % value
    return repr(value)


def write(dsn, conn, path, value):
    if path == "core":
        core = pyqivrexdb.connect(dsn)
        try:
            core.cursor().execute("insert into w values (%s)" % core_literal(value))
        finally:
            core.close()
    elif path == "execute":
        conn.execute("insert into w values (?)", (value,))
    elif path == "executemany":
        conn.cursor().executemany("insert into w values (?)", [(value,)] * 3)
    elif path == "bulk":
        conn.cursor().executemany("insert into w values (?)", [(value,)] * BULK)
    else:
        conn.addrecords("w", [[value]])


def read_back(conn):
    cur = conn.cursor()
    cur.execute("select v from w")
    return {r[0] for r in cur.fetchall()}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("sql_type,value,stored", CASES, ids=IDS)
def test_a_written_value_reads_back_or_is_refused(dsn, backend, path, sql_type, value, stored):
    if sql_type == "date" and backend == "postgresql":
        # the server's date holds any Python date, and a table the standard
        # face made (in UTF-8) reads its dates as text: no check of the days
        stored = True
    with dbapi.connect(dsn, autocommit=True) as conn:
        conn.execute("create table w(v %s)" % sql_type)
        if path == "core" and value == EURO:
            # code page 866 has no euro sign: the core face cannot say it
            with pytest.raises(UnicodeEncodeError):
                write(dsn, conn, path, value)
            return
        if stored:
            write(dsn, conn, path, value)
            assert read_back(conn) == {value}
            return
        with pytest.raises((DatabaseError, UnicodeEncodeError)) as e:
            write(dsn, conn, path, value)
        if path == "core":
            # refused by the library (-20), or by the driver: the core face
            # sends its text in CP866, which lacks the character
            assert isinstance(e.value, UnicodeEncodeError) == (value == SURROGATE)
            assert value == SURROGATE or e.value.error_code_qivrex == -20
        elif path == "execute":
            assert isinstance(e.value, DataError)
        else:
            # a str where a number belongs is a wrong type to executemany,
            # whatever its number of rows, as to addrecords
            assert isinstance(e.value, ProgrammingError if isinstance(value, str) and "int" in sql_type
                              else (DataError, ProgrammingError))
        assert read_back(conn) == set()


def test_temporary_tables_are_checked_too(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create temp table w(n smallint, d date)")
        with pytest.raises(DataError, match="column n"):
            conn.execute("insert into w(n) values (?)", (-32768,))
        with pytest.raises(DataError, match="column d"):
            conn.execute("insert into w(d) values ('2079-01-01')")
        conn.execute("insert into w values (1, ?)", (datetime.date(2000, 1, 1),))
        assert conn.execute("select n from w").fetchall() == [(1,)]


def test_the_core_face_is_refused_when_it_writes(dsn, backend):
    conn = pyqivrexdb.connect(dsn)
    try:
        conn.execute("create table w(v integer)")
        cur = conn.cursor()
        with pytest.raises(DatabaseError) as e:
            cur.execute("insert into w values ('lots')")
        assert e.value.error_code_qivrex == -20
        cur.execute("select count(*) from w")
        assert cur.fetchall() == [[0]]
    finally:
        conn.close()


def test_the_refusal_names_the_column_and_leaves_the_transaction(tmp_path):
    conn = dbapi.connect(str(tmp_path / "a.db"))
    conn.execute("create table w(id integer, qty integer)")
    conn.execute("insert into w values (1, 1)")
    with pytest.raises(DataError, match="column qty: text 'lots'"):
        conn.execute("update w set qty = 'lots'")
    conn.execute("insert into w values (2, 2)")
    conn.commit()
    assert sorted(conn.execute("select id, qty from w").fetchall()) == [(1, 1), (2, 2)]
    conn.close()


def test_an_update_checks_only_what_it_changes(tmp_path):
    # A row stored before the check existed (by another tool) stays
    # updatable in its other columns.
    import sqlite3
    path = str(tmp_path / "a.db")
    with sqlite3.connect(path) as raw:
        raw.execute("create table w(id integer, qty integer)")
        raw.execute("insert into w values (1, 'lots')")
    with dbapi.connect(path) as conn:
        conn.execute("update w set id = 2")
        with pytest.raises(DataError):
            conn.execute("update w set qty = 'more'")


def test_a_table_changed_by_another_connection_is_checked_as_it_is_now(tmp_path):
    path = str(tmp_path / "a.db")
    with dbapi.connect(path, autocommit=True) as a, dbapi.connect(path, autocommit=True) as b:
        a.execute("create table w(id integer)")
        a.execute("insert into w values (1)")  # a's checks are made now
        b.execute("alter table w add column n smallint")
        b.execute("create table u(x byte)")
        with pytest.raises(DataError, match="column n"):
            a.execute("insert into w(id, n) values (2, 99999)")
        with pytest.raises(DataError, match="column x"):
            a.execute("insert into u values (256)")


def test_a_rolled_back_transaction_takes_no_check_with_it(tmp_path):
    # The checks made inside a transaction go with its rollback; they are
    # made again for the next write.
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(v integer)")
        conn.commit()
        conn.execute("insert into w values (1)")
        conn.rollback()
        with pytest.raises(DataError):
            conn.execute("insert into w values ('lots')")


@pytest.mark.parametrize("row, field, value, cls", [
    ([300, "a"], "a", 300, DataError),
    ([1, "abcd"], "s", "abcd", DataError),
    (["x", "a"], "a", "x", ProgrammingError),
    ([1], None, None, ProgrammingError),  # the row as a whole
])
def test_a_refused_load_says_row_field_and_value_as_attributes(tmp_path, row, field, value, cls):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table t(a byte, s varchar(3))")
        with pytest.raises(cls) as e:
            conn.addrecords("t", [[1, "ok"], row])
        assert (e.value.row, e.value.field, e.value.value) == (1, field, value)
        assert str(e.value) == ("row 1, field %s: %s" % (field, e.value.reason) if field
                                else "row 1: %s" % e.value.reason)


@pytest.mark.parametrize("path", ["execute", "executemany", "bulk", "addrecords"])
def test_infinities_are_stored_and_nan_refused(dsn, path):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table w(v double precision)")
        write(None, conn, path, float("inf"))
        write(None, conn, path, float("-inf"))
        assert read_back(conn) == {float("inf"), float("-inf")}
        with pytest.raises(DataError):
            write(None, conn, path, float("nan"))


W = "insert into w(id) values (?)"
W2 = "insert into w values (?, ?)"
U = "insert into u values (?)"

# Steps on one connection inside a transaction, "b:" on another in
# autocommit; the last step's values are ones no read could return, so it
# is refused however many rows were checked before it.
AFTER_A_SCHEMA_CHANGE = {
    "ddl in the transaction": [
        (W, 1), (W, 2), ("alter table w add column n smallint default 99999",), (W, 3)],
    "a cached drop and create run twice": [
        ("drop table if exists u",), ("create table u(x byte)",), (U, 1), (U, 2),
        ("drop table if exists u",), ("create table u(x byte)",), (U, 300)],
    "rollback to a savepoint that made checks": [
        (W, 1), ("alter table w add column n smallint",), ("savepoint sp",), (W2, 2, 1), (W2, 3, 1),
        ("rollback to sp",), (W2, 4, 99999)],
    "a savepoint released over a dropped table": [
        (W, 1), ("savepoint sp",), ("drop table w",), ("create table w(id smallint)",), (W, 2),
        ("release sp",), (W, 99999)],
    "a temporary table shadowing the one written": [
        (W, 1), (W, 2), ("create temp table w(id smallint)",), (W, 99999)],
    "another connection's alter between transactions": [
        (W, 1), (W, 2), ("commit",), ("b:alter table w add column n smallint default 99999",), (W, 3)],
}


@pytest.mark.parametrize("steps", AFTER_A_SCHEMA_CHANGE.values(), ids=AFTER_A_SCHEMA_CHANGE)
def test_writes_after_a_schema_change_are_checked_as_it_is_now(tmp_path, steps):
    path = str(tmp_path / "a.db")
    with dbapi.connect(path, autocommit=True) as setup:
        setup.execute("create table w(id integer)")
    with dbapi.connect(path) as a, dbapi.connect(path, autocommit=True) as b:
        def run(step):
            sql, params = step[0], step[1:]
            if sql.startswith("b:"):
                b.execute(sql[2:])
            else:
                a.execute(sql, params) if params else a.execute(sql)
        for step in steps[:-1]:
            run(step)
        with pytest.raises(DataError):
            run(steps[-1])


def test_executemany_refuses_a_late_row_off_the_bulk_path(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(id integer, n smallint)")
        rows = [(k, k) for k in range(BULK - 2)] + [(99, 40000)]
        with pytest.raises(DataError, match="column n"):
            conn.cursor().executemany("insert or abort into w values (?, ?)", rows)
        assert conn.execute("select count(*), max(n) from w").fetchall() == [(BULK - 2, BULK - 3)]


@pytest.mark.parametrize("autocommit", [True, False])
def test_a_column_can_be_dropped_and_the_checks_follow_the_new_table(tmp_path, autocommit):
    # The engine's write checks are triggers naming every column; SQLite
    # refused to drop a column any trigger names.
    with dbapi.connect(str(tmp_path / "d.db"), autocommit=autocommit) as conn:
        conn.execute("create table t(a integer, b text, s smallint)")
        conn.execute("insert into t values (1, 'x', 2)")
        conn.execute("alter table t drop column b")
        conn.execute("alter table t drop column a")
        with pytest.raises(DataError, match="does not fit"):
            conn.execute("insert into t values (40000)")
        conn.execute("insert into t values (3)")
        assert conn.execute("select s from t order by s").fetchall() == [(2,), (3,)]
