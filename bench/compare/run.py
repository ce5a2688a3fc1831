"""pyqivrexdb over its embedded engine side by side with the standard
library's sqlite3 module and with apsw on the same SQLite file.

    QX_BUILD=build/perf tools/dev python bench/compare/run.py [--quick] [--n 100000 1000000]
        [--reps 5] [--cases fetchall point ...] [--heapctrl 4096 65536 ...]

Every measurement runs in a fresh process (worker.py) and the sides take
turns (qx, std, sqlite3, apsw, then the reverse order, ...), so load from
elsewhere on the machine falls on all. The sides: qx, the core face
(pyqivrexdb.connect); std, the standard face (pyqivrexdb.dbapi, whose bulk
case is executemany of a plain INSERT, and whose rowwise case executemany
of an INSERT OR ABORT, off the bulk path; the core face runs that one an
execute a row); sqlite3; apsw (left out when it is
not installed). Each figure is a time divided by sqlite3's: the median of
the per-round ratios with their min-max, then the medians of the times and
the peak resident memory of each side while the case ran; the standard face
is also set against the core and apsw. All sides set the same pragmas
(those the engine sets on a file). --quick is a smoke run of a few seconds.

--heapctrl runs fetchall, the bulk load and the point queries on our side
alone for each HEAPCTRL value given, interleaving the values.
"""
import argparse
import datetime
import json
import os
import platform
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]
import timing  # noqa: E402
import worker  # noqa: E402

SCHEMA = ("create table t(id INTEGER, name CHAR(12), amount DOUBLE, d DATE, small SMALLINT, "
          "code CHAR(8))")

# case: (what it measures, target ratio of times, target ratio of peak memory)
CASES = {
    "fetchall": ("fetchall() of all rows", 0.9, 1.15),
    "fetchmany": ("fetchmany(1000) loop", 1.0, 1.2),
    "iterate": ("for row in cursor", 1.0, 1.2),
    "fetchall_dates": ("fetchall(), dates as date", 0.75, None),
    "bulk": ("bulk load", 0.75, None),
    "point": ("point query + fetchone", 1.2, None),
    "rowwise": ("insert or abort, row by row", None, None),
    "first": ("execute + first row", None, None),
    "point_u": ("point query, table u, autocommit", None, None),
    "rowwise_u": ("executemany into a new file, u", None, None),
}
POINT_QUERIES = 20000
U_POINT_QUERIES = 10000
# The standard face's targets, by case: its time over (the core's, sqlite3's, apsw's).
STD_TARGETS = {"fetchall": (1.1, 1.0, 1.0), "bulk": (None, 0.8, None), "rowwise": (None, 1.0, None),
               "point_u": (None, None, 1.2), "rowwise_u": (None, 1.0, None)}
# The core face's time over apsw's, by case.
QX_APSW_TARGETS = {"bulk": 1.1}


def available_sides():
    try:
        import apsw  # noqa: F401
    except ImportError:
        return ["qx", "std", "sqlite3"]
    return ["qx", "std", "sqlite3", "apsw"]


def make_u_db(path, n):
    """A database file with table u holding n rows, for the point_u case."""
    if os.path.exists(path):
        return
    conn = sqlite3.connect(path)
    for p in worker.PRAGMAS:
        conn.execute(p)
    conn.execute(worker.U_SCHEMA)
    step = 500000
    for first in range(0, n, step):
        with conn:
            conn.executemany("insert into u values (?, ?, ?, ?)", worker.make_u_rows(min(n, first + step), first))
    conn.execute("pragma wal_checkpoint(truncate)")
    conn.close()


def make_db(path, n, rows=True):
    """A database file with table t (and an index on id) holding n rows."""
    if os.path.exists(path):
        os.remove(path)
    conn = sqlite3.connect(path)
    for p in worker.PRAGMAS:
        conn.execute(p)
    conn.execute(SCHEMA)
    if rows:
        step = 100000
        for first in range(0, n, step):
            chunk = worker.make_rows(min(n, first + step))[first:]
            for r in chunk:
                r[3] = r[3].isoformat()
            with conn:
                conn.executemany("insert into t values (?, ?, ?, ?, ?, ?)", chunk)
        conn.execute("create index t_id on t(id)")
        conn.commit()
    conn.execute("pragma wal_checkpoint(truncate)")
    conn.close()


