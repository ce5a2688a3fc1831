"""Arrow results and Arrow ingest side by side with ADBC's drivers and
connectorx, on the engine (an SQLite file) and on PostgreSQL.

    tools/dev python bench/arrow.py [--n 1000000] [--rounds 5] [--backends engine,postgresql] [--cases ...]

N rows of (int8, text, float8, int8 with every third NULL). Every
measurement runs in a fresh process (this file with --worker), the sides
taking turns (bench/timing.py); each figure is the median (min-max) of 5.
Ratios are ours over the fastest peer of the same case in the same rounds.
On PostgreSQL the ingest case also gives each side's processor time, its
own and its server process's (read from /proc when the server runs on
this machine), as medians.
The PostgreSQL server is a throw-away cluster (tests/pgcluster.py) unless
QX_PG_DSN names one. Peers: pip install adbc-driver-sqlite
adbc-driver-postgresql connectorx pyarrow pandas.
"""
import argparse
import os
import statistics
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH.parent / "tests"), str(BENCH)]
import timing  # noqa: E402

QUERY = "select a, b, c, d from arrow_bench"

# case: (our side, the peers); a side's name is what its worker runs.
CASES = {
    "table": ("qx-table", ["adbc-table", "cx-table"]),
    "df": ("qx-df", ["adbc-df"]),
    "ingest": ("qx-ingest", ["adbc-ingest"]),
}


def fill(backend, dsn, n):
    from pyqivrexdb import dbapi
    with dbapi.connect(dsn) as c:
        cur = c.cursor()
        cur.execute("drop table if exists arrow_bench")
        cur.execute("create table arrow_bench (a bigint, b text, c double precision, d bigint)")
        c.addrecords("arrow_bench", ((i, "name %d" % (i % 1000), i * 0.5, None if i % 3 == 0 else i)
                                     for i in range(n)))
        c.commit()


def peer_uri(backend, dsn):
    return ("sqlite:///" + dsn) if backend == "engine" else dsn


def adbc_connect(backend, dsn):
    if backend == "engine":
        import adbc_driver_sqlite.dbapi as driver
        return driver.connect(dsn)
    import adbc_driver_postgresql.dbapi as driver
    return driver.connect(dsn)


def source_table(dsn):
    from pyqivrexdb import dbapi
    with dbapi.connect(dsn) as c:
        return c.cursor().execute(QUERY).fetch_arrow_table()


def server_seconds(pid):
    """Processor time the server process pid has used, or None when it is
    not on this machine."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def work(side, backend, dsn):
    """Runs one side's case and reports its own time (set-up excluded: the
    libraries every side uses are imported first)."""
    import pandas  # noqa: F401
    import pyarrow  # noqa: F401
    if side.startswith("qx-"):
        from pyqivrexdb import dbapi
        conn = dbapi.connect(dsn)
    elif side.startswith("adbc-"):
        conn = adbc_connect(backend, dsn)
    if side.endswith("-ingest"):
        data = source_table(dsn)
        cur = conn.cursor()
        cur.execute("drop table if exists arrow_in")
        conn.commit()
        pid = None
        if backend == "postgresql":
            cur.execute("select pg_backend_pid()")
            pid = cur.fetchone()[0]
            conn.commit()
        server = [server_seconds(pid) if pid else None]

        def run():
            cur.adbc_ingest("arrow_in", data, mode="create")
            conn.commit()
            if server[0] is not None:
                server[0] = server_seconds(pid) - server[0]
    elif side == "cx-table":
        import connectorx as cx

        def run():
            return cx.read_sql(peer_uri(backend, dsn), QUERY, return_type="arrow")
    else:
        cur = conn.cursor()
        fetch = cur.fetch_arrow_table if side.endswith("-table") else cur.fetch_df

        def run():
            cur.execute(QUERY)
            return fetch()
    result, sample = timing.measure(run)
    if result is not None:
        assert len(result) > 0
    if side.endswith("-ingest") and server[0] is not None:
        sample.extra["server_cpu"] = server[0]
    timing.report(sample)


def versions():
    import importlib.metadata as md
    found = {}
    for name in ("pyarrow", "pandas", "adbc-driver-sqlite", "adbc-driver-postgresql", "connectorx"):
        try:
            found[name] = md.version(name)
        except md.PackageNotFoundError:
            found[name] = "missing"
    return found


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--backends", default="engine,postgresql")
    p.add_argument("--cases", default=",".join(CASES))
    p.add_argument("--worker", nargs=3, metavar=("SIDE", "BACKEND", "DSN"))
    args = p.parse_args()
    if args.worker:
        return work(*args.worker)
    print("versions:", ", ".join("%s %s" % kv for kv in versions().items()))
    cluster = None
    for backend in args.backends.split(","):
        if backend == "engine":
            dsn = os.path.join(tempfile.mkdtemp(), "arrow.db")
        elif os.environ.get("QX_PG_DSN"):
            dsn = os.environ["QX_PG_DSN"]
        else:
            import pgcluster
            cluster = pgcluster.Cluster().start()
            dsn = cluster.dsn()
        fill(backend, dsn, args.n)
        for case in args.cases.split(","):
            ours, peers = CASES[case]
            sides = [ours] + peers
            results = timing.interleave(
                sides, args.rounds, lambda side: timing.fresh(timing.python(__file__, "--worker", side, backend, dsn)))
            fastest = min(peers, key=lambda s: timing.spread(results, s).median)
            figures = ", ".join("%s %s s" % (s, timing.spread(results, s)) for s in sides)
            print(f"{backend:10} {case:7} {figures}; {ours}/{fastest} = {timing.ratio(results, ours, fastest)}")
            if all("server_cpu" in x.extra for side in sides for x in results[side]):
                print(" " * 19 + "processor: " + ", ".join(
                    "%s %.2f s, its server %.2f s" % (side, timing.spread(results, side, "cpu_seconds").median,
                                                       statistics.median(x.extra["server_cpu"] for x in results[side]))
                    for side in sides))
    if cluster:
        cluster.remove()


if __name__ == "__main__":
    main()
