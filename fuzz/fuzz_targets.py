"""Fuzz targets that drive the driver through the test double.

Each target takes the fuzzer's bytes, turns them into what the client
library answers (column descriptors and records, a return value, a table
layout and rows, a message in chunks), runs the public operation and checks
what Python sees. The exceptions the design gives for bad input are
expected; anything else (SystemError above all) is raised to the harness,
which stops the fuzzer with the input that caused it. Crashes and memory
errors are the sanitizers' to report.

The harness (pyfuzz.cpp) calls ``setup()`` once and then ``TARGETS[name]``
with each input. ``python3 fuzz_targets.py NAME FILE...`` replays inputs
without the fuzzer (for regression tests).
"""

import datetime
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import qxdouble  # noqa: E402

DOUBLE = None
qxcore = errors = None
EXPECTED = ()
CONN = None

WIDTHS = [0, 0, 1, 2, 2, 2, 3, 4, 4, 4, 8, 8]


def setup(double=None):
    """Loads the double (or takes the one given, already loaded) and then the
    driver."""
    global DOUBLE, qxcore, errors, EXPECTED, CONN
    if DOUBLE is not None and double is None:
        return
    DOUBLE = double or qxdouble.Double(qxdouble.build(os.environ.get("QX_DOUBLE_CXXFLAGS", "")))
    from pyqivrexdb import qxcore as core, errors as errs
    if double is None:
        import logging
        logging.getLogger("pyqivrexdb.qxcore").disabled = True
    qxcore, errors = core, errs
    EXPECTED = (errs.Error, ValueError, OverflowError, MemoryError, IndexError,
                UnicodeEncodeError, TypeError)
    DOUBLE.reset()
    CONN = qxcore.connect("fuzz")


