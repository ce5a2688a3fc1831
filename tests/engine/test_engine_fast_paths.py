"""The engine's quick paths give what the long ways gave: dates written by a
bulk load as ISO text, and statements whose literals become parameters."""
import datetime
import sqlite3
import struct
import time

import pytest

import pyqivrexdb

DATES = [datetime.date(1900, 1, 1), datetime.date(1900, 2, 28), datetime.date(1999, 12, 31),
         datetime.date(2000, 2, 29), datetime.date(2024, 10, 9), datetime.date(2078, 12, 31)]


def test_bulk_dates_stored_as_iso_text(tmp_path):
    path = str(tmp_path / "d.db")
    with pyqivrexdb.connect(path) as conn:
        conn.cursor().execute("create table t(n integer, d date)")
        conn.addrecords("t", [[i, d] for i, d in enumerate(DATES)])
    raw = sqlite3.connect(path)
    try:
        assert raw.execute("select d from t order by n").fetchall() == [(d.isoformat(),) for d in DATES]
    finally:
        raw.close()


@pytest.fixture(scope="module")
def cur():
    conn = pyqivrexdb.connect(":memory:")
    c = conn.cursor()
    c.execute("create table p(n integer, s varchar(8))")
    c.execute("insert into p values (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')")
    yield c
    conn.close()


# Every word that steers which literals become parameters, in upper, lower
# and mixed case, run twice with other literals: the second run takes the
# prepared statement of the first.
@pytest.mark.parametrize("sql, first, second", [
    ("select n from p where n = %d", 2, 3),
    ("SELECT n FROM p WHERE n IN (%d, 4) ORDER BY n", 1, 2),
    ("Select n From p Where n Between %d And 3 Order By n", 2, 1),
    ("select n from p where n > 0 order by n limit %d offset 1", 1, 2),
    ("select n from p where not n <> %d", 4, 1),
    ("select n from p where s like 'a' or n is %d", 3, 2),
    ("select n from p where case when n = %d then 1 else 0 end = 1", 1, 4),
    ("select n from p where n = %d union select n from p where n = 1 order by 1", 2, 3),
    ("with q as (select n from p where n >= %d) select n from q order by n", 3, 4),
    ("select n from p group by n having n = %d", 2, 1),
])
def test_literal_words(cur, sql, first, second):
    raw = sqlite3.connect(":memory:")
    raw.execute("create table p(n integer, s varchar(8))")
    raw.execute("insert into p values (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')")
    for value in (first, second, first):
        cur.execute(sql % value)
        assert [r[0] for r in cur.fetchall()] == [r[0] for r in raw.execute(sql % value)]
    raw.close()


# Real literals become parameters too, with the value SQLite itself reads from
# the text, the sign included (-0.0 stays negative), in every column affinity.
REALS = ["0.1", "1e308", "0.0", "-0.0", "1.5e-320", "1e999", "1e-400", ".5", "5.", "2.5E+3",
         "0.30000000000000004", "123456789012345678.9", "4.9406564584124654e-324", "- -2.5", "+7.25"]


def _bits(rows):
    # The driver reads a numeric column as floats; typeof() tells the types apart.
    return [tuple(struct.pack("<d", v).hex() if isinstance(v, (float, int)) else v.rstrip("\0 ") if isinstance(v, str) else v
                  for v in r) for r in rows]


@pytest.mark.parametrize("lit", REALS)
def test_real_literals_read_as_sqlite_reads_them(lit):
    conn = pyqivrexdb.connect(":memory:")
    cur = conn.cursor()
    raw = sqlite3.connect(":memory:")
    for sql in ["create table t(k real, n numeric, x)",
                f"insert into t values ({lit}, {lit}, {lit})",
                f"insert into t values (-{lit}, -{lit}, - {lit})" if lit[0] not in "-+" else "select 1"]:
        cur.execute(sql)
        raw.execute(sql)
    for sql in ["select k, n, x, typeof(k), typeof(n), typeof(x) from t",
                f"select k, x from t where k = {lit} or x = -{lit}" if lit[0] not in "-+" else
                f"select k, x from t where k = {lit}",
                f"select x from t where x in ({lit}, 3) and n >= {lit}"]:
        cur.execute(sql)
        assert _bits(cur.fetchall()) == _bits(raw.execute(sql).fetchall()), sql
    raw.close()
    conn.close()


