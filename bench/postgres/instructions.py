"""Client instructions a row of the standard face's fetchall() on
PostgreSQL, counted with callgrind.

    tools/dev python bench/postgres/instructions.py [--ascii] [--low 25000] [--high 50000]
    QX_BUILD=<other>/build/dev tools/dev python bench/postgres/instructions.py --ascii

Loads run.py's six-column table with HIGH rows on a throw-away cluster
(or QX_PG_DSN), then runs a worker under valgrind's callgrind twice, each
a fresh process that connects, selects the rows with id below LOW or HIGH
and calls fetchall(); prints (instructions of HIGH - instructions of LOW)
/ (HIGH - LOW). Only the client process is counted: the server's work is
not in the figure, nor are the process's start and the connection, which
cancel out. Steadier than any time on a busy machine.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def fetch(dsn, n):
    from pyqivrexdb import dbapi
    cur = dbapi.connect(dsn, autocommit=True).cursor()
    cur.execute("select id, name, amount, d, small, code from t where id < %d" % n)
    assert len(cur.fetchall()) == n


def instructions(dsn, n, work):
    out = os.path.join(work, "callgrind.%d" % n)
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    sys.executable, "-P", __file__, "--worker", dsn, str(n)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=os.environ)
    with open(out) as f:
        for line in f:
            m = re.match(r"(?:summary|totals): (\d+)", line)
            if m:
                return int(m.group(1))
    raise SystemExit("no totals in " + out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--ascii", action="store_true", help="ASCII codes instead of Cyrillic ones")
    ap.add_argument("--low", type=int, default=25000)
    ap.add_argument("--high", type=int, default=50000)
    ap.add_argument("--worker", nargs=2)
    a = ap.parse_args()
    if a.worker:
        return fetch(a.worker[0], int(a.worker[1]))
    if a.ascii:
        os.environ["QX_BENCH_ASCII"] = "1"
    sys.path.insert(0, str(HERE))
    import run
    cluster = None
    dsn = os.environ.get("QX_PG_DSN")
    if not dsn:
        sys.path.insert(0, str(HERE.parent.parent / "tests"))
        import pgcluster
        cluster = pgcluster.Cluster().start()
        dsn = cluster.dsn()
    try:
        run.prepare(dsn, a.high, [])
        with tempfile.TemporaryDirectory() as work:
            high, low = instructions(dsn, a.high, work), instructions(dsn, a.low, work)
        print(f"fetchall, standard face: {(high - low) / (a.high - a.low):,.0f} client instructions a row "
              f"({high:,} for {a.high:,} rows, {low:,} for {a.low:,})")
    finally:
        if cluster:
            cluster.remove()


if __name__ == "__main__":
    main()
