"""The cost of a row_factory: fetchall of the same result as tuples and
through each built-in factory, on the embedded engine in memory.

    QX_BUILD=build/perf tools/dev python bench/bench_rows.py [ROWS]

Six mixed columns (integer, text, double, date, smallint, Cyrillic text),
ROWS rows (default 200,000). The sides take turns, seven rounds; each figure
is the median (min–max) of the rounds' ratios of its time to the tuples' time
in the same round (the machine's load falls on both), with the best rate. The
target for Row is at most 1.15 x.
"""
import datetime
import os
import sys
import time

from pyqivrexdb import dbapi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402


def fill(conn, n):
    conn.execute("create table t(id integer, code varchar(12), amount double, day date, qty smallint,"
                 " city varchar(8))")
    first = datetime.date(2020, 1, 1).toordinal()
    rows = [(i, "CODE%08d" % i, i * 0.25, datetime.date.fromordinal(first + i % 1500), i % 30000 - 15000,
             "Москва") for i in range(n)]
    conn.addrecords("t", rows)
    conn.commit()


def once(conn, factory):
    cur = conn.cursor()
    cur.row_factory = factory
    cur.execute("select * from t")
    start = time.perf_counter()
    cur.fetchall()
    elapsed = time.perf_counter() - start
    cur.close()
    return elapsed


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    names = ["Row", "dict_row", "namedtuple_row"]
    with dbapi.connect(":memory:") as conn:
        fill(conn, n)
        times = timing.interleave(["tuples"] + names, 7,
                                  lambda name: once(conn, None if name == "tuples" else getattr(dbapi, name)),
                                  warmup=1)
        print("rows: %d" % n)
        print("%-16s %10.0f rows/s" % ("tuples", n / min(times["tuples"])))
        for name in names:
            print("%-16s %10.0f rows/s  %s x the tuples' time"
                  % (name, n / min(times[name]), timing.ratio(times, name, "tuples", key=None)))


if __name__ == "__main__":
    main()
