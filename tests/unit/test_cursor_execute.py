"""Cursor.execute: the statement text, the calls in their order, error
mapping, the read buffer size and the log lines."""

import logging
import struct

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi, qxcore
from pyqivrexdb.errors import IntegrityError, ProgrammingError
from qxdouble import (QSCLI_ET_CHAR, QSCLI_ET_DATE, QSCLI_ET_LONG, QSCLI_STMT_DST_INFO, QSCLI_STMT_RC_SIZE,
                      QSCLI_STMT_SAB_TYPE, colrec)

LOGGER = "pyqivrexdb.qxcore"
PREAMBLE = ["qcSqlExecDirect", "qcSqlGetStmtAttr", "qcSqlGetStmtAttr", "qcSqlRowCount",
            "qcSqlNumResultCols"]
RESULT = PREAMBLE + ["qcSqlOpenResults", "qcSqlGetStmtAttr"]


def two_columns(double, rows=2):
    double.set_result([colrec(QSCLI_ET_LONG, 4, b"ID"), colrec(QSCLI_ET_CHAR, 3, b"NAME")],
                      b"".join(struct.pack("<i", i) + b"abc" for i in range(rows)))


def sent(double):
    return [c.args[1] for c in double.calls("qcSqlExecDirect")]


def first_read_size(double, cur):
    cur.fetchone()
    return double.calls("qcSqlReadResults")[0].args[2]


def test_result_set_journal(double, cur):
    two_columns(double)
    assert cur.execute("select id, name from t") is None
    assert double.calls() == [
        ("qcSqlExecDirect", (101, b"select id, name from t")),
        ("qcSqlGetStmtAttr", (101, QSCLI_STMT_SAB_TYPE, 0, 4, 4, None)),
        ("qcSqlGetStmtAttr", (101, QSCLI_STMT_RC_SIZE, 0, 4, 4, None)),
        ("qcSqlRowCount", (101, None)),
        ("qcSqlNumResultCols", (101, None)),
        ("qcSqlOpenResults", (101, None)),
        ("qcSqlGetStmtAttr", (101, QSCLI_STMT_DST_INFO, 0, 256, 256, None)),
    ]
    assert cur.get_number_records() == 2
    assert [d.name for d in cur.description] == ["ID", "NAME"]


def test_statement_without_result_set(double, cur):
    cur.execute("update t set a = 1")
    assert double.names() == PREAMBLE
    assert cur.description is None
    assert (cur.fetchone(), cur.fetchmany(3), cur.fetchall()) == (None, [], [])


def test_zero_columns_open_a_result_set(double, cur):
    double.set_result([], col_count=0, row_count=0)
    cur.execute("select")
    assert double.names() == RESULT
    assert cur.description is None
    assert cur.fetchall() == []
    double.clear()
    cur.execute("select")  # the open result set is closed first
    assert double.names()[:2] == ["qcSqlCloseResults", "qcSqlExecDirect"]


@pytest.mark.parametrize("count", [-2, -2 ** 31, 2 ** 25 + 1])
def test_impossible_column_counts_are_refused(double, cur, count):
    double.set_result([], col_count=count)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("select")
    assert info.value.args == ("qcSqlNumResultCols error %d:", count)
    assert double.names() == PREAMBLE


@pytest.mark.parametrize("params", [None, (), [], {}, 0, ""])
def test_percent_is_sent_unchanged_without_parameters(double, cur, params):
    cur.execute("select * from t where a like '10%'", params)
    assert sent(double) == [b"select * from t where a like '10%'"]


@pytest.mark.parametrize("text, params, statement", [
    ("select %s", (5,), b"select 5"),
    ("select %s", [1, 2], b"select [1, 2]"),
    ("select %s", "x", b"select x"),
    ("select %(a)s, %(b)d", {"a": "q", "b": 7}, b"select q, 7"),
    ("select %s, %s", ("Привет", None), "select Привет, None".encode("cp866")),
])
def test_parameters_are_formatted_with_percent(double, cur, text, params, statement):
    cur.execute(text, params)
    assert sent(double) == [statement]


def test_keywords(double, cur):
    cur.execute(params=(1,), textsql="select %s")
    assert sent(double) == [b"select 1"]


@pytest.mark.parametrize("text, params, error", [
    ("select %s, %s", (1,), TypeError),
    ("select %q", (1,), ValueError),
    ("select €", None, UnicodeEncodeError),
    (b"select 1", None, AttributeError),
    ("select 1\x00; drop table t", None, ValueError),
    ("select %s", ("a\x00b",), ValueError),
])
def test_text_errors_come_before_any_call_and_keep_the_open_result(double, cur, text, params,
                                                                   error):
    two_columns(double)
    cur.execute("select")
    double.clear()
    with pytest.raises(error):
        cur.execute(text, params)
    assert double.calls() == []
    assert cur.fetchone() == [0, "abc"]  # the previous result is untouched


