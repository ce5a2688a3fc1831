"""Instructions a query of one side of one case, counted with callgrind.

    tools/dev python bench/compare/instructions.py [--sides std apsw] [--case point_u] [--n 200000]

Runs worker.py under valgrind's callgrind twice, with LOW and HIGH queries,
and prints (instructions of HIGH - instructions of LOW) / (HIGH - LOW): the
process's start, the connection and the input's preparation cancel out, so
the figure is what one more query costs. Steadier than any time on a busy
machine; it does not see the page faults and cache misses a query pays.
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


def instructions(side, case, db, n, count, work):
    return timing.instructions([sys.executable, HERE / "worker.py", side, case, db, n, count],
                               os.path.join(work, "callgrind.%s.%d" % (side, count)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sides", nargs="+", default=["std", "apsw"])
    ap.add_argument("--case", default="point_u", choices=["point_u"])
    ap.add_argument("--n", type=int, default=200000, help="rows in u (default 200,000)")
    ap.add_argument("--low", type=int, default=2000)
    ap.add_argument("--high", type=int, default=4000)
    ap.add_argument("--work", help="folder for the database file (default a temporary one)")
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="qx_instr_")
    db = os.path.join(work, "u%d.db" % args.n)
    run.make_u_db(db, args.n)
    found = {}
    for side in args.sides:
        low = instructions(side, args.case, db, args.n, args.low, work)
        high = instructions(side, args.case, db, args.n, args.high, work)
        found[side] = (high - low) / (args.high - args.low)
        print("%-8s %10.0f instructions a query" % (side, found[side]), flush=True)
    if len(found) > 1:
        first = args.sides[0]
        for side in args.sides[1:]:
            print("%s / %s: %.2f" % (first, side, found[first] / found[side]))


if __name__ == "__main__":
    main()
