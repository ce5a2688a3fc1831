"""Writing values (through Connection.addrecords) and reading the same bytes
back (through a cursor): what survives the round trip, and the encoder's
edges that the loader's own tests leave aside."""
import binascii
import datetime
import math
import struct
import types

import pytest

from qxdouble import (QSCLI_ET_ARRA as ARRA, QSCLI_ET_BYTE as BYTE, QSCLI_ET_CHAR as CHAR, QSCLI_ET_CURR as CURR,
                      QSCLI_ET_DATE as DATE, QSCLI_ET_DFLT as DFLT, QSCLI_ET_DWRD as DWRD, QSCLI_ET_FLOA as FLOA,
                      QSCLI_ET_INTR as INTR, QSCLI_ET_LONG as LONG, QSCLI_ET_NMBR as NMBR, QSCLI_ET_WORD as WORD,
                      colrec)

FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
STRUCT_COLUMNS = [colrec(LONG, 4), colrec(LONG, 4), colrec(CHAR, 32), colrec(LONG, 4), colrec(LONG, 4)]


@pytest.fixture
def qx(double):
    from pyqivrexdb import qxcore
    return qxcore


@pytest.fixture
def conn(qx, double):
    c = qx.connect("db")
    double.clear()
    return c


def script_table(double, fields):
    records = b"".join(struct.pack("<ii32sii", 0, i, b"F%d" % i, type_, len_)
                       for i, (type_, len_) in enumerate(fields))
    double.set_result(STRUCT_COLUMNS, records)


def write(double, conn, fields, row):
    script_table(double, fields)
    conn.addrecords("T", [row])
    [call] = double.calls("qcSqlAddRecords")
    double.clear()
    return call.args[4]


def read(double, conn, fields, data):
    double.set_result([colrec(t, n) for t, n in fields], data)
    cur = conn.cursor()
    cur.execute("select")
    [row] = cur.fetchall()
    return row


@pytest.mark.parametrize("type_, len_, value, back", [
    (CHAR, 6, "Мир", "Мир\0  "),  # shorter text: one NUL, then blanks
    (CHAR, 3, "Мир", "Мир"),
    (CHAR, 2, b"abc", "ab"),
    (ARRA, 3, "0A1", b"0a1000"),  # upper-case digits come back lower-case
    (ARRA, 2, b"zz99", b"0099"),
    (BYTE, 1, 254, 254),
    (INTR, 2, -32767, -32767),
    (WORD, 2, 65534, 65534),
    (NMBR, 3, 16777214, 16777214),
    (LONG, 4, -2147483647, -2147483647),
    (DWRD, 4, 4294967294, 4294967294),
    (FLOA, 4, 0.1, 0.10000000149011612),  # rounded to single precision
    (FLOA, 4, -0.0, -0.0),
    (CURR, 8, 1234.5678, 1234.5678),
    (DFLT, 8, 5e-324, 5e-324),
    (DATE, 2, datetime.date(1999, 12, 31), datetime.date(1999, 12, 31)),
])
def test_round_trip(double, conn, type_, len_, value, back):
    data = write(double, conn, [(type_, len_)], [value])
    got = read(double, conn, [(type_, len_)], data)[0]
    assert type(got) is type(back) and got == back
    if isinstance(back, float):
        assert math.copysign(1, got) == math.copysign(1, back)


def test_record_of_mixed_fields_round_trips(double, conn):
    fields = [(LONG, 4), (CHAR, 12), (DFLT, 8), (DATE, 2), (INTR, 2), (CHAR, 8)]
    row = [-5, "ascii text", 2.5, datetime.date(2024, 2, 29), 300, "Кириллиц"]
    data = write(double, conn, fields, row)
    assert len(data) == 36
    assert read(double, conn, fields, data) == row[:1] + ["ascii text\0 "] + row[2:]


@pytest.mark.parametrize("value, image", [
    (FLT_MAX, b"\xff\xff\x7f\x7f"),
    (float.fromhex("0x1.fffffefffffffp127"), b"\xff\xff\x7f\x7f"),  # just below the half-way point
    (float.fromhex("0x1.ffffffp127"), b"\x00\x00\x80\x7f"),  # the tie goes to infinity
    (1e300, b"\x00\x00\x80\x7f"),
    (-1e300, b"\x00\x00\x80\xff"),
    (math.inf, b"\x00\x00\x80\x7f"),
    (1e-50, b"\x00\x00\x00\x00"),
    (-1e-50, b"\x00\x00\x00\x80"),
])
def test_single_precision_narrowing(double, conn, value, image):
    assert write(double, conn, [(FLOA, 4)], [value]) == image


