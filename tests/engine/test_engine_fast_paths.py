"""The engine's quick paths give what the long ways gave: dates written by a
bulk load as ISO text, and statements whose literals become parameters."""
import datetime
import sqlite3

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