@pytest.mark.parametrize("heapctrl, error", [
    (-1, OverflowError), (2 ** 32, OverflowError), ("64", TypeError), (None, TypeError),
])
def test_heapctrl_is_read_first(double, cur, heapctrl, error):
    qxcore.HEAPCTRL = heapctrl
    with pytest.raises(error):
        cur.execute("select %s", (1, 2))  # the formatting error would come later
    assert double.calls() == []


def test_missing_heapctrl(double, cur):
    del qxcore.HEAPCTRL
    with pytest.raises(NameError):
        cur.execute("select")
    assert double.calls() == []


@pytest.mark.parametrize("params", [None, ("a",)])
def test_closed_cursor_code(double, cur, params):
    double.fail("qcSqlExecDirect", -97)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("select %s" if params else "select", params)
    assert info.value.args == ("Cursor closed, error=%d:", -97)
    assert type(info.value) is ProgrammingError


@pytest.mark.parametrize("text, params, joined", [
    ("insert %s, %s", ("a", "b"), "a, b"),
    ("insert %s, %s, %s", (1, None, 2.5), "1, None, 2.5"),
    ("insert %(k)s", {"k": 1}, "k"),
    ("insert %s", 5, "5"),
    ("insert %s", "xy", "x, y"),
])
def test_failed_statement_with_parameters(double, cur, text, params, joined):
    double.fail("qcSqlExecDirect", -19)
    with pytest.raises(IntegrityError) as info:
        cur.execute(text, params)
    assert info.value.args == ("execute() error=%d: params=[$%]", (-19, joined))
    assert info.value.error_code_qivrex == -19


def test_failed_statement_without_parameters(double, cur):
    double.fail("qcSqlExecDirect", -19)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("insert")
    assert info.value.args == ("execute() error %d:", -19)
    assert info.value.server_text is None  # the double tells no text
    assert double.names() == ["qcSqlExecDirect", "qcSqlGetStmtAttr"]
    with pytest.raises(ProgrammingError, match="did not produce"):
        cur.fetchone()


@pytest.mark.parametrize("entry, skip, template, after", [
    ("qcSqlGetStmtAttr", 0, "qcSqlGetStmtAttr error %d:", False),    # result type
    ("qcSqlGetStmtAttr", 1, "qcSqlGetStmtAttr error %d:", False),    # return value size
    ("qcSqlRowCount", 0, "qcSqlRowCount error %d:", True),
    ("qcSqlNumResultCols", 0, "qcSqlNumResultCols error %d:", True),
    ("qcSqlOpenResults", 0, "qcSqlOpenResults error %d:", True),
    ("qcSqlGetStmtAttr", 2, "qcSqlGetStmtAttr error %d:", True),     # the descriptors
])
def test_failures_after_the_statement(double, cur, entry, skip, template, after):
    two_columns(double)
    double.fail(entry, -8, skip=skip)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("select")
    assert info.value.args == (template, -8)
    assert double.names()[-1] == entry
    if after:  # past the return-value step: fetching is allowed and finds nothing
        assert cur.fetchone() is None
    else:
        with pytest.raises(ProgrammingError):
            cur.fetchone()
    double.fail(entry, 0)
    double.clear()
    two_columns(double)
    cur.execute("select")  # a result set left open is closed first
    assert double.names()[0] == ("qcSqlCloseResults" if skip == 2 else "qcSqlExecDirect")


@pytest.mark.parametrize("face", ["core", "standard"])
def test_a_failed_close_before_an_execute_sends_nothing_and_is_tried_again(double, cur, face):
    if face == "standard":
        cur = dbapi.connect("srv", autocommit=True).cursor()
    two_columns(double)
    cur.execute("select")
    double.fail("qcSqlCloseResults", -6, times=1)
    double.clear()
    with pytest.raises(ProgrammingError, match="qcSqlCloseResults error -6"):
        cur.execute("select")
    assert double.names() == ["qcSqlCloseResults"]
    double.clear()
    two_columns(double)
    cur.execute("select")  # the result is still open: closed first, then the statement
    assert double.names()[:2] == ["qcSqlCloseResults", "qcSqlExecDirect"]


