"""Fetching speed through the test double.

    QX_BUILD=build/cursor tools/dev python bench/bench_fetch.py [ROWS]

1. fetchall of ROWS records (default 1,000,000) of six mixed columns (LONG,
   CHAR(12) ASCII, DFLT, DATE, INTR, CHAR(8) Cyrillic) served from memory, as
   rows per second next to a floor measured in the same run: the same lists
   built by a comprehension from Python objects made beforehand (with
   automatic collection on, as a program has it, and paused).
   fetchmany(1000) batches and `for row in cursor` are shown beside it.
2. The cost of one small statement: execute + fetchone of a one-row result,
   less the cost of scripting the double for it.

All of them take turns over five rounds; each ratio is the median (min–max)
of the rounds' ratios, each time a median.
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

COLUMNS = [
    qxdouble.colrec(qxdouble.QSCLI_ET_LONG, 4, b"ID"),
    qxdouble.colrec(qxdouble.QSCLI_ET_CHAR, 12, b"CODE"),
    qxdouble.colrec(qxdouble.QSCLI_ET_DFLT, 8, b"AMOUNT"),
    qxdouble.colrec(qxdouble.QSCLI_ET_DATE, 2, b"DAY"),
    qxdouble.colrec(qxdouble.QSCLI_ET_INTR, 2, b"QTY"),
    qxdouble.colrec(qxdouble.QSCLI_ET_CHAR, 8, b"CITY"),
]
RECORD = struct.Struct("<i12sdHh8s")
CITIES = ["Москва  ", "Тверь   ", "Казань  ", "Омск    ", "Пермь   ", "Самара  "]
ROUNDS = 5


def make_rows(n):
    first = datetime.date(2020, 1, 1).toordinal()
    return [(i, "CODE%08d" % i, i * 0.25, datetime.date.fromordinal(first + i % 1500),
             i % 30000 - 15000, CITIES[i % 6]) for i in range(n)]


def make_records(rows):
    return b"".join(RECORD.pack(i, code.encode("cp866"), amount, qxdouble.pack_date(day), qty,
                                city.encode("cp866"))
                    for i, code, amount, day, qty, city in rows)


def floor(rows, paused):
    if paused:
        gc.disable()
    start = time.perf_counter()
    out = [[a, b, c, d, e, f] for a, b, c, d, e, f in rows]
    took = time.perf_counter() - start
    gc.enable()
    del out
    return took


def fetch(cur, records, n, how, deferred):
    DOUBLE.set_result(COLUMNS, records)
    cur.execute("select * from SALES")
    DOUBLE.clear()
    start = time.perf_counter()
    if how == "fetchall":
        out = cur.fetchall()
    elif how == "fetchmany":
        out = []
        while True:
            batch = cur.fetchmany(1000)
            if not batch:
                break
            out.extend(batch)
    else:
        out = [row for row in cur]
    took = time.perf_counter() - start
    assert len(out) == n
    if how == "fetchall":
        # The young-generation collection that automatic collection runs
        # next: fetchall pauses it, so its rows are traversed once, later.
        start = time.perf_counter()
        gc.collect(0)
        deferred.append(time.perf_counter() - start)
    del out
    DOUBLE.clear()
    return took


def small_statement(cur, count=20000):
    record = RECORD.pack(1, b"CODE00000001", 0.5, 1, 2, b"City    ")

    def with_statement():
        start = time.perf_counter()
        for i in range(count):
            DOUBLE.set_result(COLUMNS, record)
            cur.execute("select * from SALES where ID = %s", (i,))
            cur.fetchone()
            if i % 1000 == 999:
                DOUBLE.clear()
        return time.perf_counter() - start

    def script_only():
        start = time.perf_counter()
        for i in range(count):
            DOUBLE.set_result(COLUMNS, record)
            cur.execute  # noqa: B018  (the attribute look-up the loop above makes)
        took = time.perf_counter() - start
        cur.execute("select")  # consume the last script
        return took
    DOUBLE.clear()
    times = timing.interleave(["statement", "script"], ROUNDS,
                              lambda side: with_statement() if side == "statement" else script_only())
    return (timing.spread(times, "statement", key=None).median
            - timing.spread(times, "script", key=None).median) / count


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    qxcore.initlibrary()
    DOUBLE.reset()
    rows = make_rows(n)
    records = make_records(rows)
    cur = qxcore.Cursor(1, False)

    DOUBLE.set_result(COLUMNS, records)
    cur.execute("select * from SALES")
    if cur.fetchall() != [list(r) for r in rows]:
        print("fetched rows differ from the rows packed")
        return 1
    gc.collect()

    deferred = []
    sides = {"floor": lambda: floor(rows, False), "paused": lambda: floor(rows, True)}
    for how in ("fetchall", "fetchmany", "iteration"):
        sides[how] = lambda how=how: fetch(cur, records, n, how, deferred)
    times = timing.interleave(sides, ROUNDS, lambda side: sides[side]())
    on, paused = (timing.spread(times, side, key=None).median for side in ("floor", "paused"))
    print("rows: %d of %d bytes, HEAPCTRL %d (%d records a read)"
          % (n, RECORD.size, qxcore.HEAPCTRL, qxcore.HEAPCTRL // RECORD.size))
    print("floor, collection on:     %12.0f rows/s" % (n / on))
    print("floor, collection paused: %12.0f rows/s" % (n / paused))
    print("floor:                    %12.3f s, paused %.3f s" % (on, paused))
    for how in ("fetchall", "fetchmany", "iteration"):
        took = timing.spread(times, how, key=None).median
        print("%-25s %12.0f rows/s  %s x the floor's time (%s x paused), %.3f s"
              % (how + ":", n / took, timing.ratio(times, how, "floor", key=None),
                 timing.ratio(times, how, "paused", key=None), took))
    print("  then the young-generation collection fetchall deferred: %s s"
          % timing.Spread.of(deferred).format(".3f"))
    print("execute + fetchone of one row: %.2f us" % (small_statement(cur) * 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