def test_real_keyed_point_queries_reuse_their_prepared_statement():
    # A view of many columns makes preparing dear and running cheap: a query
    # prepared afresh each time costs tens of times one taken from the cache.
    conn = pyqivrexdb.connect(":memory:")
    cur = conn.cursor()
    cur.execute("create table w(k real primary key, n integer)")
    cur.execute("insert into w values (1.5, 1), (2.5, 2)")
    cur.execute("create view v as select k, n, " + ", ".join(f"n * {i} + k as c{i}" for i in range(300)) + " from w")

    def cost(fmt, values):
        best = float("inf")
        for _ in range(3):
            t = time.perf_counter()
            for v in values:
                cur.execute(fmt % v)
                cur.fetchall()
            best = min(best, time.perf_counter() - t)
        return best

    by_int = cost("select n from v where n = %d", range(500))
    by_real = cost("select n from v where k = %r", [k + 0.5 for k in range(500)])
    assert by_real < 5 * by_int
    conn.close()


# A text of the shape of one met before is read by its pieces and literals
# alone: the literal that comes in the same place may be of another kind, be
# no literal at all, or run into what follows, and every run must give what
# SQLite gives for the text as written.
@pytest.mark.parametrize("sql, values", [
    ("select n from p where n = %s order by n", ["2", "3", "2.0", "'2'", "3", "1e0", "0x3", "-2", "(2)", "2or 1",
                                                   "2 or n = 4", "2.5", "1.", "3", "''", "'it''s'", "4"]),
    ("select n, s from p where s = %s and n > %s", ["'b'", "1", "'c'", "1.5", "'d'", "'1'", "'a'", "-1", "0", "x'00'"]),
    ("select n from p where n in (%s, %s) order by n", ["1", "2", "1.0", "'2'", "3", "4", "3--", "4"]),
    ("select n from p where n = %s -- %s", ["1", "2", "3", "'x'"]),
    ("select n from p where n = %s limit %s", ["1", "1", "2", "0", "3", "1.5"]),
    # An integer after the same pieces, and what can carry a run of digits on.
    ("select n from p where n = %s", ["2", "3e0", "2$", "2x", "2.", "123456789012345678", "2",
                                      "1234567890123456789", "99999999999999999999", "3\u0436", "07", "4"]),
    ("select n from p where n=%s order by n", ["2", "3", "1)", "4", "3--x", "1;", "2 ;"]),
])
def test_texts_of_a_known_shape(cur, sql, values):
    raw = sqlite3.connect(":memory:")
    raw.execute("create table p(n integer, s varchar(8))")
    raw.execute("insert into p values (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')")
    marks = sql.count("%s")
    for k in range(len(values) - marks + 1):
        text = sql % tuple(values[k:k + marks])
        try:
            want = [tuple(r) for r in raw.execute(text).fetchall()]
        except sqlite3.Error:
            with pytest.raises(pyqivrexdb.Error):
                cur.execute(text)
            continue
        cur.execute(text)
        got = [tuple(v.rstrip("\0 ") if isinstance(v, str) else v for v in r) for r in cur.fetchall()]
        assert got == want, text
    raw.close()


# A bulk load inserts its records many to a statement; a refusal still names
# the record at fault, keeps nothing of the batch and leaves the table as it
# was, whatever the record's place in a statement and whatever the table's
# own rule for a conflict.
@pytest.mark.parametrize("key", ["id integer primary key", "id integer unique on conflict fail",
                                 "id integer unique on conflict abort"])
