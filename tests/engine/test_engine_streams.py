"""Streamed results (QSCLI_ATTR_STREAM) at the library's interface: records
made a batch at a time as they are read, each batch as wide as its own
values, the count known at the end, and anything else on the connection
reading open streams to their end first."""
import ctypes
import threading

import pytest

from conftest import ET

from pyqivrexdb._qxstandard import QSCLI_ATTR_NULL_FLAGS as NULL_FLAGS
from pyqivrexdb._qxstandard import QSCLI_ATTR_STREAM as STREAM
from pyqivrexdb._qxstandard import QSCLI_STMT_DST_INFO as DST_INFO
from pyqivrexdb._qxstandard import QSCLI_STMT_EXECUTED as EXECUTED


@pytest.fixture
def big(eng, hdb):
    hs = eng.stmt(hdb)
    assert eng.exec(hs, "create table big(id integer, v text)") == 0
    assert eng.exec(hs, "with recursive n(i) as (select 1 union all select i + 1 from n where i < 3000) "
                        "insert into big select i, 'v' || i from n") == 0
    return hdb


def streaming(eng, hdb):
    hs = eng.stmt(hdb)
    assert eng.qcSqlSetStmtAttr(hs, STREAM, ctypes.c_void_p(1), 0) == 0
    return hs


def row_count(eng, hs):
    n = ctypes.c_int32(0)
    assert eng.qcSqlRowCount(hs, ctypes.byref(n)) == 0
    return n.value


def batches(eng, hs, start=0):
    """Every batch from `start` as (columns, records), read as a streaming
    caller does: a read of 0 bytes moves to the next batch."""
    out = []
    while True:
        size = eng.rec_size(hs)
        if size == 0:
            return out
        cols = eng.columns(hs)
        records = []
        while True:
            rc, data = eng.read(hs, start, max(size, 1 << 16))
            assert rc == 0, rc
            if not data:
                break
            records += [data[k:k + size] for k in range(0, len(data), size)]
            start += len(data) // size
        out.append((cols, records))


def texts(batch_list, col=1):
    got = []
    for cols, records in batch_list:
        c = cols[col]
        got += [r[c["off"]:c["off"] + c["len"]].rstrip(b" \0").decode("cp866") for r in records]
    return got


def test_the_first_batch_is_made_by_the_execute_and_the_count_comes_at_the_end(eng, big):
    hs = streaming(eng, big)
    assert eng.exec(hs, "select id, v from big order by id") == 0
    assert row_count(eng, hs) == -1
    got = batches(eng, hs)
    assert len(got[0][1]) < 3000 and len(got) > 1
    assert texts(got) == ["v%d" % i for i in range(1, 3001)]
    assert row_count(eng, hs) == 3000


def test_a_result_that_fits_its_first_batch_is_counted_at_once(eng, big):
    hs = streaming(eng, big)
    assert eng.exec(hs, "select id, v from big where id <= 3") == 0
    assert row_count(eng, hs) == 3
    assert eng.rows(hs) == [[1, "v1"], [2, "v2"], [3, "v3"]]


@pytest.mark.parametrize("sql", [
    "select count(*) from big",                          # an undeclared column
    "update big set v = v where id = 1 returning id, v",  # a row change
])
def test_other_statements_run_to_their_end_as_without_the_attribute(eng, big, sql):
    hs = streaming(eng, big)
    assert eng.exec(hs, sql) == 0
    assert row_count(eng, hs) == 1


def test_the_first_row_does_not_step_the_rest(eng, big):
    # A billion-row join: stepped to its end it would need the interrupt.
    hs = streaming(eng, big)
    done = threading.Event()
    guard = threading.Timer(20, lambda: done.is_set() or eng.qcSqlCancel(big))
    guard.start()
    try:
        rc = eng.exec(hs, "select a.id, b.v from big a, big b, (select id from big limit 111) c")
        rc_read, data = eng.read(hs, 0, 4096)
    finally:
        done.set()
        guard.cancel()
    assert (rc, rc_read) == (0, 0) and data
    assert row_count(eng, hs) == -1
    assert eng.qcSqlCloseResults(hs) == 0
    assert eng.query(eng.stmt(big), "select count(*) from big") == [[3000]]


def test_a_long_value_widens_only_its_own_batch(eng, hdb):
    hs = eng.stmt(hdb)
    assert eng.exec(hs, "create table t(id integer, s text)") == 0
    assert eng.exec(hs, "with recursive n(i) as (select 1 union all select i + 1 from n where i < 3001) "
                        "insert into t select i, case when i = 1500 then replace(hex(zeroblob(500000)), '0', 'x') "
                        "else 'short' end from n") == 0
    hs = streaming(eng, hdb)
    assert eng.exec(hs, "select id, s from t order by id") == 0
    got = batches(eng, hs)
    made = sum(len(records) * len(records[0]) for _, records in got)
    assert made < 4 << 20  # not 3,001 records of a megabyte
    values = texts(got)
    assert len(values) == 3001 and values[1499] == "x" * 1000000
    assert values[:3] == ["short"] * 3 and values[-1] == "short"
    assert max(cols[1]["len"] for cols, _ in got) == 1000000
    assert min(cols[1]["len"] for cols, _ in got) == 5


