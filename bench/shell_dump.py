"""The shell's .dump of one table, beside the engine's own CLI and pg_dump.

    tools/dev python bench/shell_dump.py [--rows N] [--rounds K] [--no-pg] [--no-engine]

Fills t(id INTEGER, name VARCHAR(20), qty SMALLINT, day DATE, price DOUBLE,
note VARCHAR(40), data BLOB/BYTEA) with N rows (default 1,000,000; some
texts with quotes, some NULLs), then, the sides taking turns, each in a
process of its own writing to /dev/null:
  engine:      `sqlite3 FILE .dump`  against
               `python -m pyqivrexdb FILE -c .dump`
  PostgreSQL:  `pg_dump -t t` against
               `python -m pyqivrexdb postgresql://... -c ".dump t"`,
               both over TCP to a throw-away cluster (tests/pgcluster.py);
               left out when PostgreSQL's programs are missing or --no-pg.
Each side's time covers its whole process. Prints the medians (min–max) of
wall and processor time and the two ratios against their target of 1.5.
"""
import argparse
import os
import shutil
import sqlite3
import sys
import tempfile

import pyqivrexdb

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
import timing  # noqa: E402

TARGET = 1.5
TABLE = ("create table t (id integer primary key, name varchar(20), qty smallint, day date, price %s, "
         "note varchar(40), data %s)")
FILL = ("select i, 'name '' ' || (i % 5000), i % 30000, {day}, i / 7.0, "
        "case when i % 10 = 0 then null else 'note, with comma ' || i end, {blob} "
        "from {series}")


def engine_fill(path, rows):
    con = sqlite3.connect(path)
    con.execute(TABLE % ("double", "blob"))
    con.execute("insert into t " + FILL.format(
        blob="case when i % 3 = 0 then randomblob(8) end", day="'2024-01-' || (10 + i % 20)",
        series="(with recursive s(i) as (select 1 union all select i + 1 from s where i < %d) select i from s)" % rows))
    con.commit()
    con.close()


def shell_env(tmp):
    """The sides' environment: the package found by its absolute place (the
    children run elsewhere), our modules compiled once into tmp, in the
    first run, as an installed package's are."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(pyqivrexdb.__file__))))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    env["PYTHONPYCACHEPREFIX"] = os.path.join(tmp, "pycache")
    return env


def quiet(cmds, env):
    """run(side): cmds[side] in a process of its own writing to /dev/null."""
    return lambda side: timing.fresh(cmds[side], env=env, stdout=open(os.devnull, "w"))


def measure(name, reference, run, rounds):
    """Our side and the reference taking turns (run(side) -> its Sample):
    prints their figures and the ratios against the target, returns the
    wall time's."""
    run("ours")  # the input and the programs into the page cache
    results = timing.interleave(["ours", reference], rounds, run)
    print("%s, %d rounds:" % (name, rounds))
    for side in results:
        print("  %-8s wall %s s  cpu %s s" % (side, timing.spread(results, side),
                                              timing.spread(results, side, "cpu_seconds")))
    wall = timing.ratio(results, "ours", reference)
    cpu = timing.ratio(results, "ours", reference, "cpu_seconds")
    print("  ours/%s: wall %s, cpu %s (target at most %.1f): %s"
          % (reference, wall, cpu, TARGET, "met" if wall.median <= TARGET else "MISSED"))
    return wall


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1000000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--no-pg", action="store_true")
    ap.add_argument("--no-engine", action="store_true")
    a = ap.parse_args()
    ratios = {}
    with tempfile.TemporaryDirectory() as tmp:
        env = shell_env(tmp)
        db = os.path.join(tmp, "dump.db")
        engine_fill(db, a.rows)
        print("%d rows, %.1f MB of database" % (a.rows, os.path.getsize(db) / 1e6))
        cmds = {"sqlite3": ["sqlite3", db, ".dump"],
                "ours": [sys.executable, "-P", "-m", "pyqivrexdb", db, "-c", ".dump"]}
        if not a.no_engine:
            ratios["engine"] = measure("engine", "sqlite3", quiet(cmds, env), a.rounds)
        import pgcluster
        if a.no_pg or not pgcluster.bindir() or not shutil.which("pg_dump"):
            print("PostgreSQL: left out (%s)" % ("--no-pg" if a.no_pg else "its programs are not installed"))
        else:
            cluster = pgcluster.Cluster().start()
            try:
                env["PGPASSWORD"] = pgcluster.PASSWORD
                cluster.psql(TABLE % ("double precision", "bytea") + "; insert into t " + FILL.format(
                    blob="case when i % 3 = 0 then decode(md5(i::text), 'hex') end",
                    day="date '2024-01-10' + i % 20",
                    series="generate_series(1, %d) i" % a.rows))
                host = ["-h", "127.0.0.1", "-p", str(cluster.port), "-U", "qx", "-d", "qx"]
                cmds = {"pg_dump": ["pg_dump", *host, "-t", "t"],
                        "ours": [sys.executable, "-P", "-m", "pyqivrexdb", cluster.dsn(), "-c", ".dump t"]}
                ratios["postgresql"] = measure("PostgreSQL", "pg_dump", quiet(cmds, env), a.rounds)
            finally:
                cluster.remove()
    print("ratios (wall, median): " + ", ".join("%s %.2f" % (k, v.median) for k, v in ratios.items()))


if __name__ == "__main__":
    main()