def test_nan_is_written_as_a_nan(double, conn):
    data = write(double, conn, [(FLOA, 4), (DFLT, 8)], [math.nan, math.nan])
    single, double_ = struct.unpack("<fd", data)
    assert math.isnan(single) and math.isnan(double_)


@pytest.mark.parametrize("type_, len_, value, image", [
    (FLOA, 2, 1.0, struct.pack("<f", 1.0)[:2]),
    (FLOA, 0, 1.0, b""),
    (DWRD, 3, 0x01020304, b"\x04\x03\x02"),
    (CURR, 1, 2.0, struct.pack("<d", 2.0)[:1]),
])
def test_overlay_types_write_their_first_len_bytes(double, conn, type_, len_, value, image):
    assert write(double, conn, [(BYTE, 1), (type_, len_), (BYTE, 1)], [1, value, 2]) == b"\x01" + image + b"\x02"


def test_every_byte_that_is_no_hex_digit_counts_as_zero(double, conn):
    digits = set(b"0123456789abcdefABCDEF")
    for b in range(256):
        data = write(double, conn, [(ARRA, 1)], [bytes([b, ord("1")])])
        expected = bytes([int(chr(b), 16) * 16 + 1]) if b in digits else b"\x01"
        assert data == expected, hex(b)


@pytest.mark.parametrize("type_, len_, message", [
    (BYTE, 2, "field 0 of type QSCLI_ET_BYTE has len 2, exactly 1 expected"),
    (INTR, 1, "field 0 of type QSCLI_ET_INTR has len 1, exactly 2 expected"),
    (WORD, 3, "field 0 of type QSCLI_ET_WORD has len 3, exactly 2 expected"),
    (DATE, 1, "field 0 of type QSCLI_ET_DATE has len 1, exactly 2 expected"),
    (NMBR, 4, "field 0 of type QSCLI_ET_NMBR has len 4, exactly 3 expected"),
    (NMBR, 2, "field 0 of type QSCLI_ET_NMBR has len 2, exactly 3 expected"),
    (LONG, 5, "field 0 of type QSCLI_ET_LONG has len 5, at most 4 expected"),
    (DFLT, 9, "field 0 of type QSCLI_ET_DFLT has len 9, at most 8 expected"),
])
def test_lengths_a_writer_cannot_fill_exactly(qx, double, conn, type_, len_, message):
    script_table(double, [(type_, len_)])
    with pytest.raises(qx.ProgrammingError) as info:
        conn.addrecords("T", [[1]])
    assert info.value.args == ("Field length error: " + message,)
    assert double.calls("qcSqlAddRecords") == []


def test_type_codes_are_late_bound_when_writing(qx, double, conn):
    qx.QSCLI_ET_ARRA = DWRD  # code 8 now takes the ARRA branch, compared first
    assert write(double, conn, [(DWRD, 4)], ["ab"]) == b"\xab\0\0\0"
    qx.QSCLI_ET_ARRA = ARRA
    assert write(double, conn, [(DWRD, 4)], [1]) == b"\x01\0\0\0"


@pytest.mark.parametrize("type_", [-1, 12])
def test_codes_outside_the_table_are_refused_when_writing(qx, double, conn, type_):
    script_table(double, [(type_, 2)])
    with pytest.raises(qx.ProgrammingError) as info:
        conn.addrecords("T", [[b"\0\0"]])
    assert info.value.args == ("Field type error",)


def test_the_date_class_is_the_one_bound_now(qx, double, conn):
    class MyDate(datetime.date):
        pass

    qx.datetime = types.SimpleNamespace(date=MyDate)
    data = write(double, conn, [(DATE, 2)], [MyDate(1900, 1, 2)])
    assert data == b"\x02\x00"
    script_table(double, [(DATE, 2)])
    with pytest.raises(qx.ProgrammingError) as info:
        conn.addrecords("T", [[datetime.date(1900, 1, 2)]])
    assert info.value.args == ("Field type error <class 'datetime.date'> expected datetime.date",)


