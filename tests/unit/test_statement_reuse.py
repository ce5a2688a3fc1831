"""What a statement reuses from the statements before it (Fields made for
column records met before, the element type codes, HEAPCTRL and DEBUG as
bound): every reuse must look exactly like doing the work again."""

import gc
import logging
import struct

import pytest

from pyqivrexdb import qxcore
from qxdouble import QSCLI_ET_CHAR, QSCLI_ET_LONG, colrec

COLUMNS = [colrec(QSCLI_ET_LONG, 4, b"ID", coder=b"INTEGER", fieldno=0),
           colrec(QSCLI_ET_CHAR, 3, b"NAME", asname=b"N", fieldno=1, off=4)]
ATTRS = ("aliasno", "fieldno", "type", "len", "off", "coder", "fname", "func", "asname", "key", "resno")


@pytest.fixture
def cur(double):
    qxcore.initlibrary()
    return qxcore.Cursor(1, False)


def run(double, cur, rows=1, columns=COLUMNS):
    double.set_result(columns, b"".join(struct.pack("<i", i) + b"abc" for i in range(rows)))
    cur.execute("select id, name from t")


def fields(cur):
    """The cursor's Field list (held by the cursor, not an attribute)."""
    lists = [o for o in gc.get_referents(cur)
             if type(o) is list and o and all(isinstance(f, qxcore.Field) for f in o)]
    assert len(lists) == 1
    return lists[0]


def attrs(field):
    return tuple(getattr(field, a) for a in ATTRS)


def test_fields_of_a_repeated_statement_are_new_and_equal(double, cur):
    run(double, cur)
    first = fields(cur)
    want = [attrs(f) for f in first]
    assert want[1] == (0, 1, QSCLI_ET_CHAR, 3, 4, b"", b"NAME", 0, b"N", 0, 0)
    # Changing the Fields of one statement changes nothing of the next.
    for f in first:
        for a in ATTRS:
            setattr(f, a, None)
    del first
    gc.collect()
    run(double, cur)
    second = fields(cur)
    assert [attrs(f) for f in second] == want
    assert type(second[0]) is qxcore.Field
    assert second[0] is not second[1]
    run(double, cur)
    assert all(a is not b for a, b in zip(fields(cur), second))
    assert cur.fetchall() == [[0, "abc"]]


def test_a_changed_column_record_gives_its_own_values(double, cur):
    run(double, cur)
    changed = [COLUMNS[0], colrec(QSCLI_ET_CHAR, 3, b"NAMF", asname=b"N", fieldno=1, off=4)]
    run(double, cur, columns=changed)
    assert fields(cur)[1].fname == b"NAMF"
    assert [d.name for d in cur.description] == ["ID", "N"]


def test_fields_cycle_through_many_column_records(double, cur):
    # More distinct records than any table of recent ones holds.
    for i in range(600):
        cols = [colrec(QSCLI_ET_LONG, 4, b"C%d" % i, fieldno=i)]
        double.set_result(cols, struct.pack("<i", i))
        cur.execute("select c from t")
        assert fields(cur)[0].fname == b"C%d" % i and fields(cur)[0].fieldno == i
        assert cur.fetchone() == [i]


def test_rebound_type_code_between_statements(double, cur):
    run(double, cur)
    assert cur.fetchone() == [0, "abc"]
    # The two names swap codes: the 4 bytes of the first column read as
    # text, the 3 letters of the second as a little-endian number.
    qxcore.QSCLI_ET_CHAR, qxcore.QSCLI_ET_LONG = QSCLI_ET_LONG, QSCLI_ET_CHAR
    run(double, cur)
    assert cur.fetchone() == ["\0\0\0\0", int.from_bytes(b"abc", "little")]
    qxcore.QSCLI_ET_CHAR, qxcore.QSCLI_ET_LONG = QSCLI_ET_CHAR, QSCLI_ET_LONG
    run(double, cur)
    assert cur.fetchone() == [0, "abc"]


def test_heapctrl_rebound_between_statements(double, cur):
    for limit, size in ((1000, 1001), (7, 7), (70, 70), (65536, 65541)):
        qxcore.HEAPCTRL = limit
        run(double, cur)
        assert cur.fetchone() == [0, "abc"]
        assert double.calls("qcSqlReadResults")[-1].args[3] == size


@pytest.mark.parametrize("bad, error", [(-1, OverflowError), ("65536", TypeError), (2 ** 32, OverflowError)])
def test_heapctrl_checked_after_a_good_one(double, cur, bad, error):
    run(double, cur)
    qxcore.HEAPCTRL = bad
    with pytest.raises(error):
        run(double, cur)
    del qxcore.HEAPCTRL
    with pytest.raises(NameError):
        run(double, cur)


def test_debug_switched_on_by_a_server_message_during_the_statement(double, caplog):
    # DEBUG is off when the statement starts; a server message during it
    # switches it on, and the lines after that point are written.
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    conn = qxcore.connect("srv", "user", "pw")
    cur = conn.cursor()
    run(double, cur)
    conn.send_callback(lambda message: setattr(qxcore, "DEBUG", True))
    caplog.clear()
    double.add_message(b"debug on", "qcSqlExecDirect")
    run(double, cur)
    lines = [r.getMessage() for r in caplog.records]
    assert lines[0].endswith(': execute(textsql="select id, name from t", params=None)')
    assert lines[1:] == ["Cursor.execute() result type: 0", "Cursor.execute() row_count: 1, columns_count: 2"]


class Truthy:
    def __init__(self):
        self.on = False

    def __bool__(self):
        return self.on


