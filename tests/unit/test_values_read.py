"""Reading values: record bytes served by the test double, cut into rows by a
cursor, and return-value bodies, one element type at a time."""
import datetime
import math
import struct
import types

import pytest

import qxdouble
from qxdouble import (QSCLI_ET_ARRA as ARRA, QSCLI_ET_BYTE as BYTE, QSCLI_ET_CHAR as CHAR, QSCLI_ET_CURR as CURR,
                      QSCLI_ET_DATE as DATE, QSCLI_ET_DFLT as DFLT, QSCLI_ET_DWRD as DWRD, QSCLI_ET_FLOA as FLOA,
                      QSCLI_ET_INTR as INTR, QSCLI_ET_LONG as LONG, QSCLI_ET_NMBR as NMBR, QSCLI_ET_WORD as WORD,
                      colrec)


@pytest.fixture
def qx(double):
    from pyqivrexdb import qxcore
    return qxcore


@pytest.fixture
def cur(qx, double):
    return qx.connect("db").cursor()


def fetch(double, cur, columns, records, **kwargs):
    double.set_result(columns, records, **kwargs)
    cur.execute("select")
    return cur.fetchall()


def read_one(double, cur, type_, len_, data):
    [[value]] = fetch(double, cur, [colrec(type_, len_)], data)
    return value


def f32(x):
    return struct.pack("<f", x)


