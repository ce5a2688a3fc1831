"""executemany of a plain INSERT off the bulk path runs its records in
chunks, and checks values it binds itself instead of through the engine's
write checks: it must store and refuse exactly what a single statement
(checked by the engine) stores and refuses."""
import datetime
import math

import pytest

from pyqivrexdb import dbapi
from pyqivrexdb.errors import DatabaseError

ROWS = 200
AT = 100  # the row under test: inside a chunk, well past the first record

# (declared type, value): every element type at its bounds, and values an
# affinity converts before the check reads them
CASES = [
    ("tinyint", 255), ("tinyint", 0), ("tinyint", -1), ("tinyint", 256),
    ("boolean", 1),
    ("smallint", 32767), ("smallint", -32767), ("smallint", -32768), ("smallint", 40000),
    ("word", 65535), ("word", 65536), ("word", -1),
    ("integer", 2147483647), ("integer", -2147483647), ("integer", -2147483648), ("integer", 2**40),
    ("dword", 4294967295), ("dword", 4294967296), ("dword", -1),
    ("bigint", 2**63 - 1), ("bigint", -2**63),
    ("integer", 2.0), ("integer", 2.5), ("integer", "12"), ("integer", "lots"), ("integer", " 7 "),
    ("integer", b"\x01"),
    ("smallint", "40000"), ("smallint", "4e4"), ("smallint", "-1-2"),
    ("float", 3.4e38), ("float", 1e39), ("float", -1e39), ("float", 2**200), ("float", 1e-50),
    ("double", -0.0), ("double", math.inf), ("double", -math.inf), ("double", 1e308), ("double", 2**53 + 1),
    ("double", 2**63 - 1), ("double", "2.5"), ("double", "x"),
    ("money", 1.5), ("money", 10**15), ("money", 1e300), ("numeric", 7), ("numeric", "7"),
    ("varchar(3)", "abc"), ("varchar(3)", "abcd"), ("varchar(3)", "абв"), ("varchar(3)", "ёЁ№"),
    ("varchar(3)", "a\x00b"), ("varchar(3)", 12), ("varchar(3)", 1234), ("varchar(3)", 1.5),
    ("char(3)", "ab"), ("char(3)", "abcd"),
    ("text", "Привет"), ("text", "\u20ac"), ("text", "\x00"), ("text", "╬▓"), ("text", b"\xff"),
    ("date", datetime.date(1900, 1, 1)), ("date", datetime.date(2078, 12, 31)),
    ("date", datetime.date(1899, 12, 31)), ("date", datetime.date(2079, 1, 1)),
    ("date", "2024-01-02"), ("date", "1899-12-31"), ("date", "20240102"), ("date", "yesterday"),
    ("blob", b"\x00\xff"), ("blob", "text"), ("blob", 5),
    ("", 2**40), ("", 1.5), ("", "€"), ("", "абв"), ("", b"\x00"),
]
IDS = ["%s-%r" % (t or "none", v) for t, v in CASES]


def outcome(conn, write):
    """What writing does: ("stored", the value read back) or the refusal."""
    try:
        write()
    except DatabaseError as e:
        conn.rollback()
        return ("refused", type(e), str(e), getattr(e, "error_code_qivrex", None))
    row = conn.execute("select v from w where id = %d" % AT).fetchall()
    return ("stored", row)


@pytest.mark.parametrize("sql_type,value", CASES, ids=IDS)
def test_records_are_checked_as_a_single_statement_is(tmp_path, sql_type, value):
    """The engine's check (one statement) and the library's (a chunk of
    records) agree on every value; a refusal keeps the rows before it."""
    single = dbapi.connect(str(tmp_path / "one.db"))
    single.execute("create table w(id integer primary key, v %s)" % sql_type)
    single.commit()
    expected = outcome(single, lambda: single.execute("insert or abort into w values (?, ?)", (AT, value)))

    conn = dbapi.connect(str(tmp_path / "many.db"))
    conn.execute("create table w(id integer primary key, v %s)" % sql_type)
    conn.commit()
    rows = [(k, value if k == AT else None) for k in range(ROWS)]

    try:
        conn.cursor().executemany("insert or abort into w values (?, ?)", rows)
    except DatabaseError as e:
        assert conn.execute("select count(*), max(id) from w").fetchall() == [(AT, AT - 1)]
        conn.rollback()
        got = ("refused", type(e), str(e), getattr(e, "error_code_qivrex", None))
    else:
        assert conn.execute("select count(*) from w").fetchall() == [(ROWS,)]
        got = ("stored", conn.execute("select v from w where id = %d" % AT).fetchall())
    assert got == expected
    if expected[0] == "stored" and isinstance(value, float) and value == 0:
        assert math.copysign(1, got[1][0][0]) == math.copysign(1, expected[1][0][0])


