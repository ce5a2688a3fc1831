"""One side of one case, timed once in a process of its own.

    python bench/compare/worker.py SIDE CASE DB N [COUNT]

SIDE is "qx" (pyqivrexdb's core face over its embedded engine), "std" (its
standard face, pyqivrexdb.dbapi), "sqlite3" (the standard library's module on
the same file) or "apsw". Reports (bench/timing.py) the wall and processor
time the case took and the peak resident memory while it ran. run.py starts one of
these per measurement and interleaves the sides.
"""
import datetime
import gc
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import timing  # noqa: E402

# The pragmas the embedded engine sets on a database file, set on the
# sqlite3 side as well so both read and write the file the same way.
PRAGMAS = ("pragma foreign_keys = on", "pragma journal_mode = wal", "pragma synchronous = normal",
           "pragma mmap_size = 268435456")

QUERY = "select id, name, amount, d, small, code from t"
CODES = ["Москва01", "Тверь002", "Казань03", "Омск0004", "Пермь005", "Самара06", "Рязань07",
         "Тула0008", "Курск009", "Орёл0010", "Чита0011", "Уфа00012", "Сочи0013", "Псков014",
         "Томск015", "Ухта0016"]
# builds.py --ascii (QX_BENCH_ASCII in the environment): the same codes in
# ASCII letters, so every text is ASCII.
ASCII_CODES = ["Moskva01", "Tver0002", "Kazan003", "Omsk0004", "Perm0005", "Samara06", "Ryazan07",
               "Tula0008", "Kursk009", "Orel0010", "Chita011", "Ufa00012", "Sochi013", "Pskov014",
               "Tomsk015", "Ukhta016"]
FIRST_DAY = datetime.date(2015, 1, 1).toordinal()
# The rowwise case: executemany of a statement that is not a plain INSERT,
# which the driver runs a row at a time.
ROWWISE = "insert or abort into t values (?, ?, ?, ?, ?, ?)"
# The cases of a second shape (suffix _u): table u, whose id is the rowid,
# point queries on a fresh connection in autocommit, and executemany into a
# new file.
U_SCHEMA = "create table u(id integer primary key, name varchar(24), amount double, qty integer)"
U_QUERY = "select id, name, amount, qty from u where id = ?"
U_INSERT = "insert or abort into u values (?, ?, ?, ?)"


def make_u_rows(n, first=0):
    return [(i, "customer-name-%010d" % i, i * 0.25 + 0.5, i % 1000) for i in range(first, n)]


def new_file(db):
    """The rowwise_u case's file, made by the side's own connect."""
    for suffix in ("", "-wal", "-shm", "-journal"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)


def make_rows(n):
    """The rows every table holds: row i is the same on both sides."""
    fromordinal = datetime.date.fromordinal
    codes = ASCII_CODES if os.environ.get("QX_BENCH_ASCII") else CODES
    return [[i, "NAME%08d" % i, i * 0.25 + 0.5, fromordinal(FIRST_DAY + i % 3000),
             i % 65000 - 32500, codes[i % len(codes)]] for i in range(n)]


# ---------------------------------------------------------------------------
# The sqlite3 side

def sqlite_connect(path, **kwargs):
    import sqlite3
    conn = sqlite3.connect(path, **kwargs)
    for p in PRAGMAS:
        conn.execute(p)
    return conn


def sqlite_case(case, db, n, count):
    import sqlite3
    if case.endswith("_u"):
        return sqlite_u_case(case, db, n, count)
    if case == "fetchall_dates":
        sqlite3.register_converter("DATE", lambda b: datetime.date.fromisoformat(b.decode()))
        conn = sqlite_connect(db, detect_types=sqlite3.PARSE_DECLTYPES)
    else:
        conn = sqlite_connect(db)

    if case in ("fetchall", "fetchall_dates"):
        def run():
            return conn.execute(QUERY).fetchall()
    elif case == "first":
        def run():
            return 1 if conn.execute(QUERY).fetchone() else 0
    elif case == "fetchmany":
        def run():
            cur = conn.execute(QUERY)
            taken = 0
            while True:
                rows = cur.fetchmany(1000)
                if not rows:
                    return taken
                taken += len(rows)
    elif case == "iterate":
        def run():
            taken = 0
            for _row in conn.execute(QUERY):
                taken += 1
            return taken
    elif case in ("bulk", "rowwise"):
        # What the module itself does for a date without a converter of its
        # own in 3.11, spelled out (its default adapters are deprecated).
        sqlite3.register_adapter(datetime.date, datetime.date.isoformat)
        rows = make_rows(n)
        sql = ROWWISE if case == "rowwise" else "insert into t values (?, ?, ?, ?, ?, ?)"

        def run():
            with conn:
                conn.executemany(sql, rows)
            return len(rows)
    elif case == "point":
        keys = point_keys(n, count)

        def run():
            q = "select id, name, amount, d, small, code from t where id = ?"
            for k in keys:
                conn.execute(q, (k,)).fetchone()
            return len(keys)
    else:
        raise SystemExit("unknown case " + case)
    return run


