"""Connection.addrecords through the test double: the records and batches the
client library receives, and what Python sees when a load is refused."""
import datetime
import decimal
import gc
import os
import struct

import pytest

from qxdouble import (QSCLI_ET_ARRA as ARRA, QSCLI_ET_BYTE as BYTE, QSCLI_ET_CHAR as CHAR, QSCLI_ET_CURR as CURR,
                      QSCLI_ET_DATE as DATE, QSCLI_ET_DFLT as DFLT, QSCLI_ET_DWRD as DWRD, QSCLI_ET_FLOA as FLOA,
                      QSCLI_ET_INTR as INTR, QSCLI_ET_LONG as LONG, QSCLI_ET_NMBR as NMBR, QSCLI_ET_WORD as WORD,
                      colrec)


# The structure query's result: record number, field number, name, type, len.
STRUCT_COLUMNS = [colrec(LONG, 4, fname=b"ALIAS"), colrec(LONG, 4, fname=b"FIELDNO"),
                  colrec(CHAR, 32, fname=b"NAME"), colrec(LONG, 4, fname=b"TYPE"),
                  colrec(LONG, 4, fname=b"LEN")]


def script_table(double, *fields):
    """The next statement (the structure query) describes a table of `fields`,
    each (name, type, len)."""
    records = b"".join(struct.pack("<ii32sii", 0, i, name.encode("cp866").ljust(32), type_, len_)
                       for i, (name, type_, len_) in enumerate(fields))
    double.set_result(STRUCT_COLUMNS, records)


@pytest.fixture
def qx(double):
    from pyqivrexdb import qxcore
    saved = qxcore.HEAPCTRL, qxcore.DEBUG
    yield qxcore
    qxcore.HEAPCTRL, qxcore.DEBUG = saved


@pytest.fixture
def conn(qx, double):
    c = qx.connect("db")
    double.clear()
    return c


def sends(double):
    """(count, size, bytes) of every qcSqlAddRecords call."""
    return [(c.args[2], c.args[3], c.args[4]) for c in double.calls("qcSqlAddRecords")]


def has_note(exc, text):
    """Whether a note of `exc` says `text`; notes came with Python 3.11, and
    before it there is nothing to look at."""
    if not hasattr(exc, "add_note"):
        return True
    return any(text in note for note in exc.__notes__)


def load_one(double, conn, type_, len_, value):
    script_table(double, ("F", type_, len_))
    conn.addrecords("T", [[value]])
    [(count, size, data)] = sends(double)
    assert (count, size) == (1, len_)
    return data


# --- values: what reaches the record ------------------------------------------

@pytest.mark.parametrize("type_, len_, value, image", [
    (CHAR, 5, "AB", b"AB\x00  "),
    (CHAR, 5, "ABCDE", b"ABCDE"),
    (CHAR, 5, "ABCDEFG", b"ABCDE"),
    (CHAR, 5, b"ab", b"ab\x00  "),
    (CHAR, 5, "", b"\x00    "),
    (CHAR, 4, "Мир", "Мир".encode("cp866") + b"\x00"),
    (CHAR, 1, "xy", b"x"),
    (ARRA, 3, "0a1G", b"\x0a\x10\x00"),
    (ARRA, 2, "ABCDEF", b"\xab\xcd"),
    (ARRA, 1, b"fe", b"\xfe"),
    (ARRA, 2, "", b"\x00\x00"),
    (BYTE, 1, 0, b"\x00"),
    (BYTE, 1, 254, b"\xfe"),
    (INTR, 2, -2, b"\xfe\xff"),
    (INTR, 2, -32767, b"\x01\x80"),
    (INTR, 2, 32767, b"\xff\x7f"),
    (WORD, 2, 65534, b"\xfe\xff"),
    (NMBR, 3, 16777214, b"\xfe\xff\xff"),
    (NMBR, 3, 0, b"\x00\x00\x00"),
    (LONG, 4, -2147483647, b"\x01\x00\x00\x80"),
    (LONG, 4, 2147483647, b"\xff\xff\xff\x7f"),
    (LONG, 2, -2, b"\xfe\xff"),  # the first len bytes of the 32-bit value
    (DWRD, 4, 4294967294, b"\xfe\xff\xff\xff"),
    (FLOA, 4, 0.1, struct.pack("<f", 0.1)),
    (CURR, 8, 12.5, struct.pack("<d", 12.5)),
    (DFLT, 8, -1e300, struct.pack("<d", -1e300)),
    (DFLT, 4, 1.0, struct.pack("<d", 1.0)[:4]),
])
def test_value_images(double, conn, type_, len_, value, image):
    assert load_one(double, conn, type_, len_, value) == image


