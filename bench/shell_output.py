"""The shell printing a large result to a file, beside the sqlite3 shell.

    tools/dev python bench/shell_output.py [--rows N] [--pairs K] [--mode table|csv|...]

Makes a SQLite file of N rows (default 2,000,000) of
t(id INTEGER, name VARCHAR(20), amount DOUBLE, day DATE), then runs, in
turns, `sqlite3 FILE "select * from t"` and `python -m pyqivrexdb FILE -c
"select * from t"` (the package this script imports), each writing to a
file, and prints for each side the median wall time, peak resident size and
peak private (anonymous) memory, then our peak resident size and our time
divided by sqlite3's (median of the pairs) against their targets.

The peaks are sampled from /proc every few milliseconds (VmHWM, RssAnon): a
child's ru_maxrss would also count the resident size of the process that
started it.
"""
import argparse
import datetime
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import pyqivrexdb

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


def _peaks(pid, box):
    """Samples the process's peak resident size and its private resident
    memory (KiB) into box until it ends."""
    path = "/proc/%d/status" % pid
    while True:
        try:
            with open(path) as f:
                for line in f:
                    for k, field in enumerate(("VmHWM:", "RssAnon:")):
                        if line.startswith(field):
                            box[k] = max(box[k], int(line.split()[1]))
        except OSError:
            return
        time.sleep(0.005)


def run(args, out_path, env=None):
    """(seconds, peak resident MB, peak private MB) of one run."""
    with open(out_path, "w") as out:
        started = time.perf_counter()
        p = subprocess.Popen(args, stdout=out, stderr=subprocess.PIPE, cwd=os.path.dirname(out_path), env=env)
        box = [0, 0]
        sampler = threading.Thread(target=_peaks, args=(p.pid, box), daemon=True)
        sampler.start()
        _, status, _ = os.wait4(p.pid, 0)
        elapsed = time.perf_counter() - started
        sampler.join()
        p.returncode = os.waitstatus_to_exitcode(status)
        err = p.stderr.read()
    if p.returncode != 0:
        sys.exit("%s failed (%d): %s" % (args[0], p.returncode, err.decode(errors="replace")))
    return elapsed, box[0] / 1024, box[1] / 1024


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
        results = {k: [] for k in sides}
        run(sides["sqlite3"][0], os.path.join(tmp, "warm.txt"))  # the file into the page cache
        for k in range(a.pairs):
            order = ("ours", "sqlite3") if k % 2 == 0 else ("sqlite3", "ours")
            for side in order:
                results[side].append(run(*sides[side][:1], os.path.join(tmp, side + ".txt"), sides[side][1]))
        lines = {s: sum(1 for _ in open(os.path.join(tmp, s + ".txt"))) for s in sides}
    print("%d rows, our .mode %s, %d pairs (lines written: %s)" % (a.rows, a.mode, a.pairs, lines))
    for side, got in results.items():
        print("  %-8s time %.2f s (min %.2f)  peak resident %.0f MB  peak private %.0f MB"
              % (side, statistics.median(t for t, _, _ in got), min(t for t, _, _ in got),
                 max(m for _, m, _ in got), max(p for _, _, p in got)))
    ratios = [o[0] / s[0] for o, s in zip(results["ours"], results["sqlite3"])]
    peak = max(m for _, m, _ in results["ours"])
    ratio = statistics.median(ratios)
    print("  time ours/sqlite3: median %.2f (min %.2f, max %.2f)" % (ratio, min(ratios), max(ratios)))
    print("ours: peak resident %.0f MB (target under %d): %s; time %.2f x sqlite3's (target at most %.1f): %s"
          % (peak, PEAK_MB, "met" if peak < PEAK_MB else "MISSED", ratio, RATIO,
             "met" if ratio <= RATIO else "MISSED"))


if __name__ == "__main__":
    main()
