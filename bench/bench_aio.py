"""The asyncio face against the sync face on the embedded engine, in one run:

* point: 10,000 queries of one row by key (execute + fetchone each);
* fetch: a result of 1M rows (id, a 16-character text, a double), by
  fetchall() on both and by ``async for`` (arraysize rows a hop);

best of three runs each, with the ratio async / sync.

    QX_BUILD=build/perf tools/dev python bench/bench_aio.py [--rows N] [--points N] [--json FILE]
"""

import argparse
import asyncio
import json
import os
import tempfile
import time

from pyqivrexdb import aio, dbapi

POINT = "select id, name, amount from t where id = ?"
ALL = "select id, name, amount from t"


def make(path, rows):
    with dbapi.connect(path) as conn:
        conn.execute("create table t(id integer primary key, name varchar(16), amount double)")
        conn.addrecords("t", (((i, "name%012d" % i, i * 0.5)) for i in range(rows)))


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def sync_figures(path, rows, points):
    conn = dbapi.connect(path)
    cur = conn.cursor()

    def point():
        for i in range(points):
            cur.execute(POINT, (i * 7919 % rows,))
            cur.fetchone()

    def fetch():
        assert len(cur.execute(ALL).fetchall()) == rows

    result = {"point_s": best(point), "fetch_s": best(fetch)}
    conn.close()
    return result


async def async_figures(path, rows, points):
    conn = await aio.connect(path)
    cur = conn.cursor()
    cur.arraysize = 1000

    async def timed(fn):
        times = []
        for _ in range(3):
            start = time.perf_counter()
            await fn()
            times.append(time.perf_counter() - start)
        return min(times)

    async def point():
        for i in range(points):
            await cur.execute(POINT, (i * 7919 % rows,))
            await cur.fetchone()

    async def fetch():
        await cur.execute(ALL)
        assert len(await cur.fetchall()) == rows

    async def stream():
        await cur.execute(ALL)
        n = 0
        async for _ in cur:
            n += 1
        assert n == rows

    result = {"point_s": await timed(point), "fetch_s": await timed(fetch),
              "async_for_s": await timed(stream)}
    await conn.close()
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--json")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.db")
        make(path, args.rows)
        sync = sync_figures(path, args.rows, args.points)
        asy = asyncio.run(async_figures(path, args.rows, args.points))
    result = {
        "sync": {k: round(v, 3) for k, v in sync.items()},
        "async": {k: round(v, 3) for k, v in asy.items()},
        "point_ratio": round(asy["point_s"] / sync["point_s"], 2),
        "fetch_ratio": round(asy["fetch_s"] / sync["fetch_s"], 2),
        "async_for_ratio": round(asy["async_for_s"] / sync["fetch_s"], 2),
        "point_us_sync": round(sync["point_s"] / args.points * 1e6, 1),
        "point_us_async": round(asy["point_s"] / args.points * 1e6, 1),
    }
    text = json.dumps(result, indent=2)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
