"""Fetching mixed-script text: the standard face against sqlite3 on one
SQLite file, and against psycopg 3 on one PostgreSQL table.

    tools/dev python bench/bench_unicode.py [--n 1000000] [--reps 3]

The table t(id integer, name varchar(24), city varchar(24)) holds names
drawn from Latin with diacritics, Greek, Cyrillic, CJK, emoji, combining
marks and right-to-left scripts, and ASCII cities. Each side connects,
runs `select id, name, city from t` and fetchall(); the sides take turns,
each timing in a fresh process, and the figure is the median (min-max) of
the wall and processor seconds. The server is a throw-away cluster
(tests/pgcluster.py) unless QX_PG_DSN names one; psycopg is left out when
it is not installed.
"""
import argparse
import contextlib
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import timing  # noqa: E402

NAMES = ["Zoë Grüße", "Ωμέγα Αλφα", "Иванов Пётр", "日本語の名前", "😀 party 🚀", "e\u0301te\u0301", "שלום עולם",
         "café O'Brien", "plain ascii"]

WORKER = r"""
import sys, time
side, target, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
if side == "std":
    from pyqivrexdb import dbapi
    conn = dbapi.connect(target)
elif side == "sqlite3":
    import sqlite3
    conn = sqlite3.connect(target)
else:
    import psycopg
    conn = psycopg.connect(target)
cur = conn.cursor()
t0, c0 = time.perf_counter(), time.process_time()
cur.execute("select id, name, city from t")
rows = cur.fetchall()
t1, c1 = time.perf_counter(), time.process_time()
assert len(rows) == n, len(rows)
print(t1 - t0, c1 - c0)
"""


def rows(n):
    return [(i, NAMES[i % len(NAMES)] + " %d" % (i % 1000), "city%05d" % (i % 977)) for i in range(n)]


def fill(conn, n, marks):
    cur = conn.cursor()
    cur.execute("create table t (id integer, name varchar(24), city varchar(24))")
    data = rows(n)
    for k in range(0, n, 50000):
        cur.executemany("insert into t values (%s, %s, %s)" % ((marks,) * 3), data[k:k + 50000])
    conn.commit()


def measure(side, target, n):
    out = subprocess.run([sys.executable, "-c", WORKER, side, target, str(n)], capture_output=True, text=True,
                         env=dict(os.environ))
    if out.returncode:
        raise SystemExit(out.stderr)
    wall, cpu = map(float, out.stdout.split())
    return wall, cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1000000)
    ap.add_argument("--reps", type=int, default=3)
    a = ap.parse_args()
    from pyqivrexdb import dbapi
    work = tempfile.mkdtemp()
    path = os.path.join(work, "u.db")
    with dbapi.connect(path) as conn:
        fill(conn, a.n, "?")
    pairs = [("std", path), ("sqlite3", path)]
    try:
        import psycopg
    except ImportError:
        psycopg = None
    with contextlib.ExitStack() as stack:
        if psycopg:
            dsn = stack.enter_context(timing.pg_server())
            with psycopg.connect(dsn) as pg:
                pg.execute("drop table if exists t")
                fill(pg, a.n, "%s")
            pairs += [("std", dsn), ("psycopg", dsn)]
        results = {p: [] for p in pairs}
        for _ in range(a.reps):
            for p in pairs:
                results[p].append(measure(p[0], p[1], a.n))
        for (side, target), got in results.items():
            where = "postgresql" if target.startswith("postgres") else "sqlite"
            print("%-8s %-10s wall %s s  cpu %s s" % (side, where, timing.Spread.of(w for w, _ in got).format(".3f"),
                                                    timing.Spread.of(c for _, c in got).format(".3f")))
        print("load average %.1f %.1f %.1f" % os.getloadavg())

if __name__ == "__main__":
    main()