def test_byte_arrays_are_converted_by_the_binascii_bound_now(qx, double, conn):
    seen = []

    def a2b_hex(digits):
        seen.append(digits)
        return bytes(reversed(bytes.fromhex(digits.decode())))

    assert write(double, conn, [(ARRA, 3), (BYTE, 1)], ["0a1G", 5]) == b"\x0a\x10\x00\x05"
    qx.binascii = types.SimpleNamespace(a2b_hex=a2b_hex)
    # cleaned and brought to 2 * len digits before the call
    assert write(double, conn, [(ARRA, 3), (BYTE, 1)], ["0a1G", 5]) == b"\x00\x10\x0a\x05"
    assert seen == [b"0a1000"]
    import binascii
    qx.binascii = binascii
    assert write(double, conn, [(ARRA, 3), (BYTE, 1)], ["0a1G", 5]) == b"\x0a\x10\x00\x05"
    assert seen == [b"0a1000"]


@pytest.mark.parametrize("a2b_hex, error", [
    (lambda digits: b"\x01", ValueError),  # one byte short of the field
    (lambda digits: b"\x01\x02\x03", ValueError),  # one byte past it
    (lambda digits: "0102", TypeError),
    (None, NameError),
])
def test_what_a_rebound_a2b_hex_gives_must_fill_the_field(qx, double, conn, a2b_hex, error):
    if a2b_hex is None:
        del qx.binascii
    else:
        qx.binascii = types.SimpleNamespace(a2b_hex=a2b_hex)
    script_table(double, [(ARRA, 2)])
    with pytest.raises(error):
        conn.addrecords("T", [["0102"]])
    assert double.calls("qcSqlAddRecords") == []


# --- functions replaced on the standard modules themselves, not by rebinding
# the module's names, take effect from the next value too ------------------

def test_b2a_hex_replaced_on_binascii_after_use(double, conn, monkeypatch):
    double.set_result([colrec(ARRA, 2), colrec(BYTE, 1)], b"\xab\x01\x07" + b"\xcd\x02\x08" + b"\xef\x03\x09")
    cur = conn.cursor()
    cur.execute("select")
    assert cur.fetchone() == [b"ab01", 7]
    monkeypatch.setattr(binascii, "b2a_hex", lambda data: data.hex().upper().encode())
    assert cur.fetchone() == [b"CD02", 8]
    monkeypatch.undo()
    assert cur.fetchone() == [b"ef03", 9]


def test_b2a_hex_replaced_before_first_use(double, conn, monkeypatch):
    monkeypatch.setattr(binascii, "b2a_hex", lambda data: b"<%s>" % data.hex().encode())
    double.set_retval(ARRA, b"\x0a\xff\0")
    cur = conn.cursor()
    cur.execute("select")
    assert cur.retcode() == b"<0aff>"


def test_a2b_hex_replaced_on_binascii_after_use(double, conn, monkeypatch):
    assert write(double, conn, [(ARRA, 2)], ["0a1b"]) == b"\x0a\x1b"
    monkeypatch.setattr(binascii, "a2b_hex", lambda digits: bytes(reversed(bytes.fromhex(digits.decode()))))
    assert write(double, conn, [(ARRA, 2)], ["0a1b"]) == b"\x1b\x0a"
    monkeypatch.undo()
    assert write(double, conn, [(ARRA, 2)], ["0a1b"]) == b"\x0a\x1b"


def test_date_replaced_on_datetime_after_use(qx, double, conn, monkeypatch):
    original = datetime.date

    class MyDate(original):
        pass

    assert write(double, conn, [(DATE, 2)], [original(1900, 1, 2)]) == b"\x02\x00"
    monkeypatch.setattr(datetime, "date", MyDate)
    assert write(double, conn, [(DATE, 2)], [MyDate(1900, 1, 3)]) == b"\x03\x00"
    script_table(double, [(DATE, 2)])
    with pytest.raises(qx.ProgrammingError, match="expected datetime.date"):
        conn.addrecords("T", [[original(1900, 1, 2)]])
    assert double.calls("qcSqlAddRecords") == []