@pytest.mark.parametrize("day", [datetime.date(1900, 1, 1), datetime.date(2024, 2, 29),
                                 datetime.date(2078, 12, 31)])
def test_date_is_packed_by_the_library(double, conn, day):
    data = load_one(double, conn, DATE, 2, day)
    assert data == struct.pack("<H", double.pack_date(day) & 0xFFFF)
    assert double.calls("qcSqlPackDate")[-1].args == (day.day, day.month, day.year)


@pytest.mark.parametrize("day", [datetime.date(1899, 12, 31), datetime.date(2079, 1, 1),
                                 datetime.date(1, 1, 1), datetime.date(9999, 12, 31)])
def test_date_outside_the_packed_range_is_refused_before_its_batch(qx, double, conn, day):
    # Regression: the library packs it as 0, no date, and the row was stored
    # without its date while the load reported success.
    qx.HEAPCTRL = 8
    script_table(double, ("N", LONG, 4), ("D", DATE, 2))
    rows = [[0, datetime.date(2000, 1, 1)], [1, datetime.date(2000, 1, 2)], [2, day]]
    with pytest.raises(qx.ProgrammingError) as info:
        conn.addrecords("T", rows)
    assert info.value.args == ("%s - does not include the date range 01-01-1900 to 31-12-2078" % day,)
    assert [count for count, _, _ in sends(double)] == [1, 1]
    assert info.value.rows_sent == 2
    assert has_note(info.value, "pydata[2][1] (field D)")
    assert (day.day, day.month, day.year) not in [c.args for c in double.calls("qcSqlPackDate")]


@pytest.mark.parametrize("type_, len_, value, expected", [
    (BYTE, 1, True, "int"),
    (INTR, 2, 1.0, "int"),
    (LONG, 4, "1", "int"),
    (NMBR, 3, None, "int"),
    (FLOA, 4, 1, "float"),
    (DFLT, 8, True, "float"),
    (CURR, 8, None, "float"),
    (DATE, 2, datetime.datetime(2020, 1, 1), "datetime.date"),
    (DATE, 2, "2020-01-01", "datetime.date"),
    (CHAR, 4, 5, "string or bytes"),
    (CHAR, 4, bytearray(b"ab"), "string or bytes"),
    (ARRA, 2, None, "str or bytes"),
    # exact types only: no subclass, no other buffer, no Decimal
    (LONG, 4, type("Int", (int,), {})(1), "int"),
    (DFLT, 8, type("Real", (float,), {})(1.0), "float"),
    (FLOA, 4, decimal.Decimal("1.5"), "float"),
    (CHAR, 4, type("Text", (str,), {})("a"), "string or bytes"),
    (CHAR, 4, memoryview(b"ab"), "string or bytes"),
    (ARRA, 2, type("Raw", (bytes,), {})(b"ab"), "str or bytes"),
    (ARRA, 2, bytearray(b"ab"), "str or bytes"),
    (DATE, 2, type("Day", (datetime.date,), {})(2020, 1, 1), "datetime.date"),
])
def test_refused_types(double, conn, type_, len_, value, expected):
    script_table(double, ("F", type_, len_))
    from pyqivrexdb import ProgrammingError
    with pytest.raises(ProgrammingError) as info:
        conn.addrecords("T", [[value]])
    assert info.value.args == ("Field type error %s expected %s" % (type(value), expected),)
    assert sends(double) == []


