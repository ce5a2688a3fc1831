"""The test double itself, called directly: what the other tests take for
granted about it."""

import ctypes
import datetime

import pytest

import qxdouble


def c_uint():
    return ctypes.c_uint(0xDEADBEEF)


@pytest.mark.parametrize("date", [
    datetime.date(1900, 1, 1), datetime.date(1900, 2, 28), datetime.date(1900, 3, 1),
    datetime.date(2000, 2, 29), datetime.date(2078, 12, 31), datetime.date(2079, 6, 5),  # 65535
])
def test_date_packing_agrees_with_python(double, date):
    lib = double.lib
    packed = lib.qcSqlPackDate(date.day, date.month, date.year)
    assert packed == qxdouble.pack_date(date)
    d, m, y = c_uint(), c_uint(), c_uint()
    lib.qcSqlUnpackDate(ctypes.c_ushort(packed), ctypes.byref(d), ctypes.byref(m), ctypes.byref(y))
    assert datetime.date(y.value, m.value, d.value) == date == qxdouble.unpack_date(packed)


@pytest.mark.parametrize("day, month, year", [
    (0, 0, 0), (29, 2, 1900), (31, 4, 2000), (32, 1, 2000), (1, 13, 2000), (1, 1, 10000),
    (0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF),
])
def test_nonsense_dates_pack_to_no_date(double, day, month, year):
    assert double.lib.qcSqlPackDate(ctypes.c_uint(day), ctypes.c_uint(month),
                                    ctypes.c_uint(year)) == 0


def test_unpacking_no_date_gives_zeros(double):
    parts = [c_uint() for _ in range(3)]
    double.lib.qcSqlUnpackDate(ctypes.c_ushort(0), *map(ctypes.byref, parts))
    assert [p.value for p in parts] == [0, 0, 0]
    assert qxdouble.unpack_date(0) is None


@pytest.mark.parametrize("size, written", [(0, None), (1, b""), (5, b"abcd"), (6, b"abcde"),
                                           (50, b"abcde")])
def test_connection_attribute_text_is_cut_to_the_buffer(double, size, written):
    double.set_attr_text(qxdouble.QSCLI_CONN_SRV_VERS2, b"abcde")
    buf = ctypes.create_string_buffer(b"\xff" * (size + 4), size + 4)
    length = c_uint()
    assert double.lib.qcSqlGetConnectAttr(1, qxdouble.QSCLI_CONN_SRV_VERS2, 0, buf, size, ctypes.byref(length)) == 0
    if written is None:
        assert buf.raw == b"\xff" * 4
        assert length.value == 0
    else:
        assert buf.raw[:len(written) + 1] == written + b"\0"
        assert buf.raw[size:] == b"\xff" * 4
        assert length.value == len(written)


def statement(double, **script):
    double.set_result([qxdouble.colrec(qxdouble.QSCLI_ET_CHAR, 4)], b"".join(b"r%03d" % i for i in range(5)), **script)
    assert double.lib.qcSqlExecDirect(101, b"select") == 0


@pytest.mark.parametrize("start, size, delivered", [
    (0, 4, b"r000"), (0, 11, b"r000r001"), (3, 100, b"r003r004"), (4, 4, b"r004"),
    (5, 100, b""), (0, 3, b""), (-1, 100, b""), (2147483647, 100, b""),
])
def test_reads_deliver_whole_records_that_fit(double, start, size, delivered):
    statement(double)
    buf = ctypes.create_string_buffer(b"\xff" * (size + 4), size + 4)
    count = c_uint()
    double.lib.qcSqlReadResults(101, start, buf, size, ctypes.byref(count))
    assert count.value == len(delivered)
    assert buf.raw[:len(delivered)] == delivered
    assert buf.raw[size:] == b"\xff" * 4


def test_scripted_reads_report_their_count_but_write_only_the_buffer(double):
    statement(double, reads=[6, 30])
    buf = ctypes.create_string_buffer(b"\xff" * 12, 12)
    count = c_uint()
    counts = []
    for _ in range(3):
        double.lib.qcSqlReadResults(101, 0, buf, 8, ctypes.byref(count))
        counts.append(count.value)
    assert counts == [6, 30, 0]
    assert buf.raw == b"r000r001" + b"\xff" * 4


def test_failures_for_a_number_of_calls(double):
    double.fail("qcSqlFreeStmt", -3, times=2)
    assert [double.lib.qcSqlFreeStmt(101) for _ in range(3)] == [-3, -3, 0]
    double.fail("qcSqlCloseResults", 7)
    assert [double.lib.qcSqlCloseResults(101) for _ in range(3)] == [7, 7, 7]
    double.fail("qcSqlCloseResults", 0)
    assert double.lib.qcSqlCloseResults(101) == 0
    assert len(double.calls()) == 7


def test_journal_keeps_null_strings_and_large_records(double):
    records = bytes(range(256)) * 4096
    double.lib.qcSqlConnect(1, b"srv", None, b"")
    double.lib.qcSqlAddRecords(1, b"T", 4096, 256, records)
    double.set_bulk_journal(False)
    double.lib.qcSqlAddRecords(1, b"T", 4096, 256, records)
    assert double.calls() == [
        ("qcSqlConnect", (1, b"srv", None, b"")),
        ("qcSqlAddRecords", (1, b"T", 4096, 256, records)),
        ("qcSqlAddRecords", (1, b"T", 4096, 256, None)),
    ]


def test_unknown_entry_point_names_are_refused(double):
    with pytest.raises(ValueError):
        double.fail("qcSqlExecute", 1)
    with pytest.raises(ValueError):
        double.add_message(b"x", "qcSqlExec")
