"""The statement's return value: reading it after execute and retcode()."""

import datetime
import logging
import struct

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import ProgrammingError
from qxdouble import (QSCLI_ET_ARRA, QSCLI_ET_BYTE, QSCLI_ET_CHAR, QSCLI_ET_CURR, QSCLI_ET_DATE,
                      QSCLI_ET_DFLT, QSCLI_ET_DWRD, QSCLI_ET_FLOA, QSCLI_ET_INTR, QSCLI_ET_LONG,
                      QSCLI_ET_NMBR, QSCLI_ET_WORD, QSCLI_STMT_RC_BODY, QSCLI_STMT_RC_SIZE,
                      QSCLI_STMT_RC_TYPE, QSCLI_STMT_SAB_TYPE, pack_date)

# The attributes every executed statement reads, then the return value's type.
STATEMENT_READS = [(QSCLI_STMT_SAB_TYPE, 4), (QSCLI_STMT_RC_SIZE, 4)]
TYPE_READ = (QSCLI_STMT_RC_TYPE, 4)


def attr_reads(double):
    return [(c.args[1], c.args[3]) for c in double.calls("qcSqlGetStmtAttr")]


@pytest.mark.parametrize("type_, body, value", [
    (QSCLI_ET_CHAR, "Итог\0хвост".encode("cp866"), "Итог"),
    (QSCLI_ET_CHAR, b"whole", "whole"),
    (QSCLI_ET_CHAR, b"\0abc", ""),
    (QSCLI_ET_ARRA, b"\x01\xab\x00\xff", b"01ab"),
    (QSCLI_ET_BYTE, b"\xff\x01", 255),
    (QSCLI_ET_INTR, b"\x00\x80", -32768),
    (QSCLI_ET_INTR, b"\xff\x7f", 32767),
    (QSCLI_ET_WORD, b"\xff\xff", 65535),
    (QSCLI_ET_DATE, b"\0\0", None),
    (QSCLI_ET_DATE, struct.pack("<H", pack_date(datetime.date(2024, 2, 29))),
     datetime.date(2024, 2, 29)),
    (QSCLI_ET_NMBR, b"\x01\x00\x01", 65537),
    (QSCLI_ET_LONG, b"\xfe\xff\xff\xff", -2),
    (QSCLI_ET_LONG, b"\x00\x00\x00\x80", -2 ** 31),
    (QSCLI_ET_DWRD, b"\xfe\xff\xff\xff", 4294967294),
    (QSCLI_ET_LONG, b"\x05\x00\x00\x00\x09\x09\x09\x09", 5),  # past the overlay: ignored
    (QSCLI_ET_FLOA, struct.pack("<f", 0.1), 0.10000000149011612),
    (QSCLI_ET_CURR, struct.pack("<d", 12.5), 12.5),
    (QSCLI_ET_DFLT, struct.pack("<d", -1e300) + b"\1\1", -1e300),
])
def test_return_values_by_type(double, cur, type_, body, value):
    double.set_retval(type_, body)
    cur.execute("call f()")
    got = cur.retcode()
    assert got == value and type(got) is type(value)
    assert attr_reads(double) == STATEMENT_READS + [TYPE_READ, (QSCLI_STMT_RC_BODY, len(body))]


@pytest.mark.parametrize("type_", [12, 99, -5, 2 ** 31 - 1])
def test_unknown_type_is_no_error_and_stores_nothing(double, cur, type_):
    double.set_retval(type_, b"\1\2\3\4")
    cur.execute("call f()")
    assert cur.retcode() is None
    assert attr_reads(double)[-1] == (QSCLI_STMT_RC_BODY, 4)


def test_no_return_value_reads_only_the_type(double, cur):
    double.set_retval(-1, b"\1\2\3\4")
    cur.execute("call f()")
    assert cur.retcode() is None
    assert attr_reads(double) == STATEMENT_READS + [TYPE_READ]


def test_statement_without_return_value_reads_no_type(double, cur):
    cur.execute("select")
    assert attr_reads(double) == STATEMENT_READS


def test_direct_call_keeps_the_previous_value_when_there_is_none(double, cur):
    double.set_retval(QSCLI_ET_LONG, b"\x07\0\0\0")
    cur.execute("call f()")
    first = cur.retcode()
    assert cur.retcode() is first
    double.set_retval(-1, b"")
    cur.execute("call g()")  # a new statement: reset to None, then nothing stored
    assert cur.retcode() is None
    double.set_retval(QSCLI_ET_LONG, b"\x07\0\0\0")
    cur.execute("call f()")
    double.set_retval(12, b"\1")
    cur.execute("call g()")
    double.clear()
    cur._read_retcode(4)  # type 12 on the statement now: kept as it was
    assert cur.retcode() is None


def test_direct_call_stores_the_value(double, cur):
    double.set_retval(QSCLI_ET_WORD, b"\x02\x01")
    cur.execute("call f()")
    cur._read_retcode(1)
    assert cur.retcode() == 0x02  # only the first byte asked for
    assert attr_reads(double)[-1] == (QSCLI_STMT_RC_BODY, 1)


@pytest.mark.parametrize("arg, error", [
    (-1, OverflowError), (2 ** 32, OverflowError), ("4", TypeError), (None, TypeError),
])
def test_read_retcode_argument(cur, arg, error):
    with pytest.raises(error):
        cur._read_retcode(arg)


@pytest.mark.parametrize("skip, reads", [(0, 1), (1, 2)])
def test_attribute_read_failures_keep_the_value(double, cur, skip, reads):
    double.set_retval(QSCLI_ET_LONG, b"\x07\0\0\0")
    cur.execute("call f()")
    double.clear()
    double.fail("qcSqlGetStmtAttr", -3, skip=skip)
    with pytest.raises(ProgrammingError) as info:
        cur._read_retcode(4)
    assert info.value.args == ("qcSqlGetStmtAttr error %d:", -3)
    assert cur.retcode() == 7
    assert len(double.calls("qcSqlGetStmtAttr")) == reads


@pytest.mark.parametrize("skip", [2, 3])
def test_attribute_read_failures_propagate_out_of_execute(double, cur, skip):
    double.set_retval(QSCLI_ET_LONG, b"\x07\0\0\0")
    double.fail("qcSqlGetStmtAttr", -3, skip=skip)
    with pytest.raises(ProgrammingError):
        cur.execute("call f()")
    assert cur.retcode() is None
    assert double.names()[-1] == "qcSqlGetStmtAttr"


def test_errors_of_the_return_value_step_leave_fetching_refused(double):
    qxcore.initlibrary()

    class Mine(qxcore.Cursor):
        def _read_retcode(self, size):
            raise KeyError(size)
    c = Mine(1, 0)
    double.set_retval(QSCLI_ET_LONG, b"\x07\0\0\0")
    with pytest.raises(KeyError):
        c.execute("call f()")
    with pytest.raises(ProgrammingError, match="did not produce"):
        c.fetchone()


def test_zero_size_means_no_return_value(double, cur):
    double.set_retval(QSCLI_ET_CHAR, b"", size=0)
    cur.execute("call f()")
    assert cur.retcode() is None
    assert attr_reads(double) == STATEMENT_READS


def test_debug_line(double, cur, caplog):
    qxcore.DEBUG = True
    double.set_retval(QSCLI_ET_LONG, b"\x07\0\0\0")
    with caplog.at_level(logging.DEBUG, "pyqivrexdb.qxcore"):
        cur.execute("call f()")
    assert "retcode_type: 7, retcode_length: 4" in caplog.messages
