"""Memory of a streamed Arrow read: fetch_record_batch() over N rows (10M by
default) of (bigint, text, double precision, bigint with every third NULL),
on the engine (an SQLite file) and on PostgreSQL, each read in a fresh
process. The figures are the growth of the process's anonymous resident
memory (RssAnon) over what it held before the execute, sampled after every
batch and, for the peak, also every millisecond by a thread, against the
Arrow size of the largest batch. pyarrow's memory pool, set up once a
process, and the database's page cache, filled to its fixed size by any
read, are set up before the baseline.

    tools/dev python bench/arrow_rss.py [--n 10000000] [--backends engine,postgresql]

The PostgreSQL server is a throw-away cluster (tests/pgcluster.py) unless
QX_PG_DSN names one. Needs pyarrow.
"""
import argparse
import contextlib
import os
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import timing  # noqa: E402

QUERY = "select a, b, c, d from arrow_rss"
ROWS = ("a, 'name ' || (a % 1000), a * 0.5, case when a % 3 = 0 then null else a end")


def fill(backend, dsn, n):
    from pyqivrexdb import dbapi
    with dbapi.connect(dsn) as c:
        cur = c.cursor()
        cur.execute("drop table if exists arrow_rss")
        cur.execute("create table arrow_rss (a bigint, b text, c double precision, d bigint)")
        if backend == "postgresql":
            cur.execute("insert into arrow_rss select %s from generate_series(0, %d) a" % (ROWS, n - 1))
        else:
            cur.execute("insert into arrow_rss with recursive s(a) as (select 0 union all select a + 1 from s "
                        "where a < %d) select %s from s" % (n - 1, ROWS))
        c.commit()


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def worker(dsn):
    import pyarrow  # noqa: F401  (loaded before the baseline)
    from pyqivrexdb import dbapi
    conn = dbapi.connect(dsn)
    cur = conn.cursor()
    # pyarrow sets its memory pool up on first use (about 4 MiB, once a
    # process): done before the baseline, it is not the read's.
    pyarrow.array([1, 2, 3])
    for batch in cur.execute("select 1 as one").fetch_record_batch():
        del batch
    # A database's page cache fills up to its fixed size on any read, of one
    # row as of all (SQLite's 2 MiB by default): filled before the baseline,
    # it is not the read's either.
    cur.execute("select count(*) from (select a, b, c, d from arrow_rss) t").fetchall()
    base = status_kib("RssAnon")
    # The peak between the samples after each batch too: a thread samples
    # every millisecond while the library builds a batch (it releases the
    # interpreter lock meanwhile).
    high = [base]
    done = threading.Event()

    def sample():
        while not done.wait(0.001):
            high[0] = max(high[0], status_kib("RssAnon"))

    sampler = threading.Thread(target=sample)
    sampler.start()
    peak, largest, rows = base, 0, 0
    cur.execute(QUERY)
    for batch in cur.fetch_record_batch():
        rows += batch.num_rows
        largest = max(largest, batch.nbytes)
        peak = max(peak, status_kib("RssAnon"))
        del batch
    done.set()
    sampler.join()
    print(rows, (peak - base) * 1024, (max(high[0], peak) - base) * 1024, largest)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--n", type=int, default=10_000_000)
    p.add_argument("--backends", default="engine,postgresql")
    p.add_argument("--worker")
    a = p.parse_args()
    if a.worker:
        return worker(a.worker)
    for backend in a.backends.split(","):
        with tempfile.TemporaryDirectory() as tmp, (timing.pg_server() if backend == "postgresql" else
                                                    contextlib.nullcontext(os.path.join(tmp, "rss.db"))) as dsn:
            fill(backend, dsn, a.n)
            run = subprocess.run([sys.executable, __file__, "--worker", dsn], capture_output=True, text=True)
            if run.returncode:
                sys.exit(run.stderr)
            out = run.stdout.split()
            rows, grew, high, largest = (int(x) for x in out)
            print("%-10s %d rows: anonymous memory grew %.1f MiB (%.2f batches) after a batch, %.1f MiB "
                  "(%.2f batches) at its peak; the largest batch %.1f MiB"
                  % (backend, rows, grew / 2**20, grew / largest, high / 2**20, high / largest, largest / 2**20))


if __name__ == "__main__":
    main()
