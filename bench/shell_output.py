"""The shell printing a large result to a file, beside the sqlite3 shell.

    tools/dev python bench/shell_output.py [--rows N] [--pairs K] [--mode table|csv|...]

Makes a SQLite file of N rows (default 2,000,000) of
t(id INTEGER, name VARCHAR(20), amount DOUBLE, day DATE), then runs, in
turns, `sqlite3 FILE "select * from t"` and `python -m pyqivrexdb FILE -c
"select * from t"` (the package this script imports), each writing to a
file, and prints for each side the median wall time, peak resident size and
peak private (anonymous) memory, then our peak resident size and our time
divided by sqlite3's (median of the pairs, min–max) against their targets.
The peaks are sampled from /proc while each side runs (bench/timing.py).
"""
import argparse
import datetime
import os
import sqlite3
import sys
import tempfile

import pyqivrexdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

PEAK_MB, RATIO = 50, 1.5  # the targets


def make_db(path, rows):
    con = sqlite3.connect(path)
    con.execute("create table t (id integer, name varchar(20), amount double, day date)")
    start = datetime.date(2000, 1, 1)
    days = [(start + datetime.timedelta(k)).isoformat() for k in range(9000)]
    con.executemany("insert into t values (?, ?, ?, ?)",
                    ((i, "name%d" % (i % 1000), i * 0.25, days[i % 9000]) for i in range(1, rows + 1)))
    con.commit()
    con.close()


def run(args, out_path, env=None):
    """The Sample of one run writing to out_path."""
    with open(out_path, "w") as out:
        return timing.fresh(args, stdout=out, cwd=os.path.dirname(out_path), env=env)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=2000000)
    ap.add_argument("--pairs", type=int, default=3)
    ap.add_argument("--mode", default="table", help="our shell's .mode (sqlite3 prints its default list mode)")
    a = ap.parse_args()
    # The children run in the scratch folder, so the package goes by its
    # absolute place.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(pyqivrexdb.__file__))))
    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "bench.db")
        make_db(db, a.rows)
        sql = "select * from t"
        sides = {
            "sqlite3": (["sqlite3", db, sql], None),
            "ours": ([sys.executable, "-m", "pyqivrexdb", db, "-c", ".mode " + a.mode, "-c", sql], env),
        }
        run(sides["sqlite3"][0], os.path.join(tmp, "warm.txt"))  # the file into the page cache
        results = timing.interleave(["ours", "sqlite3"], a.pairs,
                                    lambda side: run(sides[side][0], os.path.join(tmp, side + ".txt"), sides[side][1]))
        lines = {s: sum(1 for _ in open(os.path.join(tmp, s + ".txt"))) for s in sides}
    print("%d rows, our .mode %s, %d pairs (lines written: %s)" % (a.rows, a.mode, a.pairs, lines))
    for side, got in results.items():
        print("  %-8s time %s s  peak resident %.0f MB  peak private %.0f MB"
              % (side, timing.spread(results, side), max(x.peak_kib for x in got) / 1024,
                 max(x.private_kib for x in got) / 1024))
    ratio = timing.ratio(results, "ours", "sqlite3")
    peak = max(x.peak_kib for x in results["ours"]) / 1024
    print("  time ours/sqlite3: %s" % ratio)
    print("ours: peak resident %.0f MB (target under %d): %s; time %.2f x sqlite3's (target at most %.1f): %s"
          % (peak, PEAK_MB, "met" if peak < PEAK_MB else "MISSED", ratio.median, RATIO,
             "met" if ratio.median <= RATIO else "MISSED"))


if __name__ == "__main__":
    main()
