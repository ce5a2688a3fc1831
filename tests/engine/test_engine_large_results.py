"""Results larger than the engine keeps in memory: the rest waits in a
temporary file, and every record still reads back from any start record."""
import datetime

import pytest

import pyqivrexdb

ROWS = 60000  # 36-byte records: about 2 MiB, past what one statement keeps in memory


@pytest.fixture(scope="module")
def cur():
    conn = pyqivrexdb.connect(":memory:")
    c = conn.cursor()
    c.execute("create table t(id integer, name char(12), amount double, d date, small smallint, "
              "code char(8))")
    conn.addrecords("t", [row(i) for i in range(ROWS)])
    yield c
    conn.close()


def row(i):
    return [i, "NAME%08d" % i, i * 0.25, datetime.date(2000, 1, 1) + datetime.timedelta(days=i % 5000),
            i % 60000 - 30000, "Код%05d" % (i % 1000)]


def test_everything_reads_back_in_order(cur):
    cur.execute("select * from t order by id")
    assert cur.row_count == ROWS
    rows = cur.fetchall()
    assert len(rows) == ROWS
    assert rows[::997] == [row(i) for i in range(0, ROWS, 997)]
    assert rows[-1] == row(ROWS - 1)


# Start records at the edges of the chunks kept in memory (113 records, then
# doubling), of the first and second 256 KiB pieces in the file, and the last.
@pytest.mark.parametrize("start", [0, 112, 113, 14350, 14351, 28814, 28815, 36095, 36096, ROWS - 1])
def test_any_start_record(cur, start):
    cur.execute("select * from t order by id")
    cur.set_start_record(start)
    got = cur.fetchmany(3)
    assert got == [row(i) for i in range(start, min(start + 3, ROWS))]


def test_text_columns_staged_past_memory(cur):
    # TEXT has no length: the engine stages the values to find the width.
    cur.execute("select id, name || code as label from t where id % 2 = 0 order by id")
    rows = cur.fetchall()
    assert len(rows) == ROWS // 2
    assert rows[1234] == [2468, "NAME%08d" % 2468 + "Код%05d" % (2468 % 1000)]
    assert rows[-1][0] == ROWS - 2