@pytest.mark.parametrize("bad", [0, 63, 64, 100, 127, 128, 191, 192, 195, 199])  # 192..199: the last statement's 8
def test_bulk_refusal_names_its_record(tmp_path, key, bad):
    from pyqivrexdb import dbapi
    with dbapi.connect(str(tmp_path / "b.db"), autocommit=True) as conn:
        conn.execute("create table t(%s, s char(8))" % key)
        conn.execute("insert into t values (-1, 'kept')")  # the write checks are in place
        rows = [(i, "r%d" % i) for i in range(200)]
        rows[bad] = (-1, "bad")
        with pytest.raises(dbapi.IntegrityError, match=r"record %d: UNIQUE constraint failed" % bad):
            conn.addrecords("t", rows)
        assert conn.execute("select count(*) from t").fetchall() == [(1,)]
        conn.addrecords("t", rows[:bad] + rows[bad + 1:])
        assert conn.execute("select count(*), sum(id) from t").fetchall() == [(200, sum(range(200)) - bad - 1)]


@pytest.mark.parametrize("n", [1, 2, 63, 64, 65, 66, 127, 129, 130, 1000])
def test_bulk_rows_read_back_in_order(n):
    with pyqivrexdb.connect(":memory:") as conn:
        cur = conn.cursor()
        cur.execute("create table t(n integer, s char(6), d date)")
        cur.execute("delete from t")  # the write checks are in place
        rows = [[i, "ы%d" % (i % 1000), DATES[i % len(DATES)]] for i in range(n)]
        conn.addrecords("t", rows)
        cur.execute("select n, s, d from t order by rowid")
        got = cur.fetchall()
    assert [[r[0], r[1].rstrip("\0 ") if isinstance(r[1], str) else r[1], r[2]] for r in got] == rows


# The checks of what a load writes stay where a user's trigger on the table
# could write values of its own elsewhere.
def test_bulk_keeps_the_checks_under_a_users_trigger():
    from pyqivrexdb import dbapi
    with dbapi.connect(":memory:", autocommit=True) as conn:
        conn.execute("create table t(n integer, s char(4))")
        conn.execute("create table log(n integer)")
        conn.execute("create trigger t_log after insert on t begin insert into log values (new.s); end")
        conn.execute("delete from t")  # the write checks are in place
        with pytest.raises(dbapi.Error, match="column n"):
            conn.addrecords("t", [(i, "x%d" % i) for i in range(100)])
        assert conn.execute("select count(*) from t").fetchall() == [(0,)]
        assert conn.execute("select count(*) from log").fetchall() == [(0,)]


# The write checks answer the common values without packing them: the same
# answers at each end of a range.
@pytest.mark.parametrize("decl, value, ok", [
    ("smallint", -32767, True), ("smallint", -32768, False), ("smallint", 32767, True), ("smallint", 32768, False),
    ("integer", 2 ** 31 - 1, True), ("integer", 2 ** 31, False), ("integer", -2 ** 31 + 1, True), ("integer", -2 ** 31, False),
    ("integer", -2 ** 63, False), ("double", 1e308, True), ("double", -0.0, True), ("double", 2 ** 53, True), ("char(30)", "ы" * 30, True),
    ("char(30)", "ы" * 31, False), ("char(80)", "x" * 80, True), ("char(80)", "x" * 81, False),
])
def test_write_check_edges(decl, value, ok):
    from pyqivrexdb import dbapi
    with dbapi.connect(":memory:", autocommit=True) as conn:
        conn.execute("create table t(v %s)" % decl)
        conn.execute("delete from t")  # the write checks are in place
        if ok:
            conn.execute("insert into t values (?)", (value,))
            assert conn.execute("select count(*) from t").fetchall() == [(1,)]
        else:
            with pytest.raises(dbapi.Error, match="column v"):
                conn.execute("insert into t values (?)", (value,))
