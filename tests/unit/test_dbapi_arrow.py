"""Arrow results over the test double: a library that gives records and
nothing more (no null flags, no streaming) still gives Arrow columns, each
value equal to the row path's; with the capabilities, NULLs and batches."""
import struct

import pytest

from pyqivrexdb import dbapi
from qxdouble import (QSCLI_ATTR_NULL_FLAGS, QSCLI_ATTR_STREAM, QSCLI_ET_ARRA, QSCLI_ET_BYTE, QSCLI_ET_CHAR,
                      QSCLI_ET_CURR, QSCLI_ET_DATE, QSCLI_ET_DFLT, QSCLI_ET_DWRD, QSCLI_ET_FLOA, QSCLI_ET_INTR,
                      QSCLI_ET_LONG, QSCLI_ET_NMBR, QSCLI_ET_WORD, colrec)

pa = pytest.importorskip("pyarrow")

# (element type, len, the field's bytes in each of two records, Arrow type)
FIELDS = [
    (QSCLI_ET_CHAR, 6, [b"ab\0\0\0\0", b"\xa6\xa6\xa6xyz"], "string"),
    (QSCLI_ET_ARRA, 3, [b"\0\1\2", b"\xff\xff\xff"], "binary"),
    (QSCLI_ET_BYTE, 1, [b"\0", b"\xff"], "uint8"),
    (QSCLI_ET_INTR, 2, [struct.pack("<h", -32768), struct.pack("<h", 32767)], "int16"),
    (QSCLI_ET_WORD, 2, [b"\0\0", b"\xff\xff"], "uint16"),
    (QSCLI_ET_DATE, 2, [struct.pack("<H", 0), struct.pack("<H", 40000)], "date32[day]"),
    (QSCLI_ET_NMBR, 3, [b"\0\0\0", b"\xff\xff\xff"], "uint32"),
    (QSCLI_ET_LONG, 4, [struct.pack("<i", -(2**31)), struct.pack("<i", 2**31 - 1)], "int32"),
    (QSCLI_ET_DWRD, 4, [b"\0\0\0\0", b"\xff\xff\xff\xff"], "uint32"),
    (QSCLI_ET_FLOA, 4, [struct.pack("<f", 1.5), struct.pack("<f", -3.4e38)], "float"),
    (QSCLI_ET_CURR, 8, [struct.pack("<d", 0.25), struct.pack("<d", -1e300)], "double"),
    (QSCLI_ET_DFLT, 8, [struct.pack("<d", -0.0), struct.pack("<d", 5e-324)], "double"),
]


@pytest.fixture
def conn(double):
    c = dbapi.connect("srv", autocommit=True)
    double.clear()
    yield c
    c.close()


def script(double, flags):
    columns = [colrec(t, n, "c%d" % k) for k, (t, n, _, _) in enumerate(FIELDS)]
    width = (len(FIELDS) + 7) // 8 if flags else 0
    records = b""
    for r in range(2):
        records += b"".join(f[2][r] for f in FIELDS)
        # The second record's first column is NULL.
        records += (b"\1" if r else b"\0").ljust(width, b"\0") if flags else b""
    double.set_result(columns, records, rec_size=sum(f[1] for f in FIELDS) + width)


@pytest.mark.parametrize("flags", [False, True], ids=["vendor-like", "null-flags"])
def test_every_element_type_as_the_rows_read_it(double, conn, flags):
    if flags:
        double.offer(QSCLI_ATTR_NULL_FLAGS)
    cur = conn.cursor()
    script(double, flags)
    cur.execute("select *")
    rows = cur.fetchall()
    script(double, flags)
    cur.execute("select *")
    table = cur.fetch_arrow_table()
    assert [str(f.type) for f in table.schema] == [f[3] for f in FIELDS]
    got = [tuple(r.values()) for r in table.to_pylist()]
    assert got == rows
    assert got[1][0] == (None if flags else "жжжxyz")
    assert got[0][5] is None  # the packed date 0 is no date


