"""The asyncio face against the sync face on the embedded engine, in one run:

* point: 10,000 queries of one row by key (execute + fetchone each);
* fetch: a result of 1M rows (id, a 16-character text, a double), by
  fetchall() on both and by ``async for`` (arraysize rows a hop);

the sides taking turns over five rounds (after one unrecorded), each
figure the median time and the ratio async / sync as its median (min–max)
over the rounds.

    QX_BUILD=build/perf tools/dev python bench/bench_aio.py [--rows N] [--points N] [--json FILE]
"""

import argparse
import asyncio
import json
import os
import sys
import tempfile
import time

from pyqivrexdb import aio, dbapi

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

POINT = "select id, name, amount from t where id = ?"
ALL = "select id, name, amount from t"
ROUNDS = 5


def make(path, rows):
    with dbapi.connect(path) as conn:
        conn.execute("create table t(id integer primary key, name varchar(16), amount double)")
        conn.addrecords("t", (((i, "name%012d" % i, i * 0.5)) for i in range(rows)))


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def sync_cases(path, rows, points):
    cur = dbapi.connect(path).cursor()

    def point():
        for i in range(points):
            cur.execute(POINT, (i * 7919 % rows,))
            cur.fetchone()

    def fetch():
        assert len(cur.execute(ALL).fetchall()) == rows

    return {"point": point, "fetch": fetch, "async_for": fetch}


def async_cases(path, rows, points):
    loop = asyncio.new_event_loop()
    conn = loop.run_until_complete(aio.connect(path))
    cur = conn.cursor()
    cur.arraysize = 1000

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

    return {case: (lambda fn=fn: loop.run_until_complete(fn()))
            for case, fn in (("point", point), ("fetch", fetch), ("async_for", stream))}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--json")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.db")
        make(path, args.rows)
        sides = {"sync": sync_cases(path, args.rows, args.points),
                 "async": async_cases(path, args.rows, args.points)}
        # async_for is set against the sync face's fetchall
        times = {case: timing.interleave(sides, ROUNDS, lambda side: seconds(sides[side][case]), warmup=1)
                 for case in ("point", "fetch", "async_for")}
    median = {case: {side: timing.spread(t, side, key=None).median for side in t} for case, t in times.items()}
    result = {
        "sync": {"point_s": round(median["point"]["sync"], 3), "fetch_s": round(median["fetch"]["sync"], 3)},
        "async": {case + "_s": round(median[case]["async"], 3) for case in times},
    }
    for case, t in times.items():
        r = timing.ratio(t, "async", "sync", key=None)
        result[case + "_ratio"] = round(r.median, 2)
        result[case + "_ratio_range"] = [round(r.lo, 2), round(r.hi, 2)]
    result["point_us_sync"] = round(median["point"]["sync"] / args.points * 1e6, 1)
    result["point_us_async"] = round(median["point"]["async"] / args.points * 1e6, 1)
    text = json.dumps(result, indent=2)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