@pytest.mark.parametrize("type_, len_, value, low, high", [
    (BYTE, 1, 255, 0, 254),
    (BYTE, 1, -1, 0, 254),
    (INTR, 2, -32768, -32767, 32767),
    (INTR, 2, 32768, -32767, 32767),
    (WORD, 2, 65535, 0, 65534),
    (WORD, 2, -1, 0, 65534),
    (NMBR, 3, 16777215, 0, 16777214),
    (LONG, 4, -2147483648, -2147483647, 2147483647),
    (LONG, 4, 2 ** 64, -2147483647, 2147483647),
    (DWRD, 4, 4294967295, 0, 4294967294),
    (DWRD, 4, -1, 0, 4294967294),
])
def test_range_bounds(double, conn, type_, len_, value, low, high):
    from pyqivrexdb import ProgrammingError
    script_table(double, ("F", type_, len_))
    with pytest.raises(ProgrammingError) as info:
        conn.addrecords("T", [[value]])
    assert info.value.args == (
        "Data value error %s does not belong to the range from %d to %d" % (value, low, high),)
    assert sends(double) == []


def test_encoding_error_of_text_propagates(double, conn):
    script_table(double, ("F", CHAR, 4))
    with pytest.raises(UnicodeEncodeError):
        conn.addrecords("T", [["€"]])


# --- records and batches ------------------------------------------------------

TEN = (("A", LONG, 4), ("B", INTR, 2), ("C", CHAR, 4))


def ten_rows(n):
    return [[i, -i, "r%d" % i] for i in range(n)]


def ten_image(i):
    return struct.pack("<ih", i, -i) + ("r%d" % i).encode().ljust(3, b"\0").ljust(4)


@pytest.mark.parametrize("heapctrl, batches", [
    (25, [2, 2, 2, 1]),
    (70, [7]),
    (69, [6, 1]),
    (71, [7]),
    (10, [1] * 7),
    (9, [1] * 7),   # less than one record: still one record per send
    (0, [1] * 7),
])
def test_batches(qx, double, conn, heapctrl, batches):
    qx.HEAPCTRL = heapctrl
    script_table(double, *TEN)
    conn.addrecords("T", ten_rows(7))
    got = sends(double)
    assert [count for count, _, _ in got] == batches
    assert all(size == 10 for _, size, _ in got)
    assert b"".join(data for _, _, data in got) == b"".join(ten_image(i) for i in range(7))
    assert all(c.args[:2] == (1, b"T") for c in double.calls("qcSqlAddRecords"))


def test_negative_heapctrl_is_refused_before_sending(qx, double, conn):
    qx.HEAPCTRL = -1
    script_table(double, *TEN)
    with pytest.raises(OverflowError):
        conn.addrecords("T", ten_rows(3))
    assert sends(double) == []


@pytest.mark.parametrize("pydata", [
    [(1, -1, "r1"), (2, -2, "r2")],
    ((1, -1, "r1"), (2, -2, "r2")),
])
def test_rows_as_tuples_and_data_as_tuple(double, conn, pydata):
    script_table(double, *TEN)
    conn.addrecords("T", pydata)
    assert sends(double) == [(2, 10, ten_image(1) + ten_image(2))]


class Rows:
    """A sized iterable that is not a list, whose rows index by position and
    collect garbage while they are read."""

    def __init__(self, rows, length=None):
        self.rows = rows
        self.length = len(rows) if length is None else length

    def __len__(self):
        return self.length

    def __iter__(self):
        return (Row(r) for r in self.rows)


class Row:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, j):
        gc.collect()
        return self.items[j]


def test_any_sized_iterable_of_indexable_rows(double, conn):
    script_table(double, *TEN)
    conn.addrecords("T", Rows(ten_rows(3)))
    assert sends(double) == [(3, 10, b"".join(ten_image(i) for i in range(3)))]


