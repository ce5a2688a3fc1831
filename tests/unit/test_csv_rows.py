"""The shell's CSV reader: records split as the csv module splits them,
the plain forms of numbers and dates read in C exactly as the fields'
Python converters read them, and every stop with its line and field."""
import csv
import math

import pytest

from pyqivrexdb import qxcore as q
from pyqivrexdb._rowtext import csv_rows
from pyqivrexdb.shell.fields import BadValue, converter, kind

ALL = 1 << 30


def read(data, kinds=None, convert=(), null=None, block=None):
    """(rows, lines) of the whole data, handed over `block` bytes at a time
    as the shell reads a file."""
    rows, lines, buf, pos, line, off = [], [], b"", 0, 1, 0
    block = block or len(data) + 1
    while True:
        chunk = data[off:off + block]
        off += block
        final = not chunk
        buf = buf[pos:] + chunk
        got, at, pos, line = csv_rows(buf, 0, final, line, kinds, list(convert), null, BadValue, ALL)
        rows += [list(r) for r in got]
        lines += memoryview(at).cast("q").tolist()
        buf, pos = buf[pos:], 0
        if final:
            return rows, lines


def reference(data):
    """What csv.reader gives for the file's lines, with each record's first line."""
    parts = data.split(b"\n")
    lines = [p + b"\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    reader = csv.reader(p.decode() for p in lines)
    rows, at, line = [], [], 1
    for record in reader:
        first, line = line, reader.line_num + 1
        if record:
            rows.append(record)
            at.append(first)
    return rows, at


@pytest.mark.parametrize("data", [
    b'1,"a, b",c\n2,"say ""hi""",\n',          # quoted commas, doubled quotes, an empty last field
    b'1,"two\nlines",x\n3,y,z\n',              # a line break inside quotes: one record over two lines
    b'1,"a\r\nb"\r\n2,c\r\n',                  # CRLF files, and CRLF kept inside quotes
    b'\n\n1,a\n\n2,b\n',                       # blank lines are no records
    b'ab"c,"x"y,""\n',                         # a quote inside a bare field, text after a closing quote
    b'1,a\n2,b',                               # the last line without its line break
    b'1,"never closed\n2,b\n',                 # a quote open at the end: the rest is one field
    b'"",,""\n',                               # empty fields, quoted or not
    '1,Привет,"é"\n'.encode(),                 # non-ASCII text
    b'a,\n,\n"a"\r\n"x",\n',                     # a comma last, a comma alone, a quote closing a CRLF line
    b' "a",b""\n"a"b,c\n',                      # a quote after a blank, or inside or after a field
    '1,"a\nб",c\n2,"б\na",c\n'.encode(),          # non-ASCII on a record's later line, or on its first
])
@pytest.mark.parametrize("block", [None, 1, 2, 3, 7])
def test_records_split_as_the_csv_module_splits_them(data, block):
    assert read(data, block=block) == reference(data)


INT, TEXT, REAL, DATE = q.QSCLI_ET_INTR, q.QSCLI_ET_CHAR, q.QSCLI_ET_FLOA, q.QSCLI_ET_DATE


@pytest.mark.parametrize("code, texts", [
    (INT, ["0", "-0", "+5", "007", " 5", "1_000", "١٢", "999999999999999999", "99999999999999999999",
           "-", "", "1.0", "0x10"]),
    (REAL, ["1.5", "-1.", ".5", "+.5e1", "1E-5", "1e999", "1e-999", "inf", "-Infinity", "nan", "1_0.5",
            "1.7976931348623157e308", "4.9e-324", ".", "1e", "e5", " 2.5 "]),
    (DATE, ["2024-02-29", "2023-02-29", "2024-13-01", "2024-2-1", "20240201", " 2024-02-01", "2024-W01-1",
            "0000-01-01"]),
])
def test_plain_forms_read_in_c_as_the_converter_reads_them(code, texts):
    convert = converter(code, 8)
    for text in texts:
        try:
            want = ("value", convert(text))
        except BadValue as exc:
            want = ("refused", str(exc))
        try:
            (row,), _ = read(('"%s"\n' % text).encode(), kind(code), [convert])
            got = ("value", row[0])
        except BadValue as exc:
            got = ("refused", str(exc))
            assert (exc.line, exc.field) == (1, 0)
        same = got == want or (got[0] == "value" and isinstance(got[1], float) and math.isnan(got[1])
                               and math.isnan(want[1]))
        assert same and type(got[1]) is type(want[1]), text


FIELDS = [(INT, 4), (TEXT, 5), (REAL, 4)]
KINDS = "".join(kind(c) for c, _ in FIELDS)
CONVERT = [converter(c, n) for c, n in FIELDS]


@pytest.mark.parametrize("null, line, row", [
    ("", b'1,,\n', [1, None, None]),
    ("", b'1,"",""\n', [1, None, None]),           # quoted empty is empty too
    ("\\N", b'1,,\\N\n', [1, "", None]),          # with a marker an empty text stays a text
    ("\\N", b'\\N,"\\N",2\n', [None, None, 2.0]),
    (None, b'1,,2\n', [1, "", 2.0]),
])
def test_empty_fields_and_null(null, line, row):
    assert read(line, KINDS, CONVERT, null)[0] == [row]


@pytest.mark.parametrize("data, line, field, message, before", [
    (b'1,a,1\n2,b,x\n', 2, 2, "'x' is not a number", 1),
    (b'1,"a\nb",1\nz,b,1\n', 3, 0, "'z' is not an integer", 1),     # after a record of two lines
    (b'1,a,1\n2,b\n', 2, None, "2 values, the table has 3 fields", 1),
    (b'1,a,1\n2,\xff,1\n', 2, None, "not UTF-8 text (byte 0xff at position 3 of the line)", 1),
    (b'1,"a\n\xc3(",1\n', 2, None, "not UTF-8 text (byte 0xc3 at position 1 of the line)", 0),
    (b'1,a\rb,1\n', 1, None, "a carriage return inside an unquoted field", 0),
    (b'1,' + b'a' * 131073 + b',1\n', 1, None, "a field longer than 131072 bytes", 0),
    (b',,1\n', 1, 0, "'' is not an integer", 0),                      # no NULL marker: a number is refused
])
def test_a_stop_names_its_line_and_field_and_keeps_the_rows_before_it(data, line, field, message, before):
    with pytest.raises(BadValue) as info:
        csv_rows(data, 0, True, 1, KINDS, CONVERT, None, BadValue, ALL)
    exc = info.value
    assert (str(exc), exc.line, exc.field) == (message, line, field)
    assert len(exc.rows) == len(memoryview(exc.lines).cast("q")) == before


def test_limit_and_resume_keep_the_line_numbers():
    data = b"".join(b'%d,"t\n%d",%d\n' % (i, i, i) for i in range(10))
    rows, at, pos, line = csv_rows(data, 0, True, 1, KINDS, CONVERT, None, BadValue, 4)
    assert [r[0] for r in rows] == [0, 1, 2, 3] and memoryview(at).cast("q").tolist() == [1, 3, 5, 7]
    rows, at, pos, line = csv_rows(data, pos, True, line, KINDS, CONVERT, None, BadValue, ALL)
    assert [r[0] for r in rows] == list(range(4, 10)) and memoryview(at).cast("q")[0] == 9
    assert (pos, line) == (len(data), 21)
