"""Decoding speed: records cut into rows through the test double.

    QX_BUILD=build/values tools/dev python bench/bench_decode.py [ROWS]

Serves ROWS records (default 1,000,000) of six mixed columns (LONG, CHAR(12)
ASCII, DFLT, DATE, INTR, CHAR(8) Cyrillic) from memory and fetches them with
cursor.fetchall(), printing rows per second next to a floor measured in the
same run: the same lists built by a Python comprehension from Python objects
made beforehand, with the cyclic collector paused. The two take turns, five
rounds; the ratio is the median (min–max) of the rounds' ratios. The double
journals every library call, the date unpacking of each DATE value
included; that share is measured on its own and shown too.
"""
import datetime
import gc
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

LONG, CHAR, DFLT, DATE, INTR = (qxdouble.QSCLI_ET_LONG, qxdouble.QSCLI_ET_CHAR, qxdouble.QSCLI_ET_DFLT,
                                qxdouble.QSCLI_ET_DATE, qxdouble.QSCLI_ET_INTR)
COLUMNS = [qxdouble.colrec(LONG, 4, fname=b"ID"), qxdouble.colrec(CHAR, 12, fname=b"CODE"),
           qxdouble.colrec(DFLT, 8, fname=b"AMOUNT"), qxdouble.colrec(DATE, 2, fname=b"DAY"),
           qxdouble.colrec(INTR, 2, fname=b"QTY"), qxdouble.colrec(CHAR, 8, fname=b"CITY")]
RECORD = struct.Struct("<i12sdHh8s")
CITIES = ["Москва..", "Тверь...", "Казань..", "Омск....", "Пермь...", "Самара.."]


def make_rows(n):
    first = datetime.date(2020, 1, 1).toordinal()
    return [(i, "CODE%08d" % i, i * 0.25, datetime.date.fromordinal(first + i % 1500), i % 30000 - 15000,
             CITIES[i % 6]) for i in range(n)]


def make_records(rows):
    return b"".join(RECORD.pack(i, code.encode("cp866"), amount, qxdouble.pack_date(day), qty,
                                city.encode("cp866"))
                    for i, code, amount, day, qty, city in rows)


def floor(rows):
    # Without the cyclic collector, which a million new lists would otherwise
    # wake many times: the floor is the bare cost of building them.
    gc.disable()
    try:
        start = time.perf_counter()
        out = [[a, b, c, d, e, f] for a, b, c, d, e, f in rows]
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del out
    return elapsed


def fetch(cur, records, n):
    DOUBLE.set_result(COLUMNS, records)
    cur.execute("select * from SALES")
    DOUBLE.clear()
    start = time.perf_counter()
    out = cur.fetchall()
    elapsed = time.perf_counter() - start
    assert len(out) == n
    return elapsed, out


def unpack_only(n):
    """What n date unpackings cost in the double (its journal included): a
    fetch of n records of one DATE, always the same date, minus a fetch of n
    records of one INTR of the same bytes."""
    cur = qxcore.connect("bench").cursor()
    data = struct.pack("<H", 1) * n
    columns = {"date": qxdouble.colrec(DATE, 2), "intr": qxdouble.colrec(INTR, 2)}

    def once(side):
        DOUBLE.set_result([columns[side]], data)
        cur.execute("select")
        DOUBLE.clear()
        start = time.perf_counter()
        cur.fetchall()
        return time.perf_counter() - start
    times = timing.interleave(columns, 3, once)
    DOUBLE.clear()
    return max(0.0, timing.spread(times, "date", key=None).median - timing.spread(times, "intr", key=None).median)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    DOUBLE.reset()
    rows = make_rows(n)
    records = make_records(rows)
    cur = qxcore.connect("bench").cursor()

    _, out = fetch(cur, records, n)
    expected = [list(r) for r in rows]
    if out != expected:
        print("fetched rows differ from the rows packed")
        return 1
    del out, expected
    gc.collect()

    times = timing.interleave(["floor", "fetchall"], 5,
                              lambda side: floor(rows) if side == "floor" else fetch(cur, records, n)[0])
    at_floor, fetched = (timing.spread(times, side, key=None).median for side in ("floor", "fetchall"))
    dates = unpack_only(n)
    print("rows: %d, record: %d bytes, HEAPCTRL: %d" % (n, RECORD.size, qxcore.HEAPCTRL))
    print("floor (lists from made objects): %12.0f rows/s" % (n / at_floor))
    print("fetchall:                        %12.0f rows/s  (%s x the floor's time)"
          % (n / fetched, timing.ratio(times, "fetchall", "floor", key=None)))
    print("  of which the double's date unpacking: %.0f%%; without it %.2f x the floor's time"
          % (100 * dates / fetched, (fetched - dates) / at_floor))
    return 0


if __name__ == "__main__":
    sys.exit(main())
