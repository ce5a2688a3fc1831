"""pyqivrexdb on a PostgreSQL server side by side with psycopg 3 (its C
implementation) on the same server and table.

    QX_BUILD=build/perf tools/dev python bench/postgres/run.py [--n 1000000] [--reps 3] [--cases ...]

The server is a throw-away cluster (tests/pgcluster.py) unless QX_PG_DSN
names one. Every measurement runs in a fresh process (this file with
--worker), the two sides taking turns (qx, psycopg, psycopg, qx, ...). Each
figure is our time (or peak resident memory) divided by psycopg's: the median
of the per-round ratios with their min–max (bench/timing.py).

Cases: fetchall() of N rows of 6 columns (the core face, and the standard face); a bulk load of N rows (the standard face's addrecords /
psycopg's copy); 20,000 point queries by primary key with fetchone() (both
in autocommit), and again inside one transaction on the standard face; the peak memory of streaming all N rows (iteration / a
psycopg server-side cursor); the first row of a select of 5,000,000 rows (the
standard face / a psycopg server-side cursor); executemany of N rows of
(int8, numeric(12,2), timestamptz, uuid, boolean) into a table made through
the driver, commit included (many_typed).
"""
import argparse
import datetime
import gc
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import timing  # noqa: E402

TABLE = ("(id integer primary key, name varchar(12), amount double precision, d date, small smallint, "
         "code varchar(8))")
QUERY = "select id, name, amount, d, small, code from t"
BIG_QUERY = "select id, name, amount, d, small, code from big"
CODES = ["Москва01", "Тверь002", "Казань03", "Омск0004", "Пермь005", "Самара06", "Рязань07", "Тула0008"]
# --ascii (QX_BENCH_ASCII in the environment, so the workers see it too):
# the same codes in ASCII letters, so every text is ASCII.
ASCII_CODES = ["Moskva01", "Tver0002", "Kazan003", "Omsk0004", "Perm0005", "Samara06", "Ryazan07", "Tula0008"]
FIRST_DAY = datetime.date(2015, 1, 1).toordinal()
POINT_QUERIES = 20000
U_TABLE = "(id integer primary key, name varchar(24), amount double precision, qty integer)"
BIG_ROWS = 5_000_000  # the table `big` of the first-row case, made on the server
# case: (what it measures, target ratio, measured quantity)
CASES = {
    "fetchall": ("fetchall() of N rows x 6 columns", 1.0, "seconds"),
    "fetchall_std": ("fetchall() of N rows x 6 columns, standard face", 0.9, "seconds"),
    "bulk": ("bulk load of N rows", 0.6, "seconds"),
    "bulk_u": ("bulk load of N rows into u2, commit included", 0.6, "seconds"),
    "point": (f"{POINT_QUERIES} point queries + fetchone()", 1.2, "seconds"),
    "point_tx": (f"{POINT_QUERIES} point queries in a transaction", 1.2, "seconds"),
    "stream": ("peak memory streaming N rows", 1.2, "peak_kib"),
    "first_row": (f"first row of {BIG_ROWS:,} rows", 1.0, "seconds"),
    "many_typed": ("executemany of N rows of PostgreSQL types", 1.0, "seconds"),
}
# The rows users write: a bigint key, an amount, an instant, a uuid and a flag.
W_TABLE = "(id int8, amount numeric(12,2), at timestamptz, key uuid, ok boolean)"


def expected(case, n):
    """What a case's run() returns when it did its work."""
    return POINT_QUERIES if case.startswith("point") else 1 if case == "first_row" else n


def make_u_rows(n):
    return [(i, "customer-name-%010d" % i, i * 0.25 + 0.5, i % 1000) for i in range(n)]


def make_w_rows(n):
    import decimal
    import uuid
    utc = datetime.timezone.utc
    start = datetime.datetime(2024, 1, 1, tzinfo=utc)
    cents = [decimal.Decimal(c).scaleb(-2) for c in range(100000)]
    return [(i, cents[i * 7919 % 100000], start + datetime.timedelta(seconds=i), uuid.UUID(int=i), i % 3 == 0)
            for i in range(n)]


def make_rows(n):
    fromordinal = datetime.date.fromordinal
    codes = ASCII_CODES if os.environ.get("QX_BENCH_ASCII") else CODES
    return [[i, "NAME%08d" % i, i * 0.25 + 0.5, fromordinal(FIRST_DAY + i % 3000), i % 65000 - 32500,
             codes[i % len(codes)]] for i in range(n)]


# ---- one side of one case, in a process of its own ----