def test_nan_is_refused_at_its_own_row(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(id integer primary key, v double)")
        rows = [(k, math.nan if k == AT else 1.0) for k in range(ROWS)]
        with pytest.raises(DatabaseError, match="(?i)nan"):
            conn.cursor().executemany("insert or abort into w values (?, ?)", rows)
        assert conn.execute("select count(*) from w").fetchall() == [(AT,)]


@pytest.mark.parametrize("sql", ["insert or abort into w values (?, ?)", "insert into w(n, id) values (?, ?)",
                                 "INSERT OR ABORT INTO \"w\" VALUES(?,?);", "insert or fail into w values (?, ?)",
                                 "insert or rollback into main.w values (?, ?)"])
def test_a_failing_chunk_keeps_the_rows_before_the_record_at_fault(tmp_path, sql):
    """A duplicate key inside a chunk: the rows before it stay, the error is
    the record's own, and the transaction goes on."""
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(id integer primary key, n smallint)")
        conn.execute("insert into w values (%d, 0)" % (AT + 1000))
        conn.commit()
        swap = "(n, id)" in sql
        rows = [(AT + 1000 if k == AT else k, k) for k in range(ROWS)]
        if swap:
            rows = [(b, a) for a, b in rows]
        with pytest.raises(dbapi.IntegrityError, match="UNIQUE"):
            conn.cursor().executemany(sql, rows)
        if "rollback" in sql:  # the conflict ended the transaction
            conn.rollback()
            assert conn.execute("select count(*) from w").fetchall() == [(1,)]
            return
        assert conn.execute("select count(*), max(id) from w where id < 1000").fetchall() == [(AT, AT - 1)]
        cur = conn.cursor()
        cur.executemany(sql, rows[AT + 1:])
        assert cur.rowcount == ROWS - AT - 1
        conn.commit()
        assert conn.execute("select count(*) from w").fetchall() == [(ROWS,)]


def test_a_constraint_failing_a_plain_insert_keeps_what_it_keeps(tmp_path):
    """ON CONFLICT FAIL keeps the rows before the failing one of a
    statement: each record before it is stored once."""
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(id integer, n smallint not null on conflict fail)")
        rows = [(None if k == AT else k, k) for k in range(ROWS)]
        with pytest.raises(dbapi.IntegrityError, match="NOT NULL"):
            conn.cursor().executemany("insert into w(n, id) values (?, ?)", rows)  # off the bulk path
        assert conn.execute("select count(*), count(distinct id) from w").fetchall() == [(AT, AT)]


def test_values_a_user_trigger_writes_elsewhere_are_checked(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(id integer primary key, n integer)")
        conn.execute("create table x(n smallint)")
        conn.execute("create trigger copy after insert on w begin insert into x values (new.n); end")
        rows = [(k, 40000 if k == AT else k) for k in range(ROWS)]
        with pytest.raises(DatabaseError, match="column n"):
            conn.cursor().executemany("insert or abort into w values (?, ?)", rows)
        assert conn.execute("select count(*) from x").fetchall() == [(AT,)]


@pytest.mark.parametrize("sql", ["insert or abort into w(id) values (?)",
                                 "insert or abort into w select ?, 40000",
                                 "insert or abort into w values (?, ? + 39999)"])
def test_values_the_library_did_not_bind_are_checked(tmp_path, sql):
    """A default, a SELECT, an expression: the engine's check still runs."""
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(id integer primary key, n smallint default 40000)")
        rows = [(k,) if sql.count("?") == 1 else (k, 1) for k in range(ROWS)]
        with pytest.raises(DatabaseError, match="column n"):
            conn.cursor().executemany(sql, rows)
        assert conn.execute("select count(*) from w").fetchall() == [(0,)]


def test_a_chosen_rowid_is_checked(tmp_path):
    """NULL into the key: the rowid SQLite chooses must fit the column."""
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        conn.execute("create table w(id integer primary key, n integer)")
        conn.execute("insert into w values (2147483647 - %d, 0)" % AT)
        rows = [(None, k) for k in range(ROWS)]
        with pytest.raises(DatabaseError, match="column id"):
            conn.cursor().executemany("insert or abort into w values (?, ?)", rows)
        assert conn.execute("select count(*) from w").fetchall() == [(AT + 1,)]


def test_a_virtual_table_takes_its_records_one_a_statement(tmp_path):
    with dbapi.connect(str(tmp_path / "a.db")) as conn:
        try:
            conn.execute("create virtual table f using fts5(a)")
        except DatabaseError:
            pytest.skip("no fts5")
        conn.cursor().executemany("insert or abort into f values (?)", [("word%d" % k,) for k in range(ROWS)])
        conn.commit()
        assert conn.execute("select count(*) from f where f match 'word150'").fetchall() == [(1,)]