def sqlite_u_case(case, db, n, count):
    import sqlite3
    if case == "point_u":
        keys = point_keys(n, count)
        conn = sqlite_connect(db, isolation_level=None)

        def run():
            for k in keys:
                conn.execute(U_QUERY, (k,)).fetchone()
            return len(keys)
        return run
    new_file(db)
    conn = sqlite_connect(db)
    conn.execute(U_SCHEMA)
    conn.commit()
    rows = make_u_rows(n)

    def run():
        conn.executemany(U_INSERT, rows)
        conn.commit()
        return len(rows)
    return run


# ---------------------------------------------------------------------------
# The pyqivrexdb side

def qx_case(case, db, n, count):
    import pyqivrexdb
    if case.endswith("_u"):
        return qx_u_case(case, db, n, count)
    conn = pyqivrexdb.connect(db)

    if case in ("fetchall", "fetchall_dates"):
        def run():
            cur = conn.cursor()
            cur.execute(QUERY)
            return cur.fetchall()
    elif case == "first":
        def run():
            cur = conn.cursor()
            cur.execute(QUERY)
            return 1 if cur.fetchone() else 0
    elif case == "fetchmany":
        def run():
            cur = conn.cursor()
            cur.execute(QUERY)
            taken = 0
            while True:
                rows = cur.fetchmany(1000)
                if not rows:
                    return taken
                taken += len(rows)
    elif case == "iterate":
        def run():
            cur = conn.cursor()
            cur.execute(QUERY)
            taken = 0
            for _row in cur:
                taken += 1
            return taken
    elif case == "bulk":
        rows = make_rows(n)
        # Emptied through the driver, as a user's table is: a write before
        # the load puts the engine's write checks in place.
        conn.cursor().execute("delete from t")

        def run():
            conn.addrecords("t", rows)
            return len(rows)
    elif case == "rowwise":
        # the core face splices its parameters as they are: quoted here
        rows = [(r[0], "'%s'" % r[1], r[2], "'%s'" % r[3].isoformat(), r[4], "'%s'" % r[5]) for r in make_rows(n)]

        def run():
            cur = conn.cursor()
            q = ROWWISE.replace("?", "%s")
            conn.begin("rowwise", ["t"])
            for r in rows:
                cur.execute(q, r)
            conn.commit("rowwise")
            return len(rows)
    elif case == "point":
        keys = point_keys(n, count)

        def run():
            cur = conn.cursor()
            q = "select id, name, amount, d, small, code from t where id = %s"
            for k in keys:
                cur.execute(q, (k,))
                cur.fetchone()
            return len(keys)
    else:
        raise SystemExit("unknown case " + case)
    return run


def qx_u_case(case, db, n, count):
    import pyqivrexdb
    if case == "point_u":
        keys = point_keys(n, count)
        conn = pyqivrexdb.connect(db)

        def run():
            cur = conn.cursor()
            q = U_QUERY.replace("?", "%s")
            for k in keys:
                cur.execute(q, (k,))
                cur.fetchone()
            return len(keys)
        return run
    new_file(db)
    conn = pyqivrexdb.connect(db)
    conn.cursor().execute(U_SCHEMA)
    rows = [(i, "'%s'" % name, amount, qty) for i, name, amount, qty in make_u_rows(n)]

    def run():
        cur = conn.cursor()
        q = U_INSERT.replace("?", "%s")
        conn.begin("rowwise", ["u"])
        for r in rows:
            cur.execute(q, r)
        conn.commit("rowwise")
        return len(rows)
    return run


# ---------------------------------------------------------------------------
# The standard face of pyqivrexdb

def std_case(case, db, n, count):
    from pyqivrexdb import dbapi
    if case.endswith("_u"):
        return std_u_case(case, db, n, count)
    conn = dbapi.connect(db)

    if case in ("fetchall", "fetchall_dates"):
        def run():
            return conn.cursor().execute(QUERY).fetchall()
    elif case == "first":
        def run():
            return 1 if conn.cursor().execute(QUERY).fetchone() else 0
    elif case == "fetchmany":
        def run():
            cur = conn.cursor().execute(QUERY)
            taken = 0
            while True:
                rows = cur.fetchmany(1000)
                if not rows:
                    return taken
                taken += len(rows)
    elif case == "iterate":
        def run():
            taken = 0
            for _row in conn.cursor().execute(QUERY):
                taken += 1
            return taken
    elif case in ("bulk", "rowwise"):
        rows = [tuple(r) for r in make_rows(n)]
        sql = ROWWISE if case == "rowwise" else "insert into t values (?, ?, ?, ?, ?, ?)"
        conn.execute("delete from t")  # as the core's bulk case
        conn.commit()

        def run():
            conn.cursor().executemany(sql, rows)
            conn.commit()
            return len(rows)
    elif case == "point":
        keys = point_keys(n, count)

        def run():
            cur = conn.cursor()
            q = "select id, name, amount, d, small, code from t where id = ?"
            for k in keys:
                cur.execute(q, (k,))
                cur.fetchone()
            return len(keys)
    else:
        raise SystemExit("unknown case " + case)
    return run


