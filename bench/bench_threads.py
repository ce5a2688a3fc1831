"""Threads on the embedded engine, each figure a ratio measured in this run:

* ticks: a thread that wakes every 10 ms, during a query of about 3 s on the
  main thread, against the ticks it gets idle for as long (sqlite3 module
  alongside, the same query);
* parallel: two queries on two connections in two threads, against one
  (the sqlite3 module alongside);
* stall: the longest a thread that wakes every 10 ms waits beyond its
  10 ms during a 1M-row fetchall() on the standard face (sqlite3 alongside);
* latency: from conn.interrupt() on another thread, and from SIGINT, to the
  query's exception on the main thread (median of several).

    QX_BUILD=build/perf tools/dev python bench/bench_threads.py [--rows N] [--json FILE]
"""

import argparse
import json
import os
import signal
import statistics
import sys
import tempfile
import threading
import time

import pyqivrexdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import timing  # noqa: E402

COUNT = "with recursive c(x) as (select 1 union all select x + 1 from c where x < {n}) " \
        "select count(*) from c"


class Ticker:
    def __init__(self):
        self.ticks, self.longest, self._stop = 0, 0.0, threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        last = time.perf_counter()
        while not self._stop.wait(0.01):
            now = time.perf_counter()
            self.longest = max(self.longest, now - last - 0.01)
            self.ticks, last = self.ticks + 1, now

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.ticks


def ticks_during(fn):
    ticker = Ticker()
    start = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - start
    return ticker.stop(), elapsed


def ticks_idle(seconds):
    ticker = Ticker()
    time.sleep(seconds)
    return ticker.stop()


def our_query(conn, n):
    cur = conn.cursor()
    cur.execute(COUNT.format(n=n))
    assert cur.fetchall() == [[n]]
    cur.close()


def figure_ticks(path, n):
    conn = pyqivrexdb.connect(path)
    ours, elapsed = ticks_during(lambda: our_query(conn, n))
    idle = ticks_idle(elapsed)
    import sqlite3
    lite = sqlite3.connect(path)
    theirs, elapsed_lite = ticks_during(lambda: lite.execute(COUNT.format(n=n)).fetchall())
    idle_lite = ticks_idle(elapsed_lite)
    conn.close()
    lite.close()
    return {"query_s": round(elapsed, 2), "ticks": ours, "idle": idle,
            "ratio": round(ours / idle, 3),
            "sqlite3_query_s": round(elapsed_lite, 2), "sqlite3_ticks": theirs,
            "sqlite3_idle": idle_lite, "sqlite3_ratio": round(theirs / idle_lite, 3)}


def longest_stall(fetch, reps):
    """The longest wait beyond its 10 ms a ticker saw during fetch(), in ms
    (median of reps); the rows are freed after the ticker stops."""
    stalls = []
    for _ in range(reps):
        ticker = Ticker()
        time.sleep(0.05)
        rows = fetch()
        time.sleep(0.05)
        ticker.stop()
        stalls.append(ticker.longest * 1000)
        del rows  # freeing them is the caller's stall, not the fetch's
    return round(statistics.median(stalls), 1), [round(x, 1) for x in sorted(stalls)]


def figure_stall(path, n, reps):
    from pyqivrexdb import dbapi
    import sqlite3
    with dbapi.connect(path) as conn:
        conn.execute("create table rows(id integer, name varchar(20), price double precision)")
        conn.cursor().executemany("insert into rows values (?, ?, ?)",
                                  [(i, "name %d" % i, i * 0.5) for i in range(n)])
        conn.commit()
        ours = longest_stall(lambda: conn.execute("select * from rows").fetchall(), reps)
    lite = sqlite3.connect(path)
    theirs = longest_stall(lambda: lite.execute("select * from rows").fetchall(), reps)
    lite.close()
    return {"rows": n, "stall_ms_median": ours[0], "stall_ms": ours[1],
            "sqlite3_stall_ms_median": theirs[0], "sqlite3_stall_ms": theirs[1]}