def test_each_execute_closes_the_previous_result_and_resets(double, cur):
    two_columns(double, rows=5)
    double.set_retval(QSCLI_ET_LONG, b"\7\0\0\0")
    cur.execute("select")
    assert cur.retcode() == 7
    cur.fetchone()
    cur.fetchone()
    double.clear()
    two_columns(double, rows=5)
    cur.execute("select")
    assert double.names() == ["qcSqlCloseResults"] + RESULT
    assert cur.retcode() is None
    cur.fetchone()
    assert double.calls("qcSqlReadResults")[0].args[1] == 0  # start_record back at 0


def test_set_start_record_before_execute_is_reset(double, cur):
    two_columns(double, rows=8)
    cur.set_start_record(5)
    cur.execute("select")
    assert cur.fetchone() == [0, "abc"]


def test_set_start_record_after_execute(double, cur):
    two_columns(double, rows=8)
    cur.execute("select")
    cur.set_start_record(5)
    assert cur.fetchall() == [[i, "abc"] for i in range(5, 8)]
    assert double.calls("qcSqlReadResults")[0].args[1] == 5


@pytest.mark.parametrize("rec_size, heapctrl, size", [
    (300, 1000, 1200),
    (4096, 1000, 4096),
    (300, 0, 300),
    (300, 300, 300),
    (300, 301, 600),
    (1, 65536, 65536),
    (0, 1000, 1000),         # records of no size: the limit itself, no endless growth
    (0, 0, 0),
    (2 ** 31 + 1, 2 ** 32 - 1, 2 ** 31 + 1),  # the next multiple would not fit 32 bits
    (2, 2 ** 32 - 1, 2 ** 32 - 2),
])
def test_read_buffer_size(double, cur, rec_size, heapctrl, size):
    qxcore.HEAPCTRL = heapctrl
    double.set_result([], col_count=0, rec_size=rec_size, row_count=1, reads=[0])
    cur.execute("select")
    assert first_read_size(double, cur) == size


def test_the_package_setting_is_the_one_the_core_reads(double, cur):
    pyqivrexdb.HEAPCTRL = 600
    assert (qxcore.HEAPCTRL, pyqivrexdb.HEAPCTRL) == (600, 600)
    double.set_result([], col_count=0, rec_size=300, row_count=1, reads=[0])
    cur.execute("select")
    assert first_read_size(double, cur) == 600
    qxcore.DEBUG = True
    assert pyqivrexdb.DEBUG is True


def test_read_results_and_read_retcode_are_looked_up_on_the_object(double, cur):
    seen = []

    class Mine(qxcore.Cursor):
        def _read_retcode(self, size):
            seen.append(("retcode", size))

        def _read_results(self, buffer_size, rec_size):
            seen.append(("results", buffer_size, rec_size))
            return (row for row in [[1], [2], [3]])
    c = Mine(1, 0)
    double.set_retval(QSCLI_ET_LONG, b"\1\2\3\4\5", size=5)
    double.set_result([colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_DATE, 2)], rec_size=6)
    c.execute("select")
    assert seen == [("retcode", 5), ("results", 256, 6)]
    assert c.retcode() is None
    assert (c.fetchone(), c.fetchmany(), c.fetchall(), c.fetchone()) == ([1], [[2]], [[3]], None)


def test_statement_logs(double, cur, caplog):
    qxcore.DEBUG = True
    two_columns(double, rows=3)
    with caplog.at_level(logging.DEBUG, LOGGER):
        cur.execute("select %s", ("x",))
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", "%r: _reset()" % cur),
        ("DEBUG", "%r: execute(textsql=\"select %%s\", params=('x',))" % cur),
        ("DEBUG", "Cursor.execute() result type: 0"),
        ("DEBUG", "Cursor.execute() row_count: 3, columns_count: 2"),
    ]


def test_result_type_is_logged_unsigned(double, cur, caplog):
    qxcore.DEBUG = True
    double.set_result([], sab_type=0xFFFFFFFF)
    with caplog.at_level(logging.DEBUG, LOGGER):
        cur.execute("select")
    assert "Cursor.execute() result type: 4294967295" in caplog.messages


@pytest.mark.parametrize("debug", [False, True])
def test_error_logs(double, cur, caplog, debug):
    qxcore.DEBUG = debug
    double.fail("qcSqlExecDirect", -1)
    with caplog.at_level(logging.DEBUG, LOGGER), pytest.raises(ProgrammingError):
        cur.execute("select 'я'")
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert errors == (["execute(textsql=\"%s\"" % "select 'я'".encode("cp866")] if debug else [])


def test_open_results_failure_is_logged_always(double, cur, caplog):
    two_columns(double)
    double.fail("qcSqlOpenResults", -2)
    with caplog.at_level(logging.DEBUG, LOGGER), pytest.raises(ProgrammingError):
        cur.execute("select")
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("ERROR", "columns_count: 2")]