def qx_case(case, dsn, n):
    import pyqivrexdb
    if case == "first_row":
        from pyqivrexdb import dbapi
        scur = dbapi.connect(dsn).cursor()
        scur.execute("select 1").fetchall()  # the connection's first round trips, on both sides

        def run():
            scur.execute(BIG_QUERY)
            return len(scur.fetchone()) // 6
        run.after = scur.close  # ends the query (an open result is read to its end at disconnect)
        return run
    if case == "fetchall_std":
        from pyqivrexdb import dbapi
        scur = dbapi.connect(dsn, autocommit=True).cursor()

        def run():
            scur.execute(QUERY)
            return len(scur.fetchall())
        return run
    if case == "point_tx":
        from pyqivrexdb import dbapi
        std = dbapi.connect(dsn)
        scur = std.cursor()

        def run():
            for k in range(0, POINT_QUERIES * 7, 7):
                scur.execute(QUERY + " where id = ?", (k % n,))
                scur.fetchone()
            std.commit()
            return POINT_QUERIES
        return run
    if case == "bulk_u":
        # Out of autocommit: the load and its commit are timed together.
        from pyqivrexdb import dbapi
        std = dbapi.connect(dsn)
        std.execute("truncate u2")
        std.commit()
        rows = make_u_rows(n)

        def run():
            std.addrecords("u2", rows)
            std.commit()
            return n
        run.backend = std.execute("select pg_backend_pid()").fetchone()[0]
        std.commit()
        return run
    if case == "many_typed":
        from pyqivrexdb import dbapi
        std = dbapi.connect(dsn)
        std.execute("truncate w")
        std.commit()
        rows = make_w_rows(n)

        def run():
            std.cursor().executemany("insert into w values (?, ?, ?, ?, ?)", rows)
            std.commit()
            return n
        run.backend = std.execute("select pg_backend_pid()").fetchone()[0]
        std.commit()
        return run
    conn = pyqivrexdb.connect(dsn)
    cur = conn.cursor()
    if case == "fetchall":
        def run():
            cur.execute(QUERY)
            return len(cur.fetchall())
    elif case == "bulk":
        # The standard face's load: on a server it sends batches of 8 MiB
        # (the core face hands over HEAPCTRL bytes a call, as designed).
        from pyqivrexdb import dbapi
        std = dbapi.connect(dsn, autocommit=True)
        std.execute("truncate t2")
        rows = make_rows(n)

        def run():
            std.addrecords("t2", rows)
            return n
        run.backend = std.execute("select pg_backend_pid()").fetchone()[0]
    elif case == "point":
        def run():
            for k in range(0, POINT_QUERIES * 7, 7):
                cur.execute(QUERY + " where id = %s", (k % n,))
                cur.fetchone()
            return POINT_QUERIES
    elif case == "stream":
        def run():
            cur.execute(QUERY)
            return sum(1 for _ in cur)
    return run


def psycopg_case(case, dsn, n):
    import psycopg
    conn = psycopg.connect(dsn, autocommit=case not in ("stream", "point_tx", "first_row", "bulk_u", "many_typed"))
    cur = conn.cursor()
    if case == "many_typed":
        cur.execute("truncate w")
        conn.commit()
        rows = make_w_rows(n)

        def run():
            cur.executemany("insert into w values (%s, %s, %s, %s, %s)", rows)
            conn.commit()
            return n
        run.backend = cur.execute("select pg_backend_pid()").fetchone()[0]
        conn.commit()
        return run
    if case == "bulk_u":
        cur.execute("truncate u2")
        conn.commit()
        rows = make_u_rows(n)

        def run():
            with cur.copy("copy u2 from stdin") as cp:
                for r in rows:
                    cp.write_row(r)
            conn.commit()
            return n
        run.backend = cur.execute("select pg_backend_pid()").fetchone()[0]
        conn.commit()
        return run
    if case in ("fetchall", "fetchall_std"):
        def run():
            cur.execute(QUERY)
            return len(cur.fetchall())
    elif case == "bulk":
        cur.execute("truncate t2")
        rows = make_rows(n)

        def run():
            with cur.copy("copy t2 from stdin") as cp:
                for r in rows:
                    cp.write_row(r)
            return n
        run.backend = cur.execute("select pg_backend_pid()").fetchone()[0]
    elif case in ("point", "point_tx"):
        def run():
            for k in range(0, POINT_QUERIES * 7, 7):
                cur.execute(QUERY + " where id = %s", (k % n,))
                cur.fetchone()
            conn.commit()
            return POINT_QUERIES
    elif case == "first_row":
        named = conn.cursor(name="first")
        conn.execute("select 1").fetchall()

        def run():
            named.execute(BIG_QUERY)
            return len(named.fetchone()) // 6
    elif case == "stream":
        def run():
            with conn.cursor(name="stream") as named:
                named.execute(QUERY)
                return sum(1 for _ in named)
    return run