def one_and_two(queries):
    """Seconds for the first query alone, then for two at once in two threads."""
    start = time.perf_counter()
    queries[0]()
    one = time.perf_counter() - start
    threads = [threading.Thread(target=q) for q in queries]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return one, time.perf_counter() - start


def parallel_ratios(side, path, n, reps):
    """The ratios of two queries at once to one, on one side."""
    if side == "ours":
        conns = [pyqivrexdb.connect(path) for _ in range(2)]
        queries = [lambda c=c: our_query(c, n) for c in conns]
    else:
        import sqlite3
        conns = [sqlite3.connect(path, check_same_thread=False) for _ in range(2)]
        queries = [lambda c=c: c.execute(COUNT.format(n=n)).fetchall() for c in conns]
    ratios = []
    for _ in range(reps):
        one, two = one_and_two(queries)
        ratios.append(two / one)
    for c in conns:
        c.close()
    return ratios


def figure_parallel(path, n, reps):
    """The median ratio of two queries at once to one, ours and the sqlite3
    module's taking turns, each side in a process of its own (as a program
    using one of them has it: the first to set SQLite up in a process
    chooses how it allocates). On a machine busy elsewhere neither can reach
    1.0, so the sqlite3 module's ratio says what the cores allowed."""
    rounds = timing.interleave(["ours", "sqlite3"], reps, lambda side: timing.fresh(
        timing.python(__file__, "--parallel-side", side, path, n)).extra["ratios"])
    ratios = {side: [r for got in rounds[side] for r in got] for side in rounds}
    return {"ratio": round(statistics.median(ratios["ours"]), 3),
            "sqlite3_ratio": round(statistics.median(ratios["sqlite3"]), 3),
            "load_average": round(os.getloadavg()[0], 2)}


def interrupted(conn, n, stopper):
    """Seconds from stopper() to the query's failure on this thread."""
    cur = conn.cursor()
    when = []
    timer = threading.Timer(0.2, lambda: (when.append(time.perf_counter()), stopper()))
    timer.start()
    try:
        cur.execute(COUNT.format(n=n))
    except (pyqivrexdb.ProgrammingError, KeyboardInterrupt):
        pass
    else:
        raise AssertionError("the query was not stopped")
    done = time.perf_counter()
    timer.join()
    cur.close()
    return done - when[0]


def figure_latency(path, n, reps):
    conn = pyqivrexdb.connect(path)
    by_interrupt = [interrupted(conn, n, conn.interrupt) for _ in range(reps)]
    pid = os.getpid()
    by_sigint = [interrupted(conn, n, lambda: os.kill(pid, signal.SIGINT)) for _ in range(reps)]
    conn.close()
    ms = lambda xs: [round(x * 1000, 1) for x in sorted(xs)]  # noqa: E731
    return {"interrupt_ms_median": round(statistics.median(by_interrupt) * 1000, 1),
            "interrupt_ms": ms(by_interrupt),
            "sigint_ms_median": round(statistics.median(by_sigint) * 1000, 1),
            "sigint_ms": ms(by_sigint)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=3_000_000,
                        help="rows the query counts (about 3 s on this machine)")
    parser.add_argument("--fetch-rows", type=int, default=1_000_000, help="rows of the stall's fetchall")
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--only", choices=["stall"], help="measure this figure alone")
    parser.add_argument("--json")
    parser.add_argument("--parallel-side", nargs=3, metavar=("SIDE", "PATH", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.parallel_side:
        side, path, n = args.parallel_side
        ratios, sample = timing.measure(lambda: parallel_ratios(side, path, int(n), 3))
        timing.report(sample, ratios=ratios)
        return
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "t.db")
        pyqivrexdb.connect(path).close()
        result = {"stall": figure_stall(path, args.fetch_rows, args.reps)}
        if args.only != "stall":
            result.update(ticks=figure_ticks(path, args.rows),
                          parallel=figure_parallel(path, args.rows // 3, 5),
                          latency=figure_latency(path, args.rows * 10, args.reps))
    print(json.dumps(result, indent=2))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(result, out, indent=2)


if __name__ == "__main__":
    main()