def f64(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize("type_, len_, data, expected", [
    # text: all len bytes, nothing trimmed, a zero byte is U+0000
    (CHAR, 10, b"ABC       ", "ABC       "),
    (CHAR, 10, b"ABC" + bytes(7), "ABC" + "\0" * 7),
    (CHAR, 8, "Привет!!".encode("cp866"), "Привет!!"),
    (CHAR, 4, b"\xf8\xfa\xfd\xff", "°·¤\xa0"),  # the Latin-1 signs of the page
    (CHAR, 3, b"\xb0\xdb\xfe", "░█■"),
    # byte arrays: lower-case hex digits, two per byte
    (ARRA, 3, b"\x00\xab\x10", b"00ab10"),
    (ARRA, 2, b"\xff\xfe", b"fffe"),
    # every integer width at both bounds and both signs
    (BYTE, 1, b"\x00", 0),
    (BYTE, 1, b"\xff", 255),
    (INTR, 2, b"\xff\x7f", 32767),
    (INTR, 2, b"\x00\x80", -32768),
    (INTR, 2, b"\xff\xff", -1),
    (WORD, 2, b"\x00\x80", 32768),
    (WORD, 2, b"\xff\xff", 65535),
    (NMBR, 3, b"\xfe\xff\xff", 16777214),
    (NMBR, 3, b"\xff\xff\xff", 16777215),
    (NMBR, 3, b"\x01\x00\x01", 65537),
    (NMBR, 4, b"\x01\x02\x03\x84", 0x84030201),
    (LONG, 4, b"\xff\xff\xff\xff", -1),
    (LONG, 4, b"\x00\x00\x00\x80", -2147483648),
    (LONG, 4, b"\xff\xff\xff\x7f", 2147483647),
    (LONG, 2, b"\xff\xff", 65535),  # a short overlay: the high bytes are 0
    (DWRD, 4, b"\xff\xff\xff\xff", 4294967295),
    (DWRD, 4, b"\x00\x00\x00\x80", 2147483648),
    (DWRD, 1, b"\x80", 128),
    (FLOA, 4, f32(0.1), 0.10000000149011612),
    (FLOA, 4, f32(-3.5), -3.5),
    (FLOA, 4, b"\x00\x00\x80\x7f", math.inf),
    (CURR, 8, f64(12.5), 12.5),
    (DFLT, 8, f64(-1e300), -1e300),
    (DFLT, 8, f64(5e-324), 5e-324),
    (DFLT, 4, f64(2.0)[:4], 0.0),  # the low half of 2.0 is all zero
    (DATE, 2, b"\x00\x00", None),
    (DATE, 2, struct.pack("<H", qxdouble.pack_date(datetime.date(2000, 2, 29))), datetime.date(2000, 2, 29)),
    (DATE, 2, struct.pack("<H", 1), datetime.date(1900, 1, 1)),
    (DATE, 2, struct.pack("<H", 65379), datetime.date(2078, 12, 31)),
])
def test_value_of_bytes(double, cur, type_, len_, data, expected):
    value = read_one(double, cur, type_, len_, data)
    assert type(value) is type(expected)
    assert value == expected


def test_nan_reads_as_nan(double, cur):
    assert math.isnan(read_one(double, cur, DFLT, 8, f64(math.nan)))
    assert math.isnan(read_one(double, cur, FLOA, 4, b"\x00\x00\xc0\x7f"))


@pytest.mark.parametrize("type_", [CHAR, ARRA])
def test_empty_text_and_array_fields(double, cur, type_):
    # A field of no bytes between two others: it reads empty and takes no room.
    [row] = fetch(double, cur, [colrec(BYTE, 1), colrec(type_, 0), colrec(BYTE, 1)], b"\x07\x09")
    assert row == [7, "" if type_ == CHAR else b"", 9]


def test_many_repeated_and_distinct_texts(double, cur):
    # Short texts are shared through a small cache: every value must still be
    # its own bytes, whatever else landed in the cache before it.
    words = ["%04d" % i for i in range(3000)] + ["Ёж", "", "0000", "000"]
    words += words[::-1]
    columns = [colrec(CHAR, 4), colrec(CHAR, 3), colrec(CHAR, 0)]
    records = b"".join(w.encode("cp866").ljust(4, b"\0") + w.encode("cp866")[:3].ljust(3, b" ")
                       for w in words)
    rows = fetch(double, cur, columns, records)
    assert rows == [[w.ljust(4, "\0"), w[:3].ljust(3), ""] for w in words]


def test_record_offsets(double, cur):
    # INTR 2 + CHAR 5 + DFLT 8: the text starts at byte 2, the double at 7,
    # the next record at 15.
    columns = [colrec(INTR, 2), colrec(CHAR, 5), colrec(DFLT, 8)]
    records = struct.pack("<h5sd", -2, b"abcde", 1.5) + struct.pack("<h5sd", 7, b"\x00xyz ", -0.25)
    assert len(records) == 30
    assert fetch(double, cur, columns, records) == [[-2, "abcde", 1.5], [7, "\0xyz ", -0.25]]


@pytest.mark.parametrize("type_, len_, data, expected", [
    # a longer fixed-width field is read at its natural width and skipped by len
    (BYTE, 3, b"\x05\x99\x99", 5),
    (INTR, 4, b"\xfe\xff\x11\x22", -2),
    (WORD, 3, b"\x01\x01\x55", 257),
    (DATE, 4, b"\x00\x00\xff\xff", None),
])
def test_long_fixed_width_fields_skip_their_tail(double, cur, type_, len_, data, expected):
    columns = [colrec(type_, len_), colrec(BYTE, 1)]
    assert fetch(double, cur, columns, data + b"\x2a") == [[expected, 42]]


# --- what is refused ----------------------------------------------------------

@pytest.mark.parametrize("type_", [12, 100, 2 ** 31 - 1, -1, -2 ** 31])
def test_type_codes_outside_the_table_are_refused(qx, double, cur, type_):
    double.set_result([colrec(BYTE, 1), colrec(type_, 1)], b"\x01\x02")
    cur.execute("select")
    with pytest.raises(qx.ProgrammingError) as info:
        cur.fetchone()
    assert info.value.args == ("Field type error",)
    assert cur.fetchone() is None  # the iterator is finished


@pytest.mark.parametrize("type_, len_, message", [
    (BYTE, 0, "field 0 of type QSCLI_ET_BYTE has len 0, at least 1 expected"),
    (INTR, 1, "field 0 of type QSCLI_ET_INTR has len 1, at least 2 expected"),
    (WORD, 1, "field 0 of type QSCLI_ET_WORD has len 1, at least 2 expected"),
    (DATE, 1, "field 0 of type QSCLI_ET_DATE has len 1, at least 2 expected"),
    (NMBR, 5, "field 0 of type QSCLI_ET_NMBR has len 5, at most 4 expected"),
    (LONG, 5, "field 0 of type QSCLI_ET_LONG has len 5, at most 4 expected"),
    (DWRD, 8, "field 0 of type QSCLI_ET_DWRD has len 8, at most 4 expected"),
    (FLOA, 5, "field 0 of type QSCLI_ET_FLOA has len 5, at most 4 expected"),
    (CURR, 9, "field 0 of type QSCLI_ET_CURR has len 9, at most 8 expected"),
    (DFLT, 16, "field 0 of type QSCLI_ET_DFLT has len 16, at most 8 expected"),
])
def test_lengths_that_would_leave_the_field_are_refused(qx, double, cur, type_, len_, message):
    double.set_result([colrec(type_, len_)], bytes(max(len_, 1)), rec_size=max(len_, 1))
    cur.execute("select")
    with pytest.raises(qx.ProgrammingError) as info:
        cur.fetchall()
    assert info.value.args == ("Field length error: " + message,)


@pytest.mark.parametrize("type_, len_", [(CHAR, 1000), (ARRA, 1000), (LONG, 4), (DFLT, 8), (INTR, 2)])
def test_record_ending_exactly_at_the_buffer_end(qx, double, cur, type_, len_):
    # One record that fills the read buffer to its last byte.
    qx.HEAPCTRL = 0
    data = bytes(range(256)) * 4
    rows = fetch(double, cur, [colrec(type_, len_)], data[:len_])
    assert len(rows) == 1
    [read] = double.calls("qcSqlReadResults")[:1]
    assert read.args[3] == len_


# --- late binding of the type codes -------------------------------------------

def test_rebinding_a_type_code_takes_effect_from_the_next_row(qx, double, cur):
    double.set_result([colrec(LONG, 4)], struct.pack("<3i", 1, 2, 3))
    cur.execute("select")
    assert cur.fetchone() == [1]
    qx.QSCLI_ET_CHAR = LONG  # compared in code order: CHAR now wins for 7
    assert cur.fetchone() == ["\x02\0\0\0"]
    qx.QSCLI_ET_CHAR = 0
    assert cur.fetchone() == [3]


def test_a_code_no_name_matches_is_a_field_type_error(qx, double, cur):
    qx.QSCLI_ET_DFLT = 99
    double.set_result([colrec(DFLT, 8)], f64(1.0))
    cur.execute("select")
    with pytest.raises(qx.ProgrammingError, match="^Field type error$"):
        cur.fetchall()


def test_a_deleted_type_name_is_a_name_error(qx, double, cur):
    del qx.QSCLI_ET_BYTE
    double.set_result([colrec(DWRD, 4)], bytes(4))
    cur.execute("select")
    with pytest.raises(NameError, match="QSCLI_ET_BYTE"):
        cur.fetchall()


def test_type_codes_of_other_number_types_compare_by_value(qx, double, cur):
    qx.QSCLI_ET_BYTE = 2.0
    assert read_one(double, cur, BYTE, 1, b"\x09") == 9


# --- dates --------------------------------------------------------------------

def test_dates_are_unpacked_by_the_library(double, cur):
    days = [datetime.date(1900, 1, 1), datetime.date(1970, 6, 15), datetime.date(2078, 12, 31)]
    packed = [qxdouble.pack_date(d) for d in days]
    # Packed values 1024 apart share a slot of the module's date cache.
    packed += [packed[1] + 1024, packed[1], packed[1] + 1024]
    rows = fetch(double, cur, [colrec(DATE, 2)], struct.pack("<6H", *packed))
    assert [r[0] for r in rows] == [qxdouble.unpack_date(p) for p in packed]
    assert [c.args[0] for c in double.calls("qcSqlUnpackDate")] == packed


def test_impossible_date_parts_raise_the_date_error(double, cur):
    double.fail("qcSqlUnpackDate", 1)  # leaves day, month and year at 0
    with pytest.raises(ValueError):
        read_one(double, cur, DATE, 2, b"\x05\x00")


# --- return-value bodies -------------------------------------------------------

@pytest.mark.parametrize("type_, body, size, expected", [
    (CHAR, "Итог".encode("cp866") + b"\0junk", None, "Итог"),
    (CHAR, b"no zero", None, "no zero"),  # a body without a zero is taken whole
    (CHAR, b"\0abc", None, ""),
    (ARRA, b"\x0a\xff\0\x01", None, b"0aff"),
    (BYTE, b"\xfe", None, 254),
    (INTR, b"\x00\x80", None, -32768),
    (WORD, b"\xff\xff", None, 65535),
    (DATE, b"\x00\x00", None, None),
    (DATE, b"\x01\x00", None, datetime.date(1900, 1, 1)),
    (NMBR, b"\x01\x00\x01", None, 65537),
    (LONG, b"\xfe\xff\xff\xff", None, -2),
    (DWRD, b"\xfe\xff\xff\xff", None, 4294967294),
    (LONG, b"\x01\x00\x00\x00\xff\xff\xff\xff", None, 1),  # only the overlay's four bytes
    (LONG, b"\xff\xff", None, 65535),  # a short body: high bytes 0
    (FLOA, f32(0.1), None, 0.10000000149011612),
    (CURR, f64(12.5), None, 12.5),
    (DFLT, f64(-2.0) + b"tail", None, -2.0),
])
def test_return_value_bodies(double, cur, type_, body, size, expected):
    double.set_retval(type_, body, size=size)
    cur.execute("select")
    value = cur.retcode()
    assert type(value) is type(expected)
    assert value == expected


@pytest.mark.parametrize("type_", [12, -5])
def test_return_value_of_an_unknown_type_is_not_decoded(double, cur, type_):
    double.set_retval(type_, b"\x01\x02\x03\x04")
    cur.execute("select")
    assert cur.retcode() is None


def test_return_value_type_follows_rebinding(qx, double, cur):
    qx.QSCLI_ET_WORD = 42
    double.set_retval(42, b"\xff\xff")
    cur.execute("select")
    assert cur.retcode() == 65535


# --- binascii is the module's name, looked up at each use -------------------

def test_byte_arrays_go_through_the_binascii_bound_now(qx, double, cur):
    seen = []

    def b2a_hex(data):
        seen.append(data)
        return data.hex().upper().encode()

    double.set_result([colrec(ARRA, 2), colrec(BYTE, 1)], b"\xab\x01\x07" + b"\xcd\x02\x08" + b"\xef\x03\x09")
    cur.execute("select")
    assert cur.fetchone() == [b"ab01", 7]
    qx.binascii = types.SimpleNamespace(b2a_hex=b2a_hex)  # from the next row on
    assert cur.fetchone() == [b"CD02", 8]
    del qx.binascii
    with pytest.raises(NameError, match="binascii"):
        cur.fetchone()
    qx.binascii = types.SimpleNamespace(b2a_hex=b2a_hex)
    double.set_retval(ARRA, b"\x0a\xff\0\x01")
    cur.execute("select")
    assert cur.retcode() == b"0AFF"
    assert seen == [b"\xcd\x02", b"\x0a\xff"]


def test_without_binascii_only_byte_arrays_fail(qx, double, cur):
    del qx.binascii
    assert read_one(double, cur, LONG, 4, b"\x01\0\0\0") == 1
    with pytest.raises(NameError, match="binascii"):
        read_one(double, cur, ARRA, 1, b"\x01")
