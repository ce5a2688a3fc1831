"""Bulk loading speed through the test double.

    QX_BUILD=build/bulk tools/dev python bench/bench_bulk.py [ROWS]

Loads ROWS rows (default 1,000,000) of six mixed columns with
Connection.addrecords and prints rows per second next to a floor measured in
the same run: a Python loop over the same rows that reads every value. The
two take turns, five rounds; the ratio is the median (min–max) of the
rounds' ratios. The
double keeps only the size of each batch, so the figure is the driver's own
packing cost. The number of library calls is checked against the number of
batches HEAPCTRL allows.
"""
import datetime
import math
import struct
import sys
import time
from pathlib import Path

sys.path[:0] = [str(Path(__file__).resolve().parent.parent / "tests"), str(Path(__file__).resolve().parent)]
import qxdouble  # noqa: E402
import timing  # noqa: E402

# Loaded before the module, so its load of the library by bare name finds it.
DOUBLE = qxdouble.Double(qxdouble.build())

from pyqivrexdb import qxcore  # noqa: E402

LONG, CHAR, DFLT, DATE, INTR = (qxcore.QSCLI_ET_LONG, qxcore.QSCLI_ET_CHAR, qxcore.QSCLI_ET_DFLT,
                                qxcore.QSCLI_ET_DATE, qxcore.QSCLI_ET_INTR)
FIELDS = [("ID", LONG, 4), ("CODE", CHAR, 12), ("AMOUNT", DFLT, 8), ("DAY", DATE, 2),
          ("QTY", INTR, 2), ("CITY", CHAR, 8)]
STRUCT_COLUMNS = [qxdouble.colrec(LONG, 4), qxdouble.colrec(LONG, 4), qxdouble.colrec(CHAR, 32),
                  qxdouble.colrec(LONG, 4), qxdouble.colrec(LONG, 4)]


def make_rows(n):
    day = datetime.date(2024, 1, 1)
    cities = ["Москва", "Тверь", "Казань", "Омск", "Пермь", "Самара"]
    return [[i, "CODE%08d" % i, i * 0.25, day, i % 30000, cities[i % 6]] for i in range(n)]


def floor(rows):
    start = time.perf_counter()
    for row in rows:
        for j in range(6):
            row[j]
    return time.perf_counter() - start


def load(conn, rows):
    records = b"".join(struct.pack("<ii32sii", 0, i, name.encode("cp866").ljust(32), t, n)
                       for i, (name, t, n) in enumerate(FIELDS))
    DOUBLE.set_result(STRUCT_COLUMNS, records)
    DOUBLE.clear()
    start = time.perf_counter()
    conn.addrecords("SALES", rows)
    return time.perf_counter() - start


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    DOUBLE.reset()
    DOUBLE.set_bulk_journal(False)
    conn = qxcore.connect("bench")
    rows = make_rows(n)
    record = sum(f[2] for f in FIELDS)
    per_batch = max(1, qxcore.HEAPCTRL // record) if n * record > qxcore.HEAPCTRL else n
    times = timing.interleave(["floor", "load"], 5, lambda side: floor(rows) if side == "floor" else load(conn, rows))
    sends = DOUBLE.calls("qcSqlAddRecords")
    expected = math.ceil(n / per_batch)
    print("rows: %d, record: %d bytes, HEAPCTRL: %d, batches: %d" % (n, record, qxcore.HEAPCTRL, expected))
    print("floor (read every value): %12.0f rows/s" % (n / timing.spread(times, "floor", key=None).median))
    print("addrecords:               %12.0f rows/s  (%s x the floor's time)"
          % (n / timing.spread(times, "load", key=None).median, timing.ratio(times, "load", "floor", key=None)))
    if len(sends) != expected or sum(c.args[2] for c in sends) != n:
        print("library calls: %d, expected %d" % (len(sends), expected))
        return 1
    print("library calls: %d, one per batch" % len(sends))
    return 0


if __name__ == "__main__":
    sys.exit(main())
