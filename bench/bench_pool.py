"""Pool borrow and return on the embedded engine: the time one
``with pool.connection()`` block with nothing in it takes, and one
getconn()/putconn() pair, best of several runs (the bar: 5 us).

    QX_BUILD=build/perf tools/dev python bench/bench_pool.py [--count N] [--json FILE]
"""

import argparse
import json
import timeit

from pyqivrexdb.pool import ConnectionPool


def best_us(fn, count, repeat=7):
    return min(timeit.repeat(fn, number=count, repeat=repeat)) / count * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--json")
    args = parser.parse_args()
    with ConnectionPool(":memory:", min_size=1, max_size=4) as pool:
        def block():
            with pool.connection():
                pass

        def pair():
            pool.putconn(pool.getconn())

        result = {"connection_block_us": round(best_us(block, args.count), 2),
                  "getconn_putconn_us": round(best_us(pair, args.count), 2)}
    text = json.dumps(result, indent=2)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
