"""The record iterator: buffered reads from start_record, cutting records,
inconsistent reads, the generator protocol, re-entry and garbage collection."""

import collections.abc
import gc
import logging
import struct

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import ProgrammingError
from qxdouble import QSCLI_ET_CHAR, QSCLI_ET_INTR, QSCLI_ET_LONG, colrec

# Records of 20 bytes: LONG n, CHAR(16) "row n".
COLUMNS = [colrec(QSCLI_ET_LONG, 4, b"N"), colrec(QSCLI_ET_CHAR, 16, b"T")]


def record(i):
    return struct.pack("<i", i) + b"row %-12d" % i


def row(i):
    return [i, "row %-12d" % i]


def run(double, cur, n=5, heapctrl=0, **script):
    qxcore.HEAPCTRL = heapctrl
    double.set_result(COLUMNS, b"".join(record(i) for i in range(n)), **script)
    cur.execute("select")
    double.clear()


def reads(double):
    """(start record, buffer size) of each read."""
    return [(c.args[1], c.args[2]) for c in double.calls("qcSqlReadResults")]


def test_nothing_is_read_before_the_first_row(double, cur):
    run(double, cur)
    assert double.calls() == []


def test_one_record_per_read(double, cur):
    run(double, cur, n=3)
    assert cur.fetchall() == [row(0), row(1), row(2)]
    assert reads(double) == [(0, 20), (1, 20), (2, 20), (3, 20)]


def test_buffers_of_several_records(double, cur):
    run(double, cur, n=7, heapctrl=60)
    assert [cur.fetchone() for _ in range(4)] == [row(i) for i in range(4)]
    assert reads(double) == [(0, 60), (3, 60)]
    assert cur.fetchall() == [row(i) for i in range(4, 7)]
    assert reads(double) == [(0, 60), (3, 60), (6, 60), (7, 60)]


def test_scripted_read_sizes_decide_the_next_start(double, cur):
    run(double, cur, n=10, heapctrl=100, reads=[60, 20, 100, 0])
    assert cur.fetchall() == [row(i) for i in range(9)]  # the empty read ends it
    assert reads(double) == [(0, 100), (3, 100), (4, 100), (9, 100)]


def test_row_count_zero_reads_nothing(double, cur):
    run(double, cur, n=5, row_count=0)
    assert cur.fetchall() == []
    assert double.calls() == []


def test_an_empty_read_ends_early(double, cur):
    run(double, cur, n=5, reads=[20, 0])
    assert cur.fetchall() == [row(0)]
    assert cur.fetchone() is None
    assert reads(double) == [(0, 20), (1, 20)]


def test_failing_read(double, cur):
    run(double, cur, n=5, heapctrl=40)
    assert cur.fetchone() == row(0)
    double.fail("qcSqlReadResults", -4)
    assert cur.fetchone() == row(1)  # still in the buffer
    with pytest.raises(ProgrammingError) as info:
        cur.fetchone()
    assert info.value.args == ("qcSqlReadResults error %d:", -4)
    double.fail("qcSqlReadResults", 0)
    assert (cur.fetchone(), cur.fetchall()) == (None, [])
    assert reads(double) == [(0, 40), (2, 40)]


@pytest.mark.parametrize("script, message", [
    (dict(reads=[50]), "qcSqlReadResults delivered 50 bytes, not whole records of 20 bytes"),
    (dict(reads=[19]), "qcSqlReadResults delivered 19 bytes, not whole records of 20 bytes"),
    (dict(reads=[80]), "qcSqlReadResults delivered 80 bytes into a buffer of 60"),
    (dict(reads=[61]), "qcSqlReadResults delivered 61 bytes into a buffer of 60"),
    (dict(rec_size=0, row_count=5, reads=[20]),
     "qcSqlReadResults delivered 20 bytes, not whole records of 0 bytes"),
])
def test_inconsistent_reads_are_refused(double, cur, script, message):
    run(double, cur, n=5, heapctrl=60, **script)
    with pytest.raises(ProgrammingError) as info:
        cur.fetchall()
    assert info.value.args == (message,)
    assert cur.fetchall() == []
    assert len(reads(double)) == 1


def test_columns_longer_than_the_record_are_refused_before_any_row(double, cur):
    run(double, cur, n=3, heapctrl=60, rec_size=19, reads=[57])
    with pytest.raises(ProgrammingError) as info:
        cur.fetchone()
    assert info.value.args == ("columns take 20 bytes, more than the record size 19",)
    assert cur.fetchone() is None