@pytest.mark.parametrize("length", [1, 2, 5])
def test_rows_beyond_len_are_not_left_behind(qx, double, conn, length):
    # len() and iteration disagree: every row iterated still reaches the table
    qx.HEAPCTRL = 20
    script_table(double, *TEN)
    conn.addrecords("T", Rows(ten_rows(3), length=length))
    assert b"".join(d for _, _, d in sends(double)) == b"".join(ten_image(i) for i in range(3))


def test_items_beyond_the_fields_are_ignored(double, conn):
    script_table(double, *TEN)
    conn.addrecords("T", [[1, -1, "r1", "extra", None]])
    assert sends(double) == [(1, 10, ten_image(1))]


def test_structure_query_and_table_name(double, conn):
    script_table(double, ("F", BYTE, 1))
    conn.addrecords("Таблица", [[1]])
    assert double.calls("qcSqlExecDirect")[-1].args[1] == 'select * from QXTBLSTRUCT("Таблица");'.encode("cp866")
    assert double.calls("qcSqlAddRecords")[0].args[1] == "Таблица".encode("cp866")


def test_own_cursor_is_released_and_given_cursor_kept(double, conn):
    script_table(double, ("F", BYTE, 1))
    conn.addrecords("T", [[1]])
    # the statement of the structure query is freed before the records go
    assert double.names()[-2:] == ["qcSqlFreeStmt", "qcSqlAddRecords"]
    assert [c.args[0] for c in double.calls("qcSqlFreeStmt")] == [101]
    double.clear()
    cur = conn.cursor()
    script_table(double, ("F", BYTE, 1))
    conn.addrecords("T", [[1]], cur)
    assert double.calls("qcSqlFreeStmt") == []
    assert len(double.calls("qcSqlAllocStmt")) == 1
    assert cur.description is not None  # the structure query is its statement now


def test_empty_data_sends_nothing(double, conn):
    script_table(double, ("F", BYTE, 1))
    assert conn.addrecords("T", []) is None
    assert len(double.calls("qcSqlExecDirect")) == 1
    assert sends(double) == []


def test_debug_line(qx, double, conn, caplog):
    qx.DEBUG = True
    script_table(double, ("F", BYTE, 1))
    with caplog.at_level("DEBUG", logger="pyqivrexdb.qxcore"):
        conn.addrecords("T", [])
    assert "%r: addrecords(table_name='T')" % conn in caplog.messages


# --- failures -----------------------------------------------------------------

def test_short_row_keeps_sent_batches_and_drops_the_current_one(qx, double, conn):
    qx.HEAPCTRL = 20
    script_table(double, *TEN)
    rows = ten_rows(5)
    rows[3] = [3, -3]
    with pytest.raises(IndexError) as info:
        conn.addrecords("T", rows)
    assert sends(double) == [(2, 10, ten_image(0) + ten_image(1))]
    assert info.value.rows_sent == 2
    assert has_note(info.value, "pydata[3][2] (field C)")


class Arming(Row):
    """A row that makes the library refuse the sends from its reading on."""

    def __init__(self, items, double):
        super().__init__(items)
        self.double = double

    def __getitem__(self, j):
        self.double.fail("qcSqlAddRecords", -7)
        return super().__getitem__(j)


def test_refused_batch_stops_the_load(qx, double, conn):
    from pyqivrexdb import ProgrammingError
    qx.HEAPCTRL = 20
    script_table(double, *TEN)
    rows = [Row(r) for r in ten_rows(7)]
    rows[2] = Arming(rows[2].items, double)
    with pytest.raises(ProgrammingError) as info:
        conn.addrecords("T", rows)
    exc = info.value
    assert exc.args == ("qcSqlAddRecords error %d:", -7)
    assert exc.error_code_qivrex == -7
    assert exc.rows_sent == 2
    assert has_note(exc, "2 rows had been loaded")
    # the accepted batch, the refused one, and nothing after it
    assert [(count, data) for count, _, data in sends(double)] == [
        (2, ten_image(0) + ten_image(1)), (2, ten_image(2) + ten_image(3))]