class Reader:
    """Takes values off the front of the input; zeros once it runs out."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk.ljust(n, b"\0")

    def byte(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack("<H", self.take(2))[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def i32(self):
        return struct.unpack("<i", self.take(4))[0]

    def rest(self):
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk


def column_len(r, type_code):
    """Mostly the natural width, sometimes anything."""
    how = r.byte() % 8
    if how == 0:
        return r.u32()
    if how == 1:
        return r.byte() % 12
    if not 2 <= type_code < 12:
        return r.byte() % 40
    return WIDTHS[type_code]


def fresh_cursor():
    DOUBLE.reset()
    qxcore.initlibrary()
    return qxcore.Cursor(1, False)


def records(data):
    """Random descriptors and records through execute and the fetches."""
    r = Reader(data)
    ncols = r.byte() % 9
    columns = []
    widths = []
    for _ in range(ncols):
        code = r.byte()
        type_code = code % 14 if code < 250 else r.i32()
        n = column_len(r, type_code)
        widths.append(n)
        columns.append(qxdouble.colrec(type_code, n, fname=r.take(r.byte() % 40),
                                       asname=r.take(r.byte() % 3)))
    flags = r.byte()
    rec_size = sum(widths) & 0xFFFFFFFF
    if flags & 1:
        rec_size = r.u16()
    col_count = None
    if flags & 2:
        # Beyond what can be described, or a few more than described (a count
        # in the millions only makes the driver build millions of Fields).
        col_count = [-1, 0, -2, -2 ** 31, 2 ** 31 - 1, 2 ** 25 + 1][r.byte() % 6] if flags & 4 \
            else ncols + r.byte() % 4
    reads = None
    if flags & 8:
        reads = [r.u16() if r.byte() & 1 else r.u32() for _ in range(r.byte() % 6)]
    row_count = r.i32() if flags & 16 else None
    heapctrl = r.u16() if flags & 32 else r.byte()
    plan = r.take(8)
    body = r.rest()
    cur = fresh_cursor()
    qxcore.HEAPCTRL = heapctrl
    if rec_size == 0 and row_count is None:
        row_count = len(body) % 5
    DOUBLE.set_result(columns, body, rec_size=rec_size, row_count=row_count,
                      col_count=col_count, reads=reads)
    rows = []
    try:
        cur.execute("select")
        cur.description
        for step in plan:
            kind = step % 4
            if kind == 0:
                row = cur.fetchone()
                if row is not None:
                    rows.append(row)
            elif kind == 1:
                rows += cur.fetchmany(step % 7)
            elif kind == 2:
                rows += cur.fetchall()
            else:
                cur.set_start_record(step - 128)
    except EXPECTED:
        pass
    width = len(columns) if col_count is None else col_count
    for row in rows:
        assert isinstance(row, list) and len(row) == width, (row, width)
    cur.close()


def retval(data):
    """A return value of any type, size and body."""
    r = Reader(data)
    code = r.byte()
    type_code = code % 14 if code < 240 else r.i32()
    size = r.u16() if r.byte() & 1 else r.byte()
    body = r.rest()
    cur = fresh_cursor()
    DOUBLE.set_retval(type_code, body, size)
    try:
        cur.execute("select")
        value = cur.retcode()
    except (ValueError, errors.Error):
        value = None
    if type_code in (0, 1) and value is not None:
        assert len(value) <= 2 * size
    cur.close()


def value_of(r, type_code, width):
    kind = r.byte() % 12
    if kind == 0:
        return r.take(r.byte() % 12).decode("latin-1")
    if kind == 1:
        return r.take(r.byte() % 12)
    if kind == 2:
        return r.i32()
    if kind == 3:
        return r.u32()
    if kind == 4:
        return struct.unpack("<d", r.take(8))[0]
    if kind == 5:
        return datetime.date.fromordinal(1 + r.u32() % 3652058)
    if kind == 6:
        return None
    if kind == 7:
        return r.byte() & 1 == 1
    if kind == 8:
        return r.take(r.byte() % 12).hex()
    if kind == 9:
        return -r.u32()
    return {2: r.byte(), 3: r.u16() - 32768, 4: r.u16(), 6: r.u32() & 0xFFFFFF}.get(type_code, 0)


def bulk(data):
    """A table layout and rows packed by addrecords."""
    r = Reader(data)
    nfields = 1 + r.byte() % 6
    fields = []
    for i in range(nfields):
        code = r.byte()
        type_code = code % 13 if code < 250 else r.i32()
        # A table of gigabyte records only makes the loader fill gigabytes.
        fields.append(("F%d" % i, type_code, column_len(r, type_code) & 0xFFFF))
    heapctrl = r.u16()
    rows = []
    for _ in range(r.byte() % 12):
        rows.append([value_of(r, f[1], f[2]) for f in fields[:nfields - (r.byte() % 8 == 0)]])
    DOUBLE.reset()
    records = b"".join(struct.pack("<ii32sii", 0, i, name.encode().ljust(32), t, n)
                       for i, (name, t, n) in enumerate(fields))
    DOUBLE.set_result(qxdouble_struct_columns(), records)
    qxcore.HEAPCTRL = heapctrl
    try:
        CONN.addrecords("T", rows)
    except EXPECTED:
        pass
    for call in DOUBLE.calls("qcSqlAddRecords"):
        count, size, image = call.args[2], call.args[3], call.args[4]
        assert count >= 1 and image is not None and len(image) == count * size, call


def qxdouble_struct_columns():
    c = qxdouble.colrec
    return [c(7, 4, b"ALIAS"), c(7, 4, b"FIELDNO"), c(0, 32, b"NAME"), c(7, 4, b"TYPE"),
            c(7, 4, b"LEN")]


def messages(data):
    """A message served in chunks of any size."""
    r = Reader(data)
    chunks = [r.u32() if r.byte() & 1 else r.u16() for _ in range(r.byte() % 8)]
    text = r.rest()
    got = []
    DOUBLE.reset()
    conn = qxcore.connect("m")
    conn.send_callback(got.append)
    DOUBLE.add_message(text, "qcSqlExecDirect", chunks=chunks if chunks else None)
    conn.execute("x")
    conn.close()
    assert len(got) == 1 and len(got[0]) <= 250 * (len(chunks) + 1) + len(text)


TARGETS = {"records": records, "retval": retval, "bulk": bulk, "messages": messages}


def run(name, data):
    setup()
    TARGETS[name](data)


if __name__ == "__main__":
    setup()
    target = TARGETS[sys.argv[1]]
    for path in sys.argv[2:]:
        with open(path, "rb") as f:
            target(f.read())
    print("replayed", len(sys.argv) - 2)