def run_worker(side, case, db, n, count=0, extra=()):
    return timing.fresh([sys.executable, str(HERE / "worker.py"), side, case, db, n, count, *extra])


def fresh_copy(template, target):
    """The empty table of the bulk case, a new file for every load."""
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(target + suffix):
            os.remove(target + suffix)
    with open(template, "rb") as src, open(target, "wb") as dst:
        dst.write(src.read())
    return target


def measure(case, n, reps, work):
    """reps interleaved rounds of one case: {side: [Sample, ...]}."""
    db = os.path.join(work, "t%d.db" % n)
    count = max(1, min(POINT_QUERIES, n // 5)) if case == "point" else 0
    if case == "point_u":
        db = os.path.join(work, "u%d.db" % n)
        make_u_db(db, n)
        count = U_POINT_QUERIES
    elif case == "rowwise_u":
        db = os.path.join(work, "new.db")  # each side's worker makes it anew

    def run(side):
        target = db
        if case in ("bulk", "rowwise"):
            target = fresh_copy(os.path.join(work, "empty.db"), os.path.join(work, "load.db"))
        return run_worker(side, case, target, n, count)
    # One unrecorded round first: the file's pages reach the page cache.
    return timing.interleave(available_sides(), reps, run, warmup=1), count or (1 if case == "first" else n)


def mib(kib):
    return kib / 1024.0


def summarize(case, n, measured):
    results, per = measured
    return {
        "case": case, "n": n,
        "ratio": timing.ratio(results, "qx", "sqlite3"),
        "cpu_ratio": timing.ratio(results, "qx", "sqlite3", "cpu_seconds"),
        "qx_us": timing.spread(results, "qx").median / per * 1e6,
        "sq_us": timing.spread(results, "sqlite3").median / per * 1e6,
        "peak_qx": timing.spread(results, "qx", "peak_kib").median,
        "peak_sq": timing.spread(results, "sqlite3", "peak_kib").median,
        "mem_ratio": timing.ratio(results, "qx", "sqlite3", "peak_kib"),
        "std_sq": timing.ratio(results, "std", "sqlite3"), "std_qx": timing.ratio(results, "std", "qx"),
        "std_apsw": timing.ratio(results, "std", "apsw"), "apsw_sq": timing.ratio(results, "apsw", "sqlite3"),
        "std_apsw_cpu": timing.ratio(results, "std", "apsw", "cpu_seconds"),
        "qx_apsw": timing.ratio(results, "qx", "apsw"), "load": os.getloadavg(),
    }


def verdict(value, target):
    if target is None:
        return ""
    return "ok" if value <= target else "OVER"


def print_table(rows):
    print()
    print("%-27s %9s %-17s %6s %-17s %9s %9s %9s %9s %-17s %5s"
          % ("case", "N", "ratio (min–max)", "target", "cpu", "ours us", "sqlite us",
             "ours MiB", "sqlite MiB", "mem", ""))
    for s in rows:
        what, target, mem_target = CASES[s["case"]]
        print("%-27s %9d %-17s %6s %-17s %9.3f %9.3f %9.1f %9.1f %-17s %5s"
              % (what, s["n"], s["ratio"], "-" if target is None else "<=%.2f" % target, s["cpu_ratio"], s["qx_us"], s["sq_us"],
                 mib(s["peak_qx"]), mib(s["peak_sq"]), s["mem_ratio"],
                 " ".join(v for v in (verdict(s["ratio"].median, target),
                                      verdict(s["mem_ratio"].median, mem_target)) if v)))
    print()
    print("%-27s %9s %-19s %-19s %-19s %-19s %-19s %-19s %s" % ("case", "N", "std/sqlite3", "std/qx", "std/apsw",
                                                                "std/apsw cpu", "apsw/sqlite3", "qx/apsw", ""))
    for s in rows:
        targets = STD_TARGETS.get(s["case"], (None, None, None))
        cells, verdicts = [], []
        for key, target in (("std_sq", targets[1]), ("std_qx", targets[0]), ("std_apsw", targets[2]),
                            ("std_apsw_cpu", None), ("apsw_sq", None), ("qx_apsw", QX_APSW_TARGETS.get(s["case"]))):
            r = s[key]
            cells.append("-" if r is None else str(r))
            if r is not None and target is not None:
                # "faster than" is a strict target; "within" an inclusive one
                ok = r.median < target if target == 1.0 else r.median <= target
                verdicts.append("%s %s" % (key, "ok" if ok else "OVER"))
        print("%-27s %9d %-19s %-19s %-19s %-19s %-19s %-19s %s" % (CASES[s["case"]][0], s["n"], *cells,
                                                              " ".join(verdicts)))
    print()
    print("ratio: our time / sqlite3's (median of the interleaved rounds' ratios, min–max); cpu: the "
          "same for the processor time of each process (less swayed by other load); us: median time "
          "per row (per query for the point case); MiB: median peak resident size while the case ran; "
          "mem: its ratio (target %.2f for fetchall, %.2f for streaming)"
          % (CASES["fetchall"][2], CASES["fetchmany"][2]))


def machine():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%d cores, %s; Python %s; SQLite %s; %s" % (
        os.cpu_count() or 0, model, platform.python_version(), sqlite3.sqlite_version,
        datetime.date.today().isoformat())


SWEEP_CASES = ("fetchall", "bulk", "point")


def heapctrl_sweep(values, n, reps, work):
    db = os.path.join(work, "t%d.db" % n)
    count = max(1, min(POINT_QUERIES, n // 5))
    print("HEAPCTRL sweep, N = %d, %d repetitions, our side only: median wall time (min–max), "
          "median processor time" % (n, reps))

    def run(side):
        case, v = side
        target = db
        if case in ("bulk", "rowwise"):
            target = fresh_copy(os.path.join(work, "empty.db"), os.path.join(work, "load.db"))
        return run_worker("heapctrl", case, target, n, count if case == "point" else 0, (v,))
    sides = [(case, v) for case in SWEEP_CASES for v in values]
    times = timing.interleave(sides, reps, run, warmup=1)
    print("%10s  %-38s %-38s %-38s %s" % ("HEAPCTRL", "fetchall s", "bulk load s", "point query us",
                                          "fetchall peak MiB"))
    for v in values:
        cells = []
        for case in SWEEP_CASES:
            scale = 1e6 / count if case == "point" else 1
            cells.append("%-38s" % ("%s cpu %.3f" % (timing.spread(times, (case, v)).scaled(scale).format(".3f"),
                                                     timing.spread(times, (case, v), "cpu_seconds").median * scale)))
        peak = timing.spread(times, ("fetchall", v), "peak_kib").median
        print("%10d  %s  %s  %s  %.1f" % (v, *cells, mib(peak)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a smoke run of a few seconds")
    ap.add_argument("--n", type=int, nargs="+", help="row counts (default 100000 1000000)")
    ap.add_argument("--reps", type=int, help="interleaved pairs per case (default 5)")
    ap.add_argument("--cases", nargs="+", choices=sorted(CASES), help="cases to run (default all)")
    ap.add_argument("--heapctrl", type=int, nargs="+", help="sweep HEAPCTRL instead")
    ap.add_argument("--work", help="folder for the database files (default a temporary one)")
    ap.add_argument("--json", help="also write the results to this file")
    args = ap.parse_args()

    sizes = args.n or ([10000] if args.quick else [100000, 1000000])
    reps = args.reps or (2 if args.quick else 5)
    cases = args.cases or list(CASES)
    with tempfile.TemporaryDirectory(dir=args.work) as work:
        make_db(os.path.join(work, "empty.db"), 0, rows=False)
        print(machine())
        started = time.perf_counter()
        if args.heapctrl:
            for n in sizes:
                make_db(os.path.join(work, "t%d.db" % n), n)
                heapctrl_sweep(args.heapctrl, n, reps, work)
            return 0
        summary = []
        for n in sizes:
            if any(not case.endswith("_u") for case in cases):
                make_db(os.path.join(work, "t%d.db" % n), n)
            for case in cases:
                s = summarize(case, n, measure(case, n, reps, work))
                summary.append(s)
                print("  %-15s N=%-8d ratio %s  mem %s  load %.1f %.1f %.1f"
                      % (case, n, s["ratio"], s["mem_ratio"], *s["load"]), flush=True)
        print_table(summary)
        print("%d repetitions a case, %.0f s in all" % (reps, time.perf_counter() - started))
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"machine": machine(), "results": summary}, f, indent=1, default=vars)
    return 0


if __name__ == "__main__":
    sys.exit(main())
