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
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]
import run  # noqa: E402
import timing  # noqa: E402


def fetch(dsn, n):
    from pyqivrexdb import dbapi
    cur = dbapi.connect(dsn, autocommit=True).cursor()
    cur.execute("select id, name, amount, d, small, code from t where id < %d" % n)
    assert len(cur.fetchall()) == n


def instructions(dsn, n, work):
    return timing.instructions([sys.executable, "-P", __file__, "--worker", dsn, n],
                               os.path.join(work, "callgrind.%d" % n))


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
    with timing.pg_server() as dsn:
        run.prepare(dsn, a.high, [])
        with tempfile.TemporaryDirectory() as work:
            high, low = instructions(dsn, a.high, work), instructions(dsn, a.low, work)
        print(f"fetchall, standard face: {(high - low) / (a.high - a.low):,.0f} client instructions a row "
              f"({high:,} for {a.high:,} rows, {low:,} for {a.low:,})")


if __name__ == "__main__":
    main()