def std_u_case(case, db, n, count):
    from pyqivrexdb import dbapi
    if case == "point_u":
        keys = point_keys(n, count)
        conn = dbapi.connect(db, autocommit=True)

        def run():
            cur = conn.cursor()
            for k in keys:
                cur.execute(U_QUERY, (k,))
                cur.fetchone()
            return len(keys)
        return run
    new_file(db)
    conn = dbapi.connect(db)
    conn.execute(U_SCHEMA)
    conn.commit()
    rows = make_u_rows(n)

    def run():
        conn.cursor().executemany(U_INSERT, rows)
        conn.commit()
        return len(rows)
    return run


# ---------------------------------------------------------------------------
# apsw, another SQLite driver, on the same file

def apsw_case(case, db, n, count):
    import apsw
    if case == "rowwise_u":
        new_file(db)
    conn = apsw.Connection(db)
    for p in PRAGMAS:
        conn.execute(p).fetchall()
    if case == "point_u":
        keys = point_keys(n, count)

        def run():
            for k in keys:
                conn.execute(U_QUERY, (k,)).fetchone()
            return len(keys)
        return run
    if case == "rowwise_u":
        conn.execute(U_SCHEMA)
        rows = make_u_rows(n)

        def run():
            with conn:
                conn.executemany(U_INSERT, rows)
            return len(rows)
        return run
    if case == "fetchall_dates":
        fromiso = datetime.date.fromisoformat

        def run():
            return [(a, b, c, fromiso(d), e, f) for a, b, c, d, e, f in conn.execute(QUERY)]
    elif case == "fetchall":
        def run():
            return conn.execute(QUERY).fetchall()
    elif case == "first":
        def run():
            return 1 if next(iter(conn.execute(QUERY)), None) else 0
    elif case == "fetchmany":
        def run():
            cur = conn.execute(QUERY)
            taken = 0
            while True:
                # apsw has no fetchmany: the same loop over its iterator
                rows = [row for _, row in zip(range(1000), cur)]
                if not rows:
                    return taken
                taken += len(rows)
    elif case == "iterate":
        def run():
            taken = 0
            for _row in conn.execute(QUERY):
                taken += 1
            return taken
    elif case in ("bulk", "rowwise"):
        rows = [(r[0], r[1], r[2], r[3].isoformat(), r[4], r[5]) for r in make_rows(n)]
        sql = ROWWISE if case == "rowwise" else "insert into t values (?, ?, ?, ?, ?, ?)"

        def run():
            with conn:
                conn.executemany(sql, rows)
            return len(rows)
    elif case == "point":
        keys = point_keys(n, count)

        def run():
            q = "select id, name, amount, d, small, code from t where id = ?"
            for k in keys:
                conn.execute(q, (k,)).fetchone()
            return len(keys)
    else:
        raise SystemExit("unknown case " + case)
    return run


SIDES = {"qx": qx_case, "std": std_case, "sqlite3": sqlite_case, "apsw": apsw_case}


def settle():
    """Lets automatic collection do what the next allocations of the program
    would make it do: a fetch that paused it leaves its young objects to the
    next collection, whose time belongs to the fetch."""
    keep = [[] for _ in range(gc.get_threshold()[0] + 1)]
    del keep


def point_keys(n, count):
    rnd = random.Random(7)
    return [rnd.randrange(n) for _ in range(count)]


def main(argv):
    side, case, db, n = argv[1], argv[2], argv[3], int(argv[4])
    count = int(argv[5]) if len(argv) > 5 else 0
    if side == "heapctrl":
        # pyqivrexdb with another HEAPCTRL: argv[6], set as the README says
        import pyqivrexdb
        pyqivrexdb.HEAPCTRL = int(argv[6])
        side = "qx"
    run = SIDES[side](case, db, n, count)

    def case_and_settle():
        result = run()
        settle()
        return result
    result, sample = timing.measure(case_and_settle)
    size = len(result) if isinstance(result, list) else result
    expected = count if case.startswith("point") else 1 if case == "first" else n
    if size != expected:
        raise SystemExit("%s %s: %d rows, expected %d" % (side, case, size, expected))
    if case in ("fetchall", "fetchall_dates") and n:
        check_row(case, side, result[n // 2], n // 2)
    timing.report(sample)
    # Skip tearing down millions of objects: the measurement is taken.
    os._exit(0)


def check_row(case, side, row, i):
    """The rows read are the rows written (a benchmark of wrong data proves nothing)."""
    want = make_rows(i + 1)[i]
    if side in ("sqlite3", "apsw") and case == "fetchall":
        want[3] = want[3].isoformat()
    got = list(row)
    if got != want:
        raise SystemExit("%s %s: row %d is %r, expected %r" % (side, case, i, got, want))


if __name__ == "__main__":
    main(sys.argv)