def test_debug_bound_to_an_object_asked_each_time(double, cur, caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    switch = Truthy()
    qxcore.DEBUG = switch
    run(double, cur)
    assert not caplog.records
    switch.on = True  # no rebinding: only the object's truth changed
    run(double, cur)
    assert any(r.getMessage().startswith("Cursor.execute() result type:") for r in caplog.records)


def test_read_buffers_of_live_iterators_are_their_own(double, cur):
    # A finished fetch leaves its buffer for the next one; two live ones of
    # the same size must never share it.
    other = qxcore.Cursor(1, False)
    qxcore.HEAPCTRL = 21  # one read brings all three records into the buffer
    run(double, cur, rows=3)
    assert cur.fetchall() == [[i, "abc"] for i in range(3)]
    double.set_result(COLUMNS, b"".join(struct.pack("<i", i) + b"abc" for i in range(3)))
    cur.execute("select")
    double.set_result(COLUMNS, b"".join(struct.pack("<i", 10 + i) + b"xyz" for i in range(3)))
    other.execute("select")
    got = [(cur.fetchone(), other.fetchone()) for _ in range(3)]
    assert got == [([i, "abc"], [10 + i, "xyz"]) for i in range(3)]


# The standard face keeps a result's Fields for the next result of the same
# column records; any other records, or a Field changed in between, get
# Fields made afresh.
@pytest.fixture
def std_cur(double):
    from pyqivrexdb import dbapi
    conn = dbapi.connect("srv", autocommit=True)
    yield conn.cursor()
    conn.close()


RENAMED = [COLUMNS[0], colrec(QSCLI_ET_CHAR, 3, b"TITLE", fieldno=1, off=4)]
WIDER = [COLUMNS[0], colrec(QSCLI_ET_CHAR, 4, b"NAME", asname=b"N", fieldno=1, off=4)]


@pytest.mark.parametrize("columns, name, change", [
    (COLUMNS, "N", None),
    (RENAMED, "TITLE", None),
    (WIDER, "N", None),
    (COLUMNS, "N", ("asname", b"Z")),
    (COLUMNS, "N", ("len", 3)),
])
def test_standard_face_keeps_fields_only_for_the_same_column_records(double, std_cur, columns, name, change):
    run(double, std_cur)
    first = fields(std_cur)
    if change:
        setattr(first[1], *change)
    records = b"".join(struct.pack("<i", i) + b"abc" + (b"\0" if columns is WIDER else b"") for i in range(2))
    double.set_result(columns, records)
    std_cur.execute("select id, name from t")
    second = fields(std_cur)
    assert second is not first
    kept = columns is COLUMNS and not change
    assert [a is b for a, b in zip(first, second)] == [kept, kept]
    assert [d[0] for d in std_cur.description] == ["ID", name]
    assert std_cur.fetchall() == [(0, "abc"), (1, "abc")]
    # The Field written to (even with its own value) is not the one given out.
    assert (second[1].asname, second[1].len) == (b"N" if name == "N" else b"", 4 if columns is WIDER else 3)


# -- the standard cursor's record iterator, kept for its next result -------

def _records_of(cur):
    found = [o for o in gc.get_referents(cur) if type(o).__name__ == "_Records"]
    assert len(found) == 1
    return found[0]




@pytest.mark.parametrize("shapes", [
    [(COLUMNS, 2), ([COLUMNS[0]], 1), (COLUMNS, 3)],
    [([COLUMNS[0]], 0), (COLUMNS, 1), ([COLUMNS[0]], 2)],
], ids=["two-one-two", "empty-first"])
def test_each_result_reads_its_own_rows_and_row_factory(double, shapes):
    from pyqivrexdb import dbapi
    with dbapi.connect("srv", autocommit=True) as conn:
        cur = conn.cursor()
        for k, (columns, rows) in enumerate(shapes):
            size = sum(c_len for c_len in (4, 3)[:len(columns)])
            body = b"".join((struct.pack("<i", i) + b"abc")[:size] for i in range(rows))
            double.set_result(columns, body)
            cur.row_factory = None if k % 2 else (lambda c, row: ("made",) + row)
            cur.execute("select")
            first = cur.fetchone()  # the rest is left unread for the next execute
            want = [(i, "abc")[:len(columns)] for i in range(rows)]
            if k % 2 == 0:
                want = [("made",) + w for w in want]
            assert first == (want[0] if want else None)
        double.set_result(columns, body)
        cur.execute("select")
        assert cur.fetchall() == want


def test_an_iterator_held_elsewhere_is_not_taken_by_the_next_result(double):
    from pyqivrexdb import dbapi
    with dbapi.connect("srv", autocommit=True) as conn:
        cur = conn.cursor()
        run(double, cur, rows=2)
        held = _records_of(cur)
        assert cur.fetchone() == (0, "abc")
        run(double, cur, rows=3)
        assert _records_of(cur) is not held
        del held
        gc.collect()
        assert cur.fetchall() == [(0, "abc"), (1, "abc"), (2, "abc")]
        run(double, cur, rows=1)
        assert cur.fetchall() == [(0, "abc")]


def test_a_failed_result_leaves_nothing_to_the_next(double):
    from pyqivrexdb import dbapi

    def refuse(cursor, row):
        raise ValueError("no")
    with dbapi.connect("srv", autocommit=True) as conn:
        cur = conn.cursor()
        cur.row_factory = refuse
        run(double, cur, rows=2)
        with pytest.raises(ValueError):
            cur.fetchone()
        with pytest.raises(dbapi.ProgrammingError, match="cannot be fetched"):
            cur.fetchone()
        cur.row_factory = None
        run(double, cur, rows=2)
        assert cur.fetchall() == [(0, "abc"), (1, "abc")]
        assert cur.fetchone() is None  # the end, not the earlier failure
