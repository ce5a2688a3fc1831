"""The shell's .load of a CSV file, beside the engine's own CLI and psql.

    tools/dev python bench/shell_load.py [--rows N] [--rounds K] [--no-pg]

Writes a CSV file of N rows (default 100,000; quoted texts, some with
commas) for t(id INTEGER, name VARCHAR(20), qty SMALLINT, day DATE,
price FLOAT, note VARCHAR(40)), then, the sides taking turns, each in a
process of its own on a freshly made table:
  engine:      `sqlite3 FILE ".import --csv CSV t"` against
               `python -m pyqivrexdb FILE -c ".load t CSV"`
  PostgreSQL:  `psql -c "\\copy t from CSV (format csv)"` against
               `python -m pyqivrexdb postgresql://... -c ".load t CSV"`,
               both over TCP to a throw-away cluster (tests/pgcluster.py);
               left out when PostgreSQL's programs are missing or --no-pg.
Each side's time covers its whole process (start-up, connecting, one
transaction for the whole load); our side's modules are compiled in a
warm-up run, as an installed package's are. Prints the medians (min–max) of wall and
processor time and the two ratios against their target of 1.5.
"""
import argparse
import os
import shutil
import sqlite3
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
import shell_dump  # noqa: E402

TABLE = ("create table t (id integer, name varchar(20), qty smallint, day date, price float, "
         "note varchar(40))")


def make_csv(path, rows):
    with open(path, "w", encoding="utf-8", newline="") as f:
        for i in range(1, rows + 1):
            f.write('%d,"name %d",%d,2024-%02d-%02d,%r,"note, with comma %d"\n'
                    % (i, i % 5000, i % 30000, i % 12 + 1, i % 28 + 1, i / 7, i))


def engine_sides(tmp, csv_path):
    db = os.path.join(tmp, "load.db")

    def fresh_table():
        if os.path.exists(db):
            os.remove(db)
        con = sqlite3.connect(db)
        con.execute(TABLE)
        con.commit()
        con.close()

    cmds = {"sqlite3": ["sqlite3", db, ".import --csv %s t" % csv_path],
            "ours": [sys.executable, "-P", "-m", "pyqivrexdb", db, "-c", ".load t %s" % csv_path]}
    return cmds, fresh_table, lambda: sqlite3.connect(db).execute("select count(*) from t").fetchone()[0]


def pg_sides(cluster, csv_path):
    def fresh_table():
        cluster.psql("drop table if exists t; " + TABLE)

    host = ["-h", "127.0.0.1", "-p", str(cluster.port), "-U", "qx", "-d", "qx"]
    cmds = {"psql": ["psql", *host, "-c", "\\copy t from '%s' with (format csv)" % csv_path],
            "ours": [sys.executable, "-P", "-m", "pyqivrexdb", cluster.dsn(), "-c", ".load t %s" % csv_path]}
    return cmds, fresh_table, lambda: int(cluster.psql("select count(*) from t"))


def checked(name, cmds, fresh_table, count, env, rows):
    """run(side): cmds[side] on a fresh table, which then holds every row."""
    def run(side):
        fresh_table()
        sample = shell_dump.quiet(cmds, env)(side)
        got = count()
        if got != rows:
            raise SystemExit("%s: %s loaded %d rows, not %d" % (name, side, got, rows))
        return sample
    return run


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--no-pg", action="store_true")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        env = shell_dump.shell_env(tmp)
        os.chmod(tmp, 0o755)  # the server's own user reads nothing here, psql's client side does
        csv_path = os.path.join(tmp, "rows.csv")
        make_csv(csv_path, a.rows)
        print("%d rows, %.1f MB of CSV" % (a.rows, os.path.getsize(csv_path) / 1e6))
        engine = checked("engine", *engine_sides(tmp, csv_path), env, a.rows)
        ratios = {"engine": shell_dump.measure("engine", "sqlite3", engine, a.rounds)}
        import pgcluster
        if a.no_pg or not pgcluster.bindir() or not shutil.which("psql"):
            print("PostgreSQL: left out (%s)" % ("--no-pg" if a.no_pg else "its programs are not installed"))
        else:
            cluster = pgcluster.Cluster().start()
            try:
                env["PGPASSWORD"] = pgcluster.PASSWORD  # psql's
                pg = checked("PostgreSQL", *pg_sides(cluster, csv_path), env, a.rows)
                ratios["postgresql"] = shell_dump.measure("PostgreSQL", "psql", pg, a.rounds)
            finally:
                cluster.remove()
    print("ratios (wall, median): " + ", ".join("%s %.2f" % (k, v.median) for k, v in ratios.items()))


if __name__ == "__main__":
    main()
