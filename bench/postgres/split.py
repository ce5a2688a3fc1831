"""The bulk_u load and its commit timed apart, ours and psycopg's taking
turns, with each client's processor time (a throw-away cluster unless
QX_PG_DSN names a server).

    QX_BUILD=build/dev tools/dev python bench/postgres/split.py [--n 500000] [--reps 3]
"""
import argparse
import os
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent)]
import run as prun  # noqa: E402
import timing  # noqa: E402


def ours(dsn, rows):
    from pyqivrexdb import dbapi
    c = dbapi.connect(dsn)
    c.execute("truncate u2")
    c.commit()
    t0, c0 = time.perf_counter(), time.process_time()
    c.addrecords("u2", rows)
    t1 = time.perf_counter()
    c.commit()
    t2 = time.perf_counter()
    c.close()
    return t1 - t0, t2 - t1, time.process_time() - c0


def theirs(dsn, rows):
    import psycopg
    p = psycopg.connect(dsn)
    cur = p.cursor()
    cur.execute("truncate u2")
    p.commit()
    t0, c0 = time.perf_counter(), time.process_time()
    with cur.copy("copy u2 from stdin") as cp:
        for r in rows:
            cp.write_row(r)
    t1 = time.perf_counter()
    p.commit()
    t2 = time.perf_counter()
    p.close()
    return t1 - t0, t2 - t1, time.process_time() - c0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=500000)
    ap.add_argument("--reps", type=int, default=3)
    a = ap.parse_args()
    with timing.pg_server() as dsn:
        from pyqivrexdb import dbapi
        with dbapi.connect(dsn, autocommit=True) as c:
            c.execute("drop table if exists u2")
            c.execute("create table u2 " + prun.U_TABLE)
        rows = prun.make_u_rows(a.n)
        for _ in range(a.reps):
            for name, side in (("qx", ours), ("psycopg", theirs)):
                load, commit, cpu = side(dsn, rows)
                print("%-8s load %.3f s  commit %.3f s  client cpu %.3f s  load average %.1f"
                      % (name, load, commit, cpu, os.getloadavg()[0]), flush=True)


if __name__ == "__main__":
    main()
