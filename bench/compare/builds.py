"""One case of the core face (or, with --side std, the standard face) under
several builds, the builds taking turns.

    python3 bench/compare/builds.py [--case bulk] [--side std] [--ascii] [--n 200000] [--reps 5] BUILD...

Each BUILD is a build folder (tools/dev's QX_BUILD: its stage/ holds the
package), say build/dev and ../old/build/old for a worktree of an earlier
commit. Every measurement is a fresh worker.py process of the qx side on a
file of its own (--ascii: the table's Cyrillic codes in ASCII letters, so
every text is ASCII); prints each build's wall and processor time, median
(min–max), and the load average at the end of the run.
"""
import argparse
import os
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]
import run  # noqa: E402
import timing  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--case", default="bulk", choices=["bulk", "rowwise", "point", "fetchall"])
    ap.add_argument("--n", type=int, default=200000)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--side", default="qx", choices=["qx", "std"])
    ap.add_argument("--ascii", action="store_true", help="ASCII codes instead of Cyrillic ones")
    a = ap.parse_args()
    if a.ascii:
        os.environ["QX_BENCH_ASCII"] = "1"  # read by worker.make_rows, here and in each worker
    stages = {b: str(Path(b).resolve() / "stage") for b in a.builds}
    with tempfile.TemporaryDirectory() as work:
        run.make_db(os.path.join(work, "empty.db"), 0, rows=False)
        db = os.path.join(work, "t.db")
        if a.case in ("point", "fetchall"):
            run.make_db(db, a.n)
        count = max(1, min(run.POINT_QUERIES, a.n // 5)) if a.case == "point" else 0

        def measure(build):
            target = db
            if a.case in ("bulk", "rowwise"):
                target = run.fresh_copy(os.path.join(work, "empty.db"), os.path.join(work, "load.db"))
            env = dict(os.environ, PYTHONPATH=stages[build])
            return timing.fresh([sys.executable, "-P", str(HERE / "worker.py"), a.side, a.case, target, a.n, count],
                                env=env)
        results = timing.interleave(a.builds, a.reps, measure, warmup=1)
    for b in a.builds:
        print("%-40s wall %s s  cpu %s s" % (b, timing.spread(results, b).format(".3f"),
                                            timing.spread(results, b, "cpu_seconds").format(".3f")))
    print("load average %.1f %.1f %.1f" % os.getloadavg())


if __name__ == "__main__":
    main()
