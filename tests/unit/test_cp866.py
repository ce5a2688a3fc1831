"""Code page 866 both ways against Python's own codec: names decoded by
Field.name, statement texts encoded by Cursor.execute, text fields written by
Connection.addrecords."""
import struct

import pytest

from qxdouble import QSCLI_ET_ARRA as ARRA, QSCLI_ET_CHAR as CHAR, QSCLI_ET_LONG as LONG, colrec

from pyqivrexdb.qxcore import Field

PAGE = bytes(range(256))


def decoded(raw):
    f = Field()
    f.asname = raw
    return f.name


def test_every_byte_alone():
    for b in range(1, 256):  # a lone zero byte is b"" != b"\0", so also a name
        raw = bytes([b])
        assert decoded(raw) == raw.decode("cp866"), hex(b)
    assert decoded(b"\0") == "\0"


def test_the_whole_page_at_once():
    assert decoded(PAGE) == PAGE.decode("cp866")
    assert decoded(PAGE[::-1]) == PAGE[::-1].decode("cp866")


@pytest.mark.parametrize("size", [1, 7, 8, 9, 15, 16, 17, 33])
@pytest.mark.parametrize("odd", [b"\x80", b"\xf8", b"\xff", b"\xb0"])
def test_one_non_ascii_byte_at_each_position(size, odd):
    # The ASCII fast path reads eight bytes at a time: a non-ASCII byte on
    # either side of each word boundary must still be seen.
    for pos in range(size):
        raw = bytearray(b"a" * size)
        raw[pos:pos + 1] = odd
        raw = bytes(raw)
        text = decoded(raw)
        assert text == raw.decode("cp866"), (size, pos)


@pytest.mark.parametrize("raw", [
    b"plain ascii, longer than a word or two",
    b"\xf8\xfa\xfd\xff",  # only the page's Latin-1 signs: a one-byte-per-char str
    b"abc\xf8",
    b"\xf8abc\x80",  # Latin-1 first, then a wider character
    "Съешь же ещё этих мягких французских булок".encode("cp866"),
])
def test_texts_equal_the_codecs(raw):
    # Equality of str also compares the storage kind: a str built wider than
    # it needs would compare unequal here.
    assert decoded(raw) == raw.decode("cp866")
    assert hash(decoded(raw)) == hash(raw.decode("cp866"))


# --- encoding -------------------------------------------------------------------

@pytest.fixture
def conn(double):
    from pyqivrexdb import qxcore
    c = qxcore.connect("db")
    double.clear()
    return c


def sent_statement(double, conn, text):
    double.set_result([colrec(LONG, 4)], b"", row_count=0)
    conn.cursor().execute(text)
    return double.calls("qcSqlExecDirect")[-1].args[1]


def test_statement_text_of_the_whole_page(double, conn):
    text = PAGE[1:].decode("cp866")  # a NUL cannot travel in a C string
    assert sent_statement(double, conn, text) == PAGE[1:]


@pytest.mark.parametrize("text", [
    "select 1",
    "select 'Привет'",
    "\xa0°·¤",  # Latin-1 storage
    "╔═╗ ■ №",
])
def test_statement_texts(double, conn, text):
    assert sent_statement(double, conn, text) == text.encode("cp866")


@pytest.mark.parametrize("text", [
    "€",
    "select '€'",
    "Привет € мир",
    "é",  # Latin-1 but not in the page
    "\ud800",  # a lone surrogate
    "a\U0001f600b",  # outside the basic plane
    "ok" * 10 + "ß",
])
def test_unencodable_text_raises_the_codecs_error(double, conn, text):
    with pytest.raises(UnicodeEncodeError) as ours:
        conn.cursor().execute(text)
    with pytest.raises(UnicodeEncodeError) as codecs:
        text.encode("cp866")
    assert ours.value.args == codecs.value.args
    assert double.calls("qcSqlExecDirect") == []


def script_table(double, *fields):
    columns = [colrec(LONG, 4), colrec(LONG, 4), colrec(CHAR, 32), colrec(LONG, 4), colrec(LONG, 4)]
    records = b"".join(struct.pack("<ii32sii", 0, i, name.ljust(32), type_, len_)
                       for i, (name, type_, len_) in enumerate(fields))
    double.set_result(columns, records)


@pytest.mark.parametrize("text, image", [
    ("Мир", "Мир".encode("cp866") + b"\0  "),
    ("ПриветМ", "ПриветМ".encode("cp866")[:6]),
    ("°·¤\xa0", b"\xf8\xfa\xfd\xff\0 "),
    ("abcdef", b"abcdef"),
])
def test_text_field_written_from_the_table(double, conn, text, image):
    script_table(double, (b"F", CHAR, 6))
    conn.addrecords("T", [[text]])
    assert double.calls("qcSqlAddRecords")[0].args[4] == image


@pytest.mark.parametrize("type_", [CHAR, ARRA])
@pytest.mark.parametrize("text", ["€", "abcdef€"])  # the bad character beyond the field too
def test_unencodable_field_text_raises_the_codecs_error(double, conn, type_, text):
    script_table(double, (b"F", type_, 2))
    with pytest.raises(UnicodeEncodeError) as ours:
        conn.addrecords("T", [[text]])
    with pytest.raises(UnicodeEncodeError) as codecs:
        text.encode("cp866")
    assert ours.value.args == codecs.value.args
    assert double.calls("qcSqlAddRecords") == []