def server_cpu(pid):
    """Processor seconds of the server process `pid` so far, or None when it
    runs elsewhere."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, TypeError):
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def worker(side, case, dsn, n):
    run = (qx_case if side == "qx" else psycopg_case)(case, dsn, n)

    def case_and_collect():
        done = run()
        gc.collect()
        return done
    backend = getattr(run, "backend", None)
    before = server_cpu(backend)
    done, sample = timing.measure(case_and_collect)
    after = server_cpu(backend)
    getattr(run, "after", lambda: None)()
    assert done == expected(case, n), done
    timing.report(sample, **({"server_cpu": after - before} if before is not None and after is not None else {}))


# ---- the driver ----

def run_worker(side, case, dsn, n):
    return timing.fresh(timing.python(__file__, "--worker", side, case, dsn, n), cwd=HERE)


def prepare(dsn, n, cases):
    import psycopg
    with psycopg.connect(dsn, autocommit=True) as conn:
        if "first_row" in cases:
            conn.execute("drop table if exists big")
            conn.execute("create table big " + TABLE)
            conn.execute("insert into big select g, 'NAME' || lpad(g::text, 8, '0'), g * 0.25 + 0.5, "
                         "date '2015-01-01' + g % 3000, g % 65000 - 32500, 'code' || g % 8 "
                         f"from generate_series(0, {BIG_ROWS - 1}) g")
            conn.execute("vacuum analyze big")
        conn.execute("drop table if exists t; drop table if exists t2")
        conn.execute("create table t " + TABLE)
        with conn.cursor().copy("copy t from stdin") as cp:
            for r in make_rows(n):
                cp.write_row(r)
        conn.execute("vacuum analyze t")
    # The loads' table made through the driver, as a user's is: both sides
    # pay the checks it gives the columns.
    from pyqivrexdb import dbapi
    with dbapi.connect(dsn, autocommit=True) as conn:
        conn.execute("create table t2 " + TABLE.replace(" primary key", ""))
        if "many_typed" in cases:
            conn.execute("drop table if exists w")
            conn.execute("create table w " + W_TABLE)
        if "bulk_u" in cases:
            conn.execute("drop table if exists u2")
            conn.execute("create table u2 " + U_TABLE)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--cases", nargs="*", default=list(CASES))
    ap.add_argument("--worker", nargs=4)
    ap.add_argument("--ascii", action="store_true", help="ASCII codes instead of Cyrillic ones")
    a = ap.parse_args()
    if a.ascii:
        os.environ["QX_BENCH_ASCII"] = "1"
    if a.worker:
        side, case, dsn, n = a.worker
        return worker(side, case, dsn, int(n))
    with timing.pg_server() as dsn:
        prepare(dsn, a.n, a.cases)
        print(f"N = {a.n:,}; ratio = ours / psycopg, median of {a.reps} interleaved rounds (min–max)")
        for case in a.cases:
            what, target, key = CASES[case]
            results = timing.interleave(["qx", "psycopg"], a.reps, lambda side: run_worker(side, case, dsn, a.n))
            unit, scale = ("s", 1) if key == "seconds" else ("MiB", 1 / 1024)
            ours, theirs = (timing.spread(results, side, key).median * scale for side in ("qx", "psycopg"))
            # The client's own processor time: what the server takes, both
            # sides wait for alike.
            cpu = timing.ratio(results, "qx", "psycopg", "cpu_seconds") if key == "seconds" else None
            # The server process's own, where the server runs on this machine.
            server = {side: [x.extra.get("server_cpu") for x in results[side]] for side in ("qx", "psycopg")}
            server = None if None in server["qx"] + server["psycopg"] else server
            load = "load %.1f %.1f %.1f" % os.getloadavg()
            print(f"{what:42s} {timing.ratio(results, 'qx', 'psycopg', key)}  target <= {target}  {load}"
                  f"   ours {ours:.3f} {unit} / psycopg {theirs:.3f} {unit}"
                  + (f"   client cpu {cpu}" if cpu else "")
                  + (f"   server cpu {timing.Spread.of(server['qx']).format('.2f')} s / "
                     f"{timing.Spread.of(server['psycopg']).format('.2f')} s" if server else ""), flush=True)


if __name__ == "__main__":
    main()
