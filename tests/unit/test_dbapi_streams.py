"""Streamed results on the standard face through the test double: batches
each with their own layout, rowcount -1 until the end, a failure met by a
later read, and a library without the capability."""
import struct

import pytest

from pyqivrexdb import dbapi
from pyqivrexdb.errors import DataError
from qxdouble import QSCLI_ATTR_STREAM, QSCLI_ET_CHAR, QSCLI_ET_LONG, QSCLI_STMT_ERR_TEXT, colrec


def batch(rows, width):
    """Columns and records of one batch: an id and a text `width` bytes wide."""
    cols = [colrec(QSCLI_ET_LONG, 4, fname=b"id"), colrec(QSCLI_ET_CHAR, width, fname=b"s", off=4)]
    records = b"".join(struct.pack("<i", i) + s.encode().ljust(width, b"\0") for i, s in rows)
    return cols, records, 4 + width


ROWS = [[(1, "a"), (2, "bb")], [(3, "c" * 300)], [(4, "d"), (5, "")]]
WANT = [(i, s) for part in ROWS for i, s in part]


@pytest.fixture
def conn(double):
    double.offer(QSCLI_ATTR_STREAM)
    c = dbapi.connect("srv", autocommit=True)
    yield c
    c.close()


def stream(double, parts, widths=(2, 300, 1)):
    cols, records, size = batch(parts[0], widths[0])
    double.set_result(cols, records, rec_size=size, row_count=-1)
    for part, width in zip(parts[1:], widths[1:]):
        double.add_batch(*batch(part, width))


@pytest.mark.parametrize("how", ["fetchone", "fetchmany", "fetchall", "iterate"])
def test_rows_follow_each_batch_and_rowcount_comes_at_the_end(double, conn, how):
    cur = conn.cursor()
    assert (QSCLI_ATTR_STREAM, 1, 0) in [c.args[1:] for c in double.calls("qcSqlSetStmtAttr")]
    stream(double, ROWS)
    cur.execute("select")
    assert cur.rowcount == -1
    if how == "fetchone":
        got = [cur.fetchone() for _ in range(5)]
        assert cur.rowcount == -1 and cur.fetchone() is None
    elif how == "fetchmany":
        got = cur.fetchmany(2) + cur.fetchmany(2) + cur.fetchmany(9)
    elif how == "iterate":
        got = list(cur)
    else:
        got = cur.fetchall()
    assert got == WANT
    assert cur.rowcount == 5
    assert cur.description[1][3] == 1  # the last batch's width


def test_a_failure_met_by_a_later_read_raises_there(double, conn):
    cur = conn.cursor()
    double.offer(QSCLI_STMT_ERR_TEXT)
    double.set_attr_text(QSCLI_STMT_ERR_TEXT, b"column small: 100000 does not fit")
    stream(double, ROWS[:2])
    cur.execute("select")
    assert cur.fetchmany(2) == WANT[:2]
    double.fail("qcSqlReadResults", -20)
    with pytest.raises(DataError, match="does not fit"):
        cur.fetchall()
    assert cur.rowcount == -1


def test_a_library_without_the_capability_is_asked_once_and_reads_as_before(double):
    conn = dbapi.connect("srv", autocommit=True)
    cur = conn.cursor()
    conn.cursor()
    asked = [c for c in double.calls("qcSqlSetStmtAttr") if c.args[1] == QSCLI_ATTR_STREAM]
    assert len(asked) == 1
    cols, records, size = batch(WANT, 300)
    double.set_result(cols, records, rec_size=size)
    cur.execute("select")
    assert cur.rowcount == 5
    assert cur.fetchall() == WANT
    conn.close()


def test_the_core_face_never_streams(double):
    import pyqivrexdb
    double.offer(QSCLI_ATTR_STREAM)
    pyqivrexdb.connect("srv").cursor()
    assert all(c.args[1] != QSCLI_ATTR_STREAM for c in double.calls("qcSqlSetStmtAttr"))


def test_a_library_without_copy_data_leaves_the_shell_its_inserts(double):
    # qcSqlCopyOut is not the double's: the shell's .dump keeps to INSERTs
    from pyqivrexdb.shell.db import Database
    db = Database("srv")
    try:
        with pytest.raises(dbapi.NotSupportedError):
            db.conn.cursor()._copy_out("copy t to stdout", 10)
        assert db.copy_out("copy t to stdout") is None
        assert not double.calls("qcSqlCopyOut")
    finally:
        db.close()
