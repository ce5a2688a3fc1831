"""A table's layout through the test double: asked of the library once per
table and connection, kept across loads, read anew after a statement that
may change a table or a load the library refused as of the wrong length."""
import struct

import pytest

import qxdouble
from pyqivrexdb import dbapi, qxcore
from pyqivrexdb.errors import ProgrammingError
from qxdouble import QSCLI_ATTR_NULL_FLAGS, QSCLI_E_RECORD_LENGTH, QSCLI_ET_CHAR, QSCLI_ET_LONG, colrec

STRUCT_COLUMNS = [colrec(QSCLI_ET_LONG, 4, fname=b"TBL"), colrec(QSCLI_ET_LONG, 4, fname=b"FIELDNO"),
                  colrec(QSCLI_ET_CHAR, 32, fname=b"FNAME"), colrec(QSCLI_ET_LONG, 4, fname=b"TYPE"),
                  colrec(QSCLI_ET_LONG, 4, fname=b"LEN")]
ROWS = [(i, "r%d" % i) for i in range(100)]  # enough for executemany's bulk path


def script_table(double):
    """The next statement describes t(n LONG 4, s CHAR 8); each record ends
    with its byte of null flags."""
    records = b"".join(struct.pack("<ii32sii", 0, i, name.ljust(32, b"\x00"), type_, len_) + b"\x00"
                       for i, (name, type_, len_) in enumerate([(b"N", QSCLI_ET_LONG, 4),
                                                                (b"S", QSCLI_ET_CHAR, 8)]))
    double.set_result(STRUCT_COLUMNS, records, rec_size=49)


def layout_queries(double):
    return [c.args[1] for c in double.calls("qcSqlExecDirect") if b"QXTBLSTRUCT" in c.args[1]]


@pytest.fixture
def conn(double):
    double.offer(QSCLI_ATTR_NULL_FLAGS, value=1)
    # A transaction always open: no BEGIN takes the scripted result.
    double.set_tx_state(qxdouble.QSCLI_TX_OPEN)
    c = dbapi.connect("srv")
    double.clear()
    yield c
    c.close()


LOADS = {
    "addrecords": lambda conn: conn.addrecords("t", ROWS),
    "executemany": lambda conn: conn.cursor().executemany("insert into t values (?, ?)", ROWS),
    "table_layout": lambda conn: conn.table_layout("t"),
}


@pytest.mark.parametrize("second", list(LOADS))
@pytest.mark.parametrize("first", list(LOADS))
def test_layout_is_asked_once_per_table_and_connection(double, conn, first, second):
    script_table(double)
    LOADS[first](conn)
    LOADS[second](conn)
    LOADS[first](conn)
    assert layout_queries(double) == [b'select * from QXTBLSTRUCT("t");']
    assert len(double.calls("qcSqlAddRecords")) == sum(name != "table_layout" for name in (first, second, first))


@pytest.mark.parametrize("statement, asks_again", [
    ("select n from t", False),
    ("  /* c */ (select 1)", False),
    ("insert into t values (1, 'a')", False),
    ("update t set n = 2", False),
    ("delete from t", False),
    ("savepoint a", False),
    ("commit", False),
    ("alter table t add column x int", True),
    ("drop table t", True),
    ("create table t (n int)", True),
    ("-- a note\nCREATE TABLE u (n int)", True),
    ("rollback", True),
])
def test_statements_that_may_change_a_table_forget_its_layout(double, conn, statement, asks_again):
    script_table(double)
    conn.addrecords("t", ROWS)
    conn.cursor().execute(statement)
    double.set_tx_state(qxdouble.QSCLI_TX_OPEN)  # after a rollback too
    script_table(double)
    conn.addrecords("t", ROWS)
    assert len(layout_queries(double)) == (2 if asks_again else 1)


@pytest.mark.parametrize("dialect, statement, asks_again", [
    # PostgreSQL nests block comments: the statement is the ALTER.
    (qxdouble.QSCLI_DIALECT_PG, "/* a /* b */ select */ alter table t add column x int", True),
    (qxdouble.QSCLI_DIALECT_PG, "/* a /* b */ */ select 1", False),
    # The engine does not: the first */ ends the comment.
    (qxdouble.QSCLI_DIALECT_ENGINE, "/* a /* b */ select 1", False),
])
def test_the_first_word_is_read_with_the_dialects_comments(double, dialect, statement, asks_again):
    double.offer(QSCLI_ATTR_NULL_FLAGS, value=1)
    double.set_dialect(dialect)
    double.set_tx_state(qxdouble.QSCLI_TX_OPEN)
    with dbapi.connect("srv") as conn:
        script_table(double)
        conn.addrecords("t", ROWS)
        conn.cursor().execute(statement)
        script_table(double)
        conn.addrecords("t", ROWS)
        assert len(layout_queries(double)) == (2 if asks_again else 1)


def test_a_record_refused_as_of_the_wrong_length_forgets_the_layout(double, conn):
    script_table(double)
    conn.addrecords("t", ROWS)
    double.fail("qcSqlAddRecords", QSCLI_E_RECORD_LENGTH, times=1)
    with pytest.raises(ProgrammingError):
        conn.addrecords("t", ROWS)
    script_table(double)
    conn.addrecords("t", ROWS)
    assert len(layout_queries(double)) == 2


def test_each_connection_and_table_asks_for_itself(double, conn):
    script_table(double)
    conn.addrecords("t", ROWS)
    script_table(double)
    conn.addrecords("T", ROWS)
    other = dbapi.connect("srv")
    try:
        script_table(double)
        other.addrecords("t", ROWS)
    finally:
        other.close()
    assert len(layout_queries(double)) == 3


def test_table_layout_describes_each_field_and_doubles_quotes(double, conn):
    script_table(double)
    layout = conn.table_layout('a"b')
    assert layout == [("N", QSCLI_ET_LONG, 4, None), ("S", QSCLI_ET_CHAR, 8, None)]
    assert layout_queries(double) == [b'select * from QXTBLSTRUCT("a""b");']
    layout.clear()  # the caller's own list: the kept layout stays
    assert len(conn.table_layout('a"b')) == 2


def test_a_closed_connection_forgets_its_layouts(double):
    double.offer(QSCLI_ATTR_NULL_FLAGS, value=1)
    for _ in range(2):
        c = dbapi.connect("srv")  # the double hands out the same handle again
        script_table(double)
        c.table_layout("t")
        c.close()
    assert len(layout_queries(double)) == 2
    with pytest.raises(ProgrammingError):
        c.table_layout("t")


def test_core_face_reads_the_layout_at_every_load(double, conn):
    core = qxcore.connect("srv")
    for _ in range(2):
        script_table(double)
        core.addrecords("t", [[1, "a"]])
    assert len(layout_queries(double)) == 2
