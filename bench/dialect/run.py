"""pandas through the qivrex dialect side by side with SQLAlchemy's own SQLite
dialect (over the sqlite3 module) on the same kind of SQLite file.

    QX_BUILD=build/perf tools/dev python bench/dialect/run.py [--quick] [--reps 5]

Cases: read_sql of N rows x 6 columns (1,000,000) from one file that both
sides read; to_sql of M rows (100,000) of the same 6 columns into a fresh
table. Every measurement runs in a fresh process (this file with --worker)
and the sides take turns, so load from elsewhere on the machine falls on
both. Each figure is our time divided by the sqlite dialect's: the median of
the per-round ratios with their min–max, then the median times (bench/timing.py).
"""
import argparse
import datetime
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import timing  # noqa: E402

SIDES = {"qivrex": "qivrex:///{}", "sqlite": "sqlite:///{}"}
CODES = ["Москва01", "Тверь002", "Казань03", "Омск0004", "Пермь005", "Самара06", "Рязань07", "Тула0008"]
SCHEMA = ("create table t (id INTEGER, name CHAR(12), amount DOUBLE, d DATE, small SMALLINT, "
          "code CHAR(8))")
# case: (what it measures, target ratio of times)
CASES = {"read_sql": ("pandas.read_sql, 6 columns", 1.0), "to_sql": ("DataFrame.to_sql, 6 columns", 1.0)}


def frame(n):
    import pandas as pd

    first = datetime.date(2015, 1, 1).toordinal()
    return pd.DataFrame({
        "id": range(n),
        "name": ["NAME%08d" % i for i in range(n)],
        "amount": [i * 0.25 + 0.5 for i in range(n)],
        "d": [datetime.date.fromordinal(first + i % 3000) for i in range(n)],
        "small": [i % 65000 - 32500 for i in range(n)],
        "code": [CODES[i % len(CODES)] for i in range(n)],
    })


def make_db(path, n):
    """The file both sides read: table t with n rows, written by sqlite3."""
    import sqlite3

    conn = sqlite3.connect(path)
    conn.execute("pragma journal_mode = wal")
    conn.execute(SCHEMA)
    rows = frame(n).itertuples(index=False)
    conn.executemany("insert into t values (?, ?, ?, ?, ?, ?)",
                     ((r.id, r.name, r.amount, r.d.isoformat(), r.small, r.code) for r in rows))
    conn.commit()
    conn.close()


def engine(side, path):
    import sqlalchemy as sa

    if side == "qivrex":
        from sqlalchemy.dialects import registry

        registry.register("qivrex", "pyqivrexdb.dialect", "QivrexDialect")  # a development tree
    return sa.create_engine(SIDES[side].format(path))


def work(side, case, path, n):
    """One side of one case, timed once: its Sample."""
    import pandas as pd

    eng = engine(side, path)
    with eng.connect():  # connecting is not what is measured
        pass
    if case == "read_sql":
        df, sample = timing.measure(lambda: pd.read_sql("select id, name, amount, d, small, code from t", eng))
        assert len(df) == n and df["name"].iloc[-1] == "NAME%08d" % (n - 1), "wrong rows"
    else:
        df = frame(n)
        _, sample = timing.measure(lambda: df.to_sql("loaded", eng, index=False))
        with eng.connect() as conn:
            assert conn.exec_driver_sql("select count(*), max(name) from loaded").one() == (
                n, "NAME%08d" % (n - 1)), "wrong rows"
    eng.dispose()
    return sample


def run_case(case, n, reps, folder):
    shared = os.path.join(folder, "read.db")
    if case == "read_sql" and not os.path.exists(shared):
        make_db(shared, n)

    def run(side):
        path = shared
        if case == "to_sql":
            path = os.path.join(folder, f"load-{side}.db")
            for suffix in ("", "-wal", "-shm"):
                if os.path.exists(path + suffix):
                    os.remove(path + suffix)
        return timing.fresh(timing.python(__file__, "--worker", side, case, path, n))
    times = timing.interleave(SIDES, reps, run)
    return {"case": case, "n": n, "ratio": timing.ratio(times, "qivrex", "sqlite"),
            "qivrex_s": timing.spread(times, "qivrex").median, "sqlite_s": timing.spread(times, "sqlite").median}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="a smoke run of a few seconds")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--worker", nargs=4, metavar=("SIDE", "CASE", "DB", "N"))
    args = ap.parse_args()
    if args.worker:
        side, case, path, n = args.worker
        timing.report(work(side, case, path, int(n)))
        return
    sizes = {"read_sql": 1_000_000, "to_sql": 100_000}
    reps = args.reps
    if args.quick:
        sizes, reps = {"read_sql": 2000, "to_sql": 2000}, 1
    print("case                          N        ratio (min–max)    qivrex s  sqlite s  target")
    with tempfile.TemporaryDirectory() as folder:
        for case, (what, target) in CASES.items():
            r = run_case(case, sizes[case], reps, folder)
            print(f"{what:28s} {r['n']:>9,d}  {r['ratio']!s:17s}"
                  f"  {r['qivrex_s']:8.3f}  {r['sqlite_s']:8.3f}  <= {target:.2f}", flush=True)


if __name__ == "__main__":
    main()
