"""Bulk loading speed through the test double.

    QX_BUILD=build/bulk tools/dev python bench/bench_bulk.py [ROWS]

Loads ROWS rows (default 1,000,000) of six mixed columns with
Connection.addrecords and prints rows per second next to a floor measured in
the same run: a Python loop over the same rows that reads every value. The
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

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import qxdouble  # noqa: E402

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
    best_floor = min(floor(rows) for _ in range(3))
    best_load = min(load(conn, rows) for _ in range(3))
    sends = DOUBLE.calls("qcSqlAddRecords")
    expected = math.ceil(n / per_batch)
    print("rows: %d, record: %d bytes, HEAPCTRL: %d, batches: %d" % (n, record, qxcore.HEAPCTRL, expected))
    print("floor (read every value): %12.0f rows/s" % (n / best_floor))
    print("addrecords:               %12.0f rows/s  (%.2f x the floor's time)"
          % (n / best_load, best_load / best_floor))
    if len(sends) != expected or sum(c.args[2] for c in sends) != n:
        print("library calls: %d, expected %d" % (len(sends), expected))
        return 1
    print("library calls: %d, one per batch" % len(sends))
    return 0


if __name__ == "__main__":
    sys.exit(main())
