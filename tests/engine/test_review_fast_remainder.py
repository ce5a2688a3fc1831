"""Bulk loads whose records are not a whole number of chunks: a record the
load refuses, wherever it stands among the last ones, stops the load with
what went in told exactly, on both backends and both faces."""
import ctypes

import pytest

from pyqivrexdb import dbapi, errors
from test_engine_abi import LAYOUT, MISMATCH, add, rec

CHUNK = 64
# (records, where the refused one stands)
PLACES = [(n, at) for n in (1, 2, 3, 63) for at in sorted({0, n // 2, n - 1})] + \
         [(CHUNK + r, CHUNK + at) for r in (1, 2, 63) for at in sorted({0, r // 2, r - 1})] + \
         [(CHUNK + 2, 0), (CHUNK + 2, CHUNK - 1), (2 * CHUNK + 5, CHUNK + 3)]


@pytest.mark.parametrize("n, at", PLACES)
@pytest.mark.parametrize("written_before", [False, True])
def test_the_engine_refuses_a_null_pattern_anywhere_among_the_last_records(eng, hdb, hs, n, at, written_before):
    got = eng.on_message(hdb)
    eng.exec(hs, "err_to_user(1);")
    assert eng.exec(hs, f"create table t({LAYOUT})") == 0
    if written_before:
        assert eng.exec(hs, "delete from t") == 0
    records = [rec(i=-32768 if k == at else k % 1000, n=k) for k in range(n)]
    assert add(eng, hdb, "t", b"".join(records)) == MISMATCH
    assert got[-1].endswith(f"record {at}, field i: -32768 does not fit -32767..32767 (INTR)")
    assert eng.query(hs, "select count(*) from t") == [[0]]
    # The same records without it all go in, each once.
    records[at] = rec(i=7, n=at)
    assert add(eng, hdb, "t", b"".join(records)) == 0
    assert eng.query(hs, "select count(*), count(distinct n) from t") == [[n, n]]


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn)
    c.execute("create table k(id integer primary key, v integer not null)")
    c.commit()
    yield c
    c.close()


@pytest.mark.parametrize("n, at", [p for p in PLACES if p[0] > 1])
@pytest.mark.parametrize("how", ["addrecords", "executemany"])
def test_a_refused_row_among_the_last_leaves_what_rows_sent_tells(conn, n, at, how):
    rows = [(k, k) for k in range(n)]
    rows[at] = (0 if at else 1, at)  # a key another row has
    with pytest.raises(errors.IntegrityError) as info:
        if how == "addrecords":
            conn.addrecords("k", rows)
        else:
            conn.cursor().executemany("insert into k values (?, ?)", rows)
    have = conn.execute("select count(*) from k").fetchone()[0]
    if how == "addrecords" or n >= CHUNK:
        assert have == info.value.rows_sent
    assert have <= max(at, 1)
    conn.rollback()
    rows[at] = (at, at)
    cur = conn.cursor()
    cur.executemany("insert into k values (?, ?)", rows)
    assert cur.rowcount == n
    assert conn.execute("select count(*), sum(v) from k").fetchone() == (n, n * (n - 1) // 2)
