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
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402


def instructions(side, case, db, n, count, work):
    out = os.path.join(work, "callgrind.%s.%d" % (side, count))
    # One hash seed for every run: dictionaries then probe alike, and runs
    # of the same build agree more closely (a seed of its own moved a
    # query by up to a few hundred).
    env = dict(os.environ, PYTHONHASHSEED=os.environ.get("PYTHONHASHSEED", "0"))
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    sys.executable, str(HERE / "worker.py"), side, case, db, str(n), str(count)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    with open(out) as f:
        for line in f:
            m = re.match(r"(?:summary|totals): (\d+)", line)
            if m:
                return int(m.group(1))
    raise SystemExit("no totals in " + out)


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