def decoded(eng, batch_list):
    """Every record of every batch as values, text without its padding."""
    from conftest import decode_field
    out = []
    for cols, records in batch_list:
        for r in records:
            row = [decode_field(c["type"], r[c["off"]:c["off"] + c["len"]], eng) for c in cols]
            out.append([v.rstrip(" \0") if isinstance(v, str) else v for v in row])
    return out


@pytest.mark.parametrize("long_at", [1, 64, 65, 1500, 3001])
def test_a_row_past_its_batch_keeps_every_value_in_the_next(eng, hdb, long_at):
    # A row too wide for the batch being made starts the next one: its
    # numbers, NULLs and text all arrive there, and the rows around it too.
    hs = eng.stmt(hdb)
    assert eng.exec(hs, "create table t(id integer, r real, n integer, s text, k text)") == 0
    assert eng.exec(hs, "with recursive n(i) as (select 1 union all select i + 1 from n where i < 3001) "
                        "insert into t select i, i * 0.5, case when i % 7 = 0 then null else -i end, "
                        f"case when i = {long_at} then replace(hex(zeroblob(300000)), '0', 'x') "
                        "else 'short' || i end, 'Ж' || i from n") == 0
    hs = streaming(eng, hdb)
    assert eng.exec(hs, "select id, r, n, s, k from t order by id") == 0
    got = decoded(eng, batches(eng, hs))
    want = [[i, i * 0.5, 0 if i % 7 == 0 else -i, "x" * 600000 if i == long_at else "short%d" % i, "Ж%d" % i]
            for i in range(1, 3002)]
    assert got == want


@pytest.mark.parametrize("select,nulls", [
    ("select id, amount, name from kept where id = 2", 0b110),  # fields of fixed widths
    ("select id, amount, note, data from kept where id = 2", 0b1110),  # a text and bytes as wide as their values
])
def test_a_statement_run_again_is_laid_out_for_each_handles_null_flags(eng, hdb, select, nulls):
    # The engine keeps how a statement's records are made with the statement;
    # handles of the same connection that differ in null flags, taking turns
    # at the same text, each get records with their own trailer.
    hs = eng.stmt(hdb)
    assert eng.exec(hs, "create table kept(id integer, amount double, name varchar(6), note text, data blob)") == 0
    assert eng.exec(hs, "insert into kept values (1, 1.5, 'ab', 'x', x'01'), (2, null, null, null, null)") == 0
    handles = {}
    for flags in (0, 1, 2):
        handles[flags] = streaming(eng, hdb)
        assert eng.qcSqlSetStmtAttr(handles[flags], NULL_FLAGS, ctypes.c_void_p(flags), 0) == 0
    for flags in (2, 0, 1, 2, 0):
        hs = handles[flags]
        assert eng.exec(hs, select) == 0
        cols = eng.columns(hs)
        fields = sum(c["len"] for c in cols)
        lengths = 4 * sum(c["type"] == ET["ARRA"] for c in cols) if flags == 2 else 0
        size = eng.rec_size(hs)
        assert size == fields + (1 if flags else 0) + lengths
        record = eng.records(hs)
        assert len(record) == size
        if flags:
            assert record[fields] == nulls


def test_a_statement_whose_table_changed_is_laid_out_for_its_new_columns(eng, hdb):
    hs = eng.stmt(hdb)
    assert eng.exec(hs, "create table t(a integer, b varchar(2))") == 0
    assert eng.exec(hs, "insert into t values (1, 'ab')") == 0
    hs = streaming(eng, hdb)
    assert eng.query(hs, "select * from t") == [[1, "ab"]]
    other = eng.stmt(hdb)
    assert eng.exec(other, "drop table t") == 0
    assert eng.exec(other, "create table t(a varchar(10), b integer, c double)") == 0
    assert eng.exec(other, "insert into t values ('wider text', 7, 0.25)") == 0
    assert eng.query(hs, "select * from t") == [["wider text", 7, 0.25]]


def test_anything_else_on_the_connection_reads_the_rest_first(eng, big):
    hs = streaming(eng, big)
    assert eng.exec(hs, "select id, v from big order by id") == 0
    other = eng.stmt(big)
    assert eng.exec(other, "update big set v = 'changed'") == 0
    assert row_count(eng, hs) == 3000  # the rest has been made
    got = batches(eng, hs)
    assert texts(got) == ["v%d" % i for i in range(1, 3001)]


def written_elsewhere(path):
    """A file another program wrote: a SMALLINT column holding a value past
    its range in row 1800 of 2000."""
    import sqlite3
    with sqlite3.connect(path) as db:
        db.execute("create table t(id integer, small smallint)")
        db.executemany("insert into t values (?, ?)", [(i, 100000 if i == 1800 else i) for i in range(1, 2001)])
    db.close()
    return path


