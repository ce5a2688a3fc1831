"""fetchall() of PostgreSQL's own types through the standard face against
psycopg 3, client processor time, in the same run: rows of (id int8,
amount numeric(12,2), at timestamptz, key uuid, ok boolean), read as int,
Decimal, aware datetime, UUID and bool on both sides.

    tools/dev python bench/postgres/types.py [N]      # N = 1,000,000

The server is a throw-away cluster (tests/pgcluster.py) unless QX_PG_DSN
names one. Prints the best of three runs a side, taking turns."""
import os
import sys
import time

import psycopg

from pyqivrexdb import dbapi

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import timing  # noqa: E402

QUERY = "select id, amount, at, key, ok from shapes"


def fill(dsn, rows):
    with psycopg.connect(dsn, autocommit=True) as c:
        c.execute("drop table if exists shapes")
        c.execute("create table shapes(id int8, amount numeric(12,2), at timestamptz, key uuid, ok boolean)")
        c.execute("insert into shapes select g, (g %% 100000) / 100.0, now() - g * interval '1 second', "
                  "gen_random_uuid(), g %% 2 = 0 from generate_series(1, %s) g", (rows,))
        c.execute("vacuum analyze shapes")


def timed(connect, dsn):
    with connect(dsn, autocommit=True) as c:
        start = time.process_time()
        c.execute(QUERY).fetchall()
        return time.process_time() - start


def main(rows):
    with timing.pg_server() as dsn:
        fill(dsn, rows)
        best = {"pyqivrexdb": float("inf"), "psycopg": float("inf")}
        for _ in range(3):
            best["pyqivrexdb"] = min(best["pyqivrexdb"], timed(dbapi.connect, dsn))
            best["psycopg"] = min(best["psycopg"], timed(psycopg.connect, dsn))
        print("%d rows: pyqivrexdb %.3f s, psycopg %.3f s, ratio %.2f"
              % (rows, best["pyqivrexdb"], best["psycopg"], best["pyqivrexdb"] / best["psycopg"]))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