@pytest.mark.parametrize("fields", [
    [("F", BYTE, 2)],
    [("F", INTR, 1)],
    [("F", DATE, 4)],
    [("F", NMBR, 4)],
    [("F", LONG, 5)],
    [("F", DWRD, 8)],
    [("F", FLOA, 8)],
    [("F", DFLT, 9)],
    [("F", CURR, 16)],
    [("A", LONG, 4), ("F", -1, 4)],
    [("A", LONG, 4), ("F", 12, 4)],
])
def test_unpackable_layout_is_refused_before_sending(double, conn, fields):
    from pyqivrexdb import ProgrammingError
    script_table(double, *fields)
    with pytest.raises(ProgrammingError):
        conn.addrecords("T", [[1, 1]])
    assert sends(double) == []
    # with nothing to load there is nothing to refuse
    script_table(double, *fields)
    conn.addrecords("T", [])


def test_type_above_range_is_a_field_type_error(double, conn):
    from pyqivrexdb import ProgrammingError
    script_table(double, ("F", 12, 4))
    with pytest.raises(ProgrammingError) as info:
        conn.addrecords("T", [[1]])
    assert info.value.args == ("Field type error",)


@pytest.mark.parametrize("row, args", [
    (["x", 1], ("Field type error <class 'str'> expected int",)),  # field 0 is told first
    ([1, 1], ("Field type error",)),  # then the layout of field 1
])
def test_a_refused_layout_keeps_the_field_order_of_the_first_row(double, conn, row, args):
    from pyqivrexdb import ProgrammingError
    script_table(double, ("A", INTR, 2), ("B", 12, 4))
    with pytest.raises(ProgrammingError) as info:
        conn.addrecords("T", [row])
    assert info.value.args == args
    assert sends(double) == []


class Roomy(int):
    """A HEAPCTRL that every load fits into, while the cursor reads with its
    own small value."""

    def __ge__(self, other):
        return True


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", "")
                    and "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""),
                    reason="AddressSanitizer aborts on a failed allocation unless told otherwise")
def test_buffer_that_cannot_be_allocated(qx, double, conn):
    qx.HEAPCTRL = Roomy(65536)
    script_table(double, ("F", CHAR, 2 ** 30))
    with pytest.raises(MemoryError):
        conn.addrecords("T", Rows([["x"]], length=2 ** 31))
    assert sends(double) == []


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("T",), {}),
    (("T", [], None, None), {}),
    (("T", []), {"other": 1}),
])
def test_argument_errors(conn, args, kwargs):
    with pytest.raises(TypeError):
        conn.addrecords(*args, **kwargs)


def test_table_name_with_nul_is_refused(double, conn):
    with pytest.raises(ValueError):
        conn.addrecords("T\0X", [[1]])
    assert double.names() == []


def test_pydata_without_len(double, conn):
    script_table(double, ("F", BYTE, 1))
    with pytest.raises(TypeError):
        conn.addrecords("T", (r for r in [[1]]))
    assert sends(double) == []


def test_table_name_is_kept_as_it_was_encoded(qx, double, conn):
    # An encode() that hands out a bytearray it keeps, and rows that change
    # that bytearray between the sends: every send still names the table.
    class Name(str):
        def encode(self, *args):
            self.raw = bytearray(str(self).encode(*args))
            return self.raw

    name = Name("TA")

    class Changing(Row):
        def __getitem__(self, j):
            name.raw[0:1] = b"X"
            return super().__getitem__(j)

    script_table(double, ("F", BYTE, 1))
    qx.HEAPCTRL = 1
    conn.addrecords(name, [Changing([1]), Changing([2])])
    assert [c.args[1] for c in double.calls("qcSqlAddRecords")] == [b"TA", b"TA"]