def test_batches_of_a_streamed_result_with_their_own_widths(double, conn):
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    double.offer(QSCLI_ATTR_STREAM)
    cur = conn.cursor()
    double.set_result([colrec(QSCLI_ET_CHAR, 2, "s"), colrec(QSCLI_ET_LONG, 4, "n")],
                      b"ab" + struct.pack("<i", 1) + b"\0", rec_size=7, row_count=-1)
    double.add_batch([colrec(QSCLI_ET_CHAR, 5, "s"), colrec(QSCLI_ET_LONG, 4, "n")],
                     b"hello" + struct.pack("<i", 2) + b"\0" + b"\0" * 9 + b"\3", rec_size=10)
    cur.execute("select s, n")
    assert [tuple(r.values()) for r in cur.fetch_arrow_table().to_pylist()] == [("ab", 1), ("hello", 2),
                                                                                (None, None)]


# A table of one field each element type an Arrow column has a writer for,
# with values at their types' edges.
LAYOUT = [("t", QSCLI_ET_CHAR, 6), ("b", QSCLI_ET_BYTE, 1), ("i", QSCLI_ET_INTR, 2), ("l", QSCLI_ET_LONG, 4),
          ("f", QSCLI_ET_FLOA, 4), ("d", QSCLI_ET_DFLT, 8), ("day", QSCLI_ET_DATE, 2), ("ts", QSCLI_ET_CHAR, 32)]


def script_layout(double, flags):
    """The structure query's answer for table t of LAYOUT."""
    records = b"".join(b"t\0      " + struct.pack("<i", k) + name.encode().ljust(8, b"\0") + struct.pack("<ii", t, n)
                       + (b"\0" if flags else b"") for k, (name, t, n) in enumerate(LAYOUT))
    double.set_result([colrec(QSCLI_ET_CHAR, 8, b"T"), colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_CHAR, 8),
                       colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_LONG, 4)],
                      records, rec_size=29 if flags else None)


@pytest.mark.parametrize("flags", [False, True], ids=["vendor-like", "null-flags"])
def test_ingest_sends_the_records_a_load_of_the_same_rows_sends(double, conn, flags):
    import datetime
    if flags:
        double.offer(QSCLI_ATTR_NULL_FLAGS)
    stamps = [datetime.datetime(1960, 1, 2, 3, 4, 5, 6), datetime.datetime(2024, 2, 29)]
    # A timestamp goes into a text field as the text a statement writes it in.
    rows = [("ab", 0, -32767, 2**31 - 1, 1.5, -0.0, datetime.date(1900, 1, 1), stamps[0].isoformat(" ")),
            ("жжж", 254, 32767, -(2**31) + 1, -3.0e38, 5e-324, datetime.date(2078, 12, 31),
             stamps[1].isoformat(" "))]
    if flags:
        rows.append((None,) * len(LAYOUT))
        stamps.append(None)
    types = [pa.string(), pa.uint8(), pa.int16(), pa.int64(), pa.float32(), pa.float64(), pa.date32()]
    # Named in another order than the table's fields.
    data = pa.table({"ts": pa.array(stamps, pa.timestamp("us")),
                     **{name: pa.array([r[k] for r in rows], types[k])
                        for k, (name, _, _) in reversed(list(enumerate(LAYOUT[:-1])))}})
    script_layout(double, flags)
    assert conn.addrecords("t", rows) == len(rows)
    by_hand = [c.args[1:] for c in double.calls("qcSqlAddRecords")]
    assert by_hand and by_hand[0][1] == len(rows)
    double.clear()
    assert conn.cursor().adbc_ingest("t", data, mode="append") == len(rows)
    assert [c.args[1:] for c in double.calls("qcSqlAddRecords")] == by_hand


def test_a_library_without_null_flags_refuses_a_null_by_row_and_field(double, conn):
    script_layout(double, False)
    data = pa.table({name: pa.array([None if name == "l" else 1] * 2, pa.int8()) for name, _, _ in LAYOUT
                     if name not in ("t", "day", "ts")})
    data = data.append_column("t", pa.array(["a", "b"])).append_column("day", pa.array([None, None], pa.date32()))
    data = data.append_column("ts", pa.array([None, None], pa.timestamp("s")))
    with pytest.raises(dbapi.NotSupportedError, match="row 0, field l: the client library cannot load NULL"):
        conn.cursor().adbc_ingest("t", data, mode="append")
    assert "qcSqlAddRecords" not in double.names()