def test_records_longer_than_their_columns_are_cut_at_record_boundaries(double, cur):
    qxcore.HEAPCTRL = 0
    double.set_result([colrec(QSCLI_ET_INTR, 2)], b"\1\0xx\2\0yy\3\0zz", rec_size=4)
    cur.execute("select")
    assert cur.fetchall() == [[1], [2], [3]]


def test_field_type_error_after_the_read(double, cur):
    double.set_result([colrec(QSCLI_ET_LONG, 4), colrec(12, 4)], b"\0" * 16)
    cur.execute("select")
    double.clear()
    with pytest.raises(ProgrammingError) as info:
        cur.fetchone()
    assert info.value.args == ("Field type error",)
    assert double.names() == ["qcSqlReadResults"]
    assert cur.fetchone() is None


def test_rebinding_a_type_code_takes_effect_from_the_next_row(double, cur):
    double.set_result([colrec(QSCLI_ET_INTR, 2)], b"\1\0\2\0")
    cur.execute("select")
    assert cur.fetchone() == [1]
    qxcore.QSCLI_ET_INTR = 99  # code 3 now matches no element type
    with pytest.raises(ProgrammingError, match="Field type error"):
        cur.fetchone()


def test_start_record_names_the_record_after_the_last_row(double, cur):
    run(double, cur, n=6, heapctrl=100)
    cur.fetchone()
    cur.fetchone()
    assert cur.fetchmany(3) == [row(2), row(3), row(4)]  # from the buffer
    assert cur.fetchone() == row(5)
    assert reads(double) == [(0, 100), (5, 100)]
    cur.set_start_record(1)  # rewinds the next read
    assert cur.fetchone() == row(1)
    assert reads(double)[-1] == (1, 100)


@pytest.mark.parametrize("start", [2 ** 31 - 1, -2 ** 31, -1])
def test_start_record_bounds_reach_the_read_unchanged(double, cur, start):
    run(double, cur, n=3)
    cur.set_start_record(start)
    assert cur.fetchone() is None  # nothing there
    assert reads(double) == [(start, 20)]


def test_read_results_returns_a_lazy_generator(double, cur):
    run(double, cur, n=2)
    it = cur._read_results(7, 20)
    assert type(it).__name__ == "_Records" and "_Records" not in vars(qxcore)
    assert isinstance(it, collections.abc.Generator)
    assert iter(it) is it
    assert double.calls() == []
    assert list(it) == [row(0), row(1)]
    assert next(it, "end") == "end"


@pytest.mark.parametrize("args, kwargs", [
    ((0, 20), {}),
    ((), {"buffer_size": 0, "rec_size": 20}),
    ((0,), {"rec_size": 20}),
])
def test_read_results_arguments(double, cur, args, kwargs):
    run(double, cur, n=2)
    assert list(cur._read_results(*args, **kwargs)) == [row(0), row(1)]


@pytest.mark.parametrize("args, kwargs, error", [
    ((1,), {}, TypeError),
    ((0, 20, 1), {}, TypeError),
    ((-1, 20), {}, OverflowError),
    ((1, 2 ** 32), {}, OverflowError),
    ((1, "20"), {}, TypeError),
    ((), {"buffer_size": 1, "rec": 2}, TypeError),
])
def test_read_results_bad_arguments(cur, args, kwargs, error):
    with pytest.raises(error):
        cur._read_results(*args, **kwargs)


def test_first_row_writes_the_debug_line(double, cur, caplog):
    run(double, cur, n=1)
    qxcore.DEBUG = True
    with caplog.at_level(logging.DEBUG, "pyqivrexdb.qxcore"):
        it = cur._read_results(256, 20)
        assert caplog.messages == []
        next(it)
    assert caplog.messages == ["%r: _read_results(buffer_size=256, rec_size=20)" % cur]


def test_send(double, cur):
    run(double, cur, n=3)
    it = cur._read_results(0, 20)
    with pytest.raises(TypeError, match="just-started"):
        it.send(1)
    assert it.send(None) == row(0)
    assert it.send("anything") == row(1)
    assert it.send(None) == row(2)
    with pytest.raises(StopIteration):
        it.send(None)


@pytest.mark.parametrize("started", [False, True])
def test_throw_ends_the_iteration(double, cur, started):
    run(double, cur, n=3)
    it = cur._read_results(0, 20)
    if started:
        next(it)
    with pytest.raises(KeyError, match="k"):
        it.throw(KeyError("k"))
    with pytest.raises(ValueError):
        it.throw(ValueError, ValueError(2))
    assert list(it) == []
    assert len(reads(double)) == int(started)