def test_a_value_that_does_not_fit_fails_the_read_that_meets_it(eng, tmp_path):
    hdb = eng.open(written_elsewhere(str(tmp_path / "db.sqlite")))
    try:
        hs = streaming(eng, hdb)
        assert eng.exec(hs, "select id, small from t order by id") == 0
        start, rc = 0, 0
        while rc == 0:
            size = eng.rec_size(hs)
            assert size
            rc, data = eng.read(hs, start, 1 << 16)
            start += len(data) // size
        assert rc == -20 and start == 1799
        assert eng.rec_size(hs) == 0
        plain = eng.stmt(hdb)
        assert eng.exec(plain, "select id, small from t order by id") == -20  # without the attribute: at once
    finally:
        eng.close(hdb)


def test_closing_ends_the_stream_and_the_connection_goes_on(eng, big):
    hs = streaming(eng, big)
    assert eng.exec(hs, "select id, v from big") == 0
    assert eng.qcSqlCloseResults(hs) == 0
    assert eng.exec(hs, "select id from big where id = 7") == 0
    assert eng.rows(hs) == [[7]]
    assert eng.exec(eng.stmt(big), "delete from big") == 0


# ---- QSCLI_STMT_EXECUTED: the calls after an execute answered in one ----



class Executed(ctypes.Structure):
    _fields_ = [("columns", ctypes.c_int32), ("rc_size", ctypes.c_uint32), ("rows", ctypes.c_int32),
                ("open_rc", ctypes.c_int32), ("rec_size", ctypes.c_uint32), ("held", ctypes.c_uint32)]


def executed(eng, hs):
    e, n = Executed(), ctypes.c_uint(0)
    assert eng.qcSqlGetStmtAttr(hs, EXECUTED, 0, ctypes.byref(e), ctypes.sizeof(e), ctypes.byref(n)) == 0
    assert n.value == ctypes.sizeof(e)
    return e


def one_by_one(eng, hs):
    rows, columns = eng.counts(hs)
    size = ctypes.c_uint(0)
    open_rc = eng.qcSqlOpenResults(hs, ctypes.byref(size))
    return columns, eng.attr_u32(hs, 110), rows, open_rc, size.value if open_rc == 0 else 0


@pytest.mark.parametrize("sql,stream,held", [
    ("select id, v from big where id <= 3", True, 1),      # ends within the first batch
    ("select id, v from big where id = 0", True, 1),       # no record at all
    ("select id, v from big order by id", True, 0),        # batches to come
    ("select count(*) from big", True, 0),                 # an undeclared column: read whole
    ("select id, v from big where id <= 3", False, 0),     # not streamed: read whole
    ("update big set v = v where id <= 2", True, 0),       # no result set, a count of changes
    ("return 7", True, 0),                                 # a return value
])
def test_executed_answers_what_the_calls_one_by_one_answer(eng, big, sql, stream, held):
    hs = streaming(eng, big) if stream else eng.stmt(big)
    assert eng.exec(hs, sql) == 0
    e = executed(eng, hs)
    assert (e.columns, e.rc_size, e.rows, e.open_rc, e.rec_size) == one_by_one(eng, hs)
    assert e.held == held
    if held:
        # Held records read as they are, and the end reads as the end.
        assert len(eng.rows(hs)) == e.rows
        assert eng.read(hs, e.rows, 1 << 16) == (0, b"")
        assert executed(eng, hs).rows == e.rows


def test_executed_refuses_a_buffer_too_small(eng, big):
    hs = streaming(eng, big)
    assert eng.exec(hs, "select id from big where id = 1") == 0
    e, n = Executed(), ctypes.c_uint(0)
    assert eng.qcSqlGetStmtAttr(hs, EXECUTED, 0, ctypes.byref(e), ctypes.sizeof(e) - 1, ctypes.byref(n)) == -95
    assert n.value == 0


@pytest.mark.parametrize("sql,room,along", [
    ("select id, v from big where id <= 3", 0, True),         # room for every record
    ("select id, v from big where id <= 3", -1, False),       # a byte short of it
    ("select id, v from big where id <= 3", 1000, True),      # more than enough
    ("update big set v = v where id <= 2", 1000, False),      # no result: no records
])
def test_executed_sends_the_column_records_where_they_fit(eng, big, sql, room, along):
    hs = streaming(eng, big)
    assert eng.exec(hs, sql) == 0
    records = 2 * 128 if "select" in sql else 0
    buf, n = ctypes.create_string_buffer(ctypes.sizeof(Executed) + records + room), ctypes.c_uint(0)
    assert eng.qcSqlGetStmtAttr(hs, EXECUTED, 0, buf, len(buf), ctypes.byref(n)) == 0
    assert n.value == ctypes.sizeof(Executed) + (records if along else 0)
    if along:
        info, m = ctypes.create_string_buffer(records), ctypes.c_uint(0)
        assert eng.qcSqlGetStmtAttr(hs, DST_INFO, 0, info, records, ctypes.byref(m)) == 0
        assert buf.raw[ctypes.sizeof(Executed):n.value] == info.raw[:m.value]