def test_throw_argument_forms(double, cur):
    run(double, cur, n=3)
    it = cur._read_results(0, 20)
    with pytest.raises(TypeError, match="separate value"):
        it.throw(KeyError("k"), 1)
    with pytest.raises(TypeError, match="deriving from BaseException"):
        it.throw(3)
    with pytest.raises(TypeError, match="traceback"):
        it.throw(KeyError, None, 5)
    assert next(it) == row(0)  # refused arguments leave it running
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        it.throw(StopIteration)
    with pytest.raises(StopIteration):
        it.throw(StopIteration)  # once finished it passes through


def test_close(double, cur):
    run(double, cur, n=3)
    it = cur._read_results(0, 20)
    assert next(it) == row(0)
    assert it.close() is None
    assert it.close() is None
    assert list(it) == []
    assert len(reads(double)) == 1


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "user", "pw")
    double.clear()
    return c


def test_rows_cannot_be_taken_while_a_read_is_running(double, conn):
    cur = conn.cursor()
    seen = []

    def during_read(message):
        for action in (cur.fetchone, cur.fetchall, cur.close):
            try:
                action()
            except ValueError as e:
                seen.append(str(e))
    conn.send_callback(during_read)
    run(double, cur, n=3)
    double.add_message(b"busy", "qcSqlReadResults")
    assert cur.fetchall() == [row(0), row(1), row(2)]
    assert seen == ["generator already executing"] * 3


@pytest.mark.parametrize("fetch", ["fetchone", "fetchall"])
def test_a_new_execute_during_a_read_is_safe(double, conn, fetch):
    cur = conn.cursor()

    def during_read(message):
        double.set_result([colrec(QSCLI_ET_INTR, 2)], b"\5\0")
        cur.execute("select other")
        gc.collect()
    conn.send_callback(during_read)
    run(double, cur, n=3, heapctrl=20)
    double.add_message(b"busy", "qcSqlReadResults")
    # The read in flight now delivers the new statement's 2-byte record into
    # a reader of 20-byte records: refused, nothing cut.
    with pytest.raises(ProgrammingError, match="not whole records"):
        getattr(cur, fetch)()
    assert cur.fetchall() == [[5]]


def test_collection_inside_a_read_keeps_the_rows_whole(double, conn):
    cur = conn.cursor()
    enabled = []

    def during_read(message):
        enabled.append(gc.isenabled())
        gc.collect()
    conn.send_callback(during_read)
    run(double, cur, n=400, heapctrl=2000)
    for _ in range(4):
        double.add_message(b"busy", "qcSqlReadResults")
    rows = cur.fetchall()
    assert rows == [row(i) for i in range(400)]
    assert enabled and all(enabled)  # collection is never paused while Python code runs


def test_iterator_kept_across_executes_reads_the_new_columns_safely(double, cur):
    run(double, cur, n=3, heapctrl=60)
    it = cur._read_results(0, 20)
    assert next(it) == row(0)
    double.set_result([colrec(QSCLI_ET_INTR, 2)], b"\1\0\2\0\3\0\4\0")
    cur.execute("select")
    # The rest of its buffer is cut by the new columns, record by record.
    assert [next(it), next(it)] == [[1], [2]]
    with pytest.raises(ProgrammingError):
        next(it)  # the new statement's records are not its 20-byte ones


def test_iterator_kept_across_executes_reads_into_its_own_buffer(double, cur):
    run(double, cur, n=3, heapctrl=20)
    it = cur._read_results(0, 20)
    assert next(it) == row(0)  # its buffer holds one record
    run(double, cur, n=300, heapctrl=4000)
    assert next(it) == row(0)  # the new statement, read from record 0 again
    assert reads(double) == [(0, 20)]  # never more than the buffer it owns


def test_iterator_kept_after_a_statement_without_columns(double, cur):
    run(double, cur, n=3, heapctrl=60)
    it = cur._read_results(0, 20)
    assert next(it) == row(0)
    cur.execute("update")
    with pytest.raises(TypeError, match="not iterable"):
        next(it)
    assert list(it) == []


@pytest.mark.parametrize("drop", ["iterator first", "cursor first"])
def test_cycle_of_cursor_and_iterator_is_collected(double, cur, drop):
    run(double, cur, n=3)
    cur.fetchone()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(50):
        c = qxcore.Cursor(1, False)
        run(double, c, n=3)
        it = c._read_results(0, 20)
        next(it)
        c.fetchone()
        if drop == "iterator first":
            del it, c
        else:
            del c, it
    gc.collect()
    assert len(gc.get_objects()) - before < 20
