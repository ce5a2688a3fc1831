"""The engine keeps what it reported written, and only that: a bulk load
killed mid-way, two processes writing one file, and batches the engine
refuses. Every database is checked afterwards by Python's own sqlite3."""
import contextlib
import json
import os
import signal
import sqlite3
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import pyqivrexdb
from durability_rows import RECORD, TABLE, row
from qxisolated import SAFE_PATH

# The staged library is loaded by path before the driver looks for it.
pytestmark = pytest.mark.usefixtures("eng")

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(pyqivrexdb.__file__)))
HERE = os.path.dirname(os.path.abspath(__file__))


def stored(row_):
    """A row as SQLite keeps it."""
    i, name, day, amount, check = row_
    return (i, name, day.isoformat(), amount, check)


# The staged library loaded by path first, as in this suite's own process
# (a preloaded sanitizer runtime hides the module's own search path).
PRELOAD = textwrap.dedent('''
    import ctypes, os, pyqivrexdb
    ctypes.CDLL(os.path.join(os.path.dirname(pyqivrexdb.__file__), "libqscli.so"))
''')


def child(code, *args):
    """A Python process running `code` (with the rows' helpers) on the package
    under test; its standard output is a pipe of lines."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, HERE]))
    code = PRELOAD + "from durability_rows import RECORD, TABLE, row\n" + textwrap.dedent(code)
    return subprocess.Popen([sys.executable, *SAFE_PATH, "-c", code, *map(str, args)],
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def by_sqlite3(code, path):
    """Runs `code` on `db`, Python's sqlite3 on the file, in a process of its
    own, and returns what it leaves in `out`. The engine's SQLite is a copy of
    its own: two copies in one process drop each other's POSIX locks when
    either closes the file (SQLite's documented hazard), so Python's sqlite3
    never opens a file an engine connection of this process holds."""
    script = textwrap.dedent("""
        import json, sqlite3, sys
        db = sqlite3.connect(sys.argv[1], timeout=0, isolation_level=None)
        def table_sql(db):
            return db.execute("select sql from sqlite_schema where name = 't'").fetchone()[0]
    """) + textwrap.dedent(code) + "\ndb.close()\nprint(json.dumps(out))\n"
    done = subprocess.run([sys.executable, *SAFE_PATH, "-c", script, path], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def check_file(path):
    """integrity_check by Python's sqlite3; returns the rows of t by id."""
    return [tuple(r) for r in by_sqlite3("""
        assert db.execute("pragma integrity_check").fetchall() == [("ok",)]
        cols = "id, name, day, amount, check_" if "check_" in table_sql(db) else "id"
        out = db.execute("select %s from t order by id" % cols).fetchall()
    """, path)]


def ids(path):
    """integrity_check by Python's sqlite3; returns the ids in t."""
    return [r[0] for r in check_file(path)]


# ---- a bulk load killed mid-way ----

# Loads `total` rows from id `start` on in batches of `per`: in one
# addrecords call ("batches"), or in named transactions of three batches
# each ("transactions"). Prints the rows loaded after each batch (or
# transaction) the engine accepted.
LOADER = '''
    import sys
    import pyqivrexdb
    from pyqivrexdb import qxcore
    path, unit, (start, total, per) = sys.argv[1], sys.argv[2], map(int, sys.argv[3:])
    conn = pyqivrexdb.connect(path)
    conn.execute(TABLE.replace("create table", "create table if not exists"))
    qxcore.HEAPCTRL = per * RECORD

    class Rows:
        def __init__(self, first, n):
            self.first, self.n = first, n

        def __len__(self):
            return self.n

        def __iter__(self):
            for k in range(self.n):
                if k and k % per == 0 and unit == "batches":
                    print(self.first + k, flush=True)  # the batch before row k came back accepted
                yield row(self.first + k)

    if unit == "batches":
        conn.addrecords("t", Rows(start, total))
    else:
        for first in range(start, start + total, 3 * per):
            conn.begin("LOAD", ["t"])
            conn.addrecords("t", Rows(first, 3 * per))
            conn.commit("LOAD")
            print(first + 3 * per, flush=True)
    print("done", flush=True)
'''


@pytest.mark.parametrize("unit", ["batches", "transactions"])
def test_killed_bulk_load_leaves_whole_batches(tmp_path, unit):
    path = str(tmp_path / "load.db")
    per, loaded = 1000, 0
    whole = per if unit == "batches" else 3 * per
    # Killed after a few batches, at points spread over the next one; the
    # next round loads on from what the file holds.
    for round_, (after, delay) in enumerate([(2, 0), (3, 0.002), (1, 0.005), (4, 0.001), (2, 0.008)]):
        p = child(LOADER, path, unit, loaded, per * 30, per)
        reported = loaded
        for _ in range(after):
            line = p.stdout.readline()
            assert line.strip().isdigit(), (line, p.stderr.read())
            reported = int(line)
        if delay:
            time.sleep(delay * whole / per)
        p.send_signal(signal.SIGKILL)
        p.communicate()
        assert p.returncode == -signal.SIGKILL
        rows = check_file(path)
        n = len(rows)
        assert n % whole == 0, (round_, n)
        assert n >= reported  # every batch reported accepted is there
        assert rows == [stored(row(i)) for i in range(n)]
        loaded = n


# ---- batches the engine refuses ----

def unlocked(path):
    """True when nobody holds the file's write lock (no transaction left open)."""
    return by_sqlite3("""
        try:
            db.execute("begin immediate")
            db.execute("rollback")
            out = True
        except sqlite3.OperationalError:
            out = False
    """, path)


# How the third batch of five is spoilt, and the code the load fails with.
SPOILERS = {
    "duplicate key": (lambda r: r.__setitem__(0, 2), -19),          # id 2 is in the first batch
    "check constraint": (lambda r: r.__setitem__(4, -1), -19),
    "foreign key": (lambda r: r.__setitem__(5, 999), -19),
}


@pytest.mark.parametrize("named", [False, True], ids=["alone", "in a named transaction"])
@pytest.mark.parametrize("how", list(SPOILERS))
def test_refused_batch_leaves_nothing(tmp_path, how, named):
    from pyqivrexdb import qxcore
    path = str(tmp_path / "refused.db")
    spoil, code = SPOILERS[how]
    conn = pyqivrexdb.connect(path)
    saved = qxcore.HEAPCTRL
    try:
        conn.execute("create table p(id integer primary key)")
        conn.execute("insert into p values (1)")
        conn.execute(TABLE.replace("check_ integer)", "check_ integer check (check_ >= 0), "
                                                      "parent integer references p(id))"))
        # What the rows set off goes with them.
        conn.execute("create table log(id integer)")
        conn.execute("create trigger logged after insert on t begin insert into log values (new.id); end")
        if named:
            conn.begin("W", ["t"])
            conn.execute("insert into t values (-1, 'before', null, 0, 0, 1)")
        rows = [row(i) + [1] for i in range(20)]
        spoil(rows[12])  # the middle of the third batch
        qxcore.HEAPCTRL = 5 * (RECORD + 4)
        with pytest.raises(pyqivrexdb.Error) as e:
            conn.addrecords("t", rows)
        assert e.value.error_code_qivrex == code
        assert e.value.rows_sent == 10
        conn.addrecords("t", rows[15:])  # the connection goes on loading
        if named:
            conn.commit("W")
        conn.close()
        conn = None
        assert unlocked(path)
        kept = [-1] * named + list(range(10)) + list(range(15, 20))
        assert ids(path) == kept
        with contextlib.closing(sqlite3.connect(path)) as db:
            assert [r[0] for r in db.execute("select id from log order by id")] == kept
    finally:
        qxcore.HEAPCTRL = saved
        if conn is not None:
            conn.close()


def test_batch_refused_at_its_commit_ends_its_transaction(tmp_path):
    # A deferred foreign key is checked when the batch's own transaction
    # commits: refused there, the batch must not stay pending, holding the
    # write lock, with the next batches piling up uncommitted behind it.
    path = str(tmp_path / "deferred.db")
    with pyqivrexdb.connect(path) as conn:
        conn.execute("create table p(id integer primary key)")
        conn.execute("insert into p values (1)")
        conn.execute("create table t(id integer primary key, parent integer "
                     "references p(id) deferrable initially deferred)")
        with pytest.raises(pyqivrexdb.Error) as e:
            conn.addrecords("t", [[1, 1], [2, 5], [3, 1]])
        assert e.value.error_code_qivrex == -19
        assert unlocked(path)
        conn.addrecords("t", [[4, 1], [5, 1]])
        assert ids(path) == [4, 5]
        # Inside a named transaction the check waits for its commit.
        conn.begin("W", ["t"])
        conn.addrecords("t", [[6, 7]])
        with pytest.raises(pyqivrexdb.Error) as e:
            conn.commit("W")
        assert e.value.error_code_qivrex == -19
        conn.rollback("W")
        assert unlocked(path)
    assert ids(path) == [4, 5]


# Records straight to qcSqlAddRecords, as another client would send them.
RAW = struct.Struct("<i24sHdi")


def raw_records(eng, ids_, change=None):
    out = b""
    for i in ids_:
        _, name, day, amount, check = row(i)
        packed = eng.qcSqlPackDate(day.day, day.month, day.year)
        fields = dict(id=i, name=name.encode("cp866"), day=packed, amount=amount, check=check)
        fields.update((change or {}).get(i, {}))
        out += RAW.pack(*fields.values())
    return out


# (records sent, record length claimed, count claimed, code)
RAW_REFUSALS = {
    "record one byte short": (lambda e: raw_records(e, range(100, 104)), RAW.size - 1, 4, -94),
    "record one byte long": (lambda e: raw_records(e, range(100, 104)), RAW.size + 1, 4, -94),
    "no record length": (lambda e: raw_records(e, range(100, 104)), 0, 4, -94),
    "date past 2078 in the middle": (lambda e: raw_records(e, range(100, 104), {102: dict(day=65380)}),
                                     RAW.size, 4, -20),
    "duplicate key in the last record": (lambda e: raw_records(e, [100, 101, 102, 100]), RAW.size, 4, -19),
    "negative count": (lambda e: raw_records(e, range(100, 104)), RAW.size, -1, -95),
    "no records": (lambda e: None, RAW.size, 4, -95),
}


@pytest.mark.parametrize("named", [False, True], ids=["alone", "in a named transaction"])
@pytest.mark.parametrize("how", list(RAW_REFUSALS))
def test_refused_raw_records_leave_nothing(eng, tmp_path, how, named):
    make, size, count, code = RAW_REFUSALS[how]
    path = str(tmp_path / "raw.db")
    hdb = eng.open(path.encode())
    hs = eng.stmt(hdb)
    try:
        assert eng.exec(hs, TABLE) == 0
        if named:
            assert eng.exec(hs, "begin work W table t;") == 0
        assert eng.qcSqlAddRecords(hdb, b"t", 3, RAW.size, raw_records(eng, range(3))) == 0
        data = make(eng)
        assert eng.qcSqlAddRecords(hdb, b"t", count, size, data) == code
        assert eng.qcSqlAddRecords(hdb, b"t", 2, RAW.size, raw_records(eng, [3, 4])) == 0
        if named:
            assert eng.exec(hs, "commit work W;") == 0
        assert unlocked(path)
        assert check_file(path) == [stored(row(i)) for i in range(5)]
    finally:
        eng.close(hdb)


# ---- two processes writing one file ----

# Writes rows from id `base` on in `rounds` operations of four kinds, after a
# line on its standard input. Prints what it was told of each operation: "ok"
# rows written, "err CODE" rows refused, "gone" rows rolled back.
WRITER = '''
    import sys
    import time
    import pyqivrexdb
    from pyqivrexdb import qxcore
    path, base, rounds = sys.argv[1], *map(int, sys.argv[2:])
    conn = pyqivrexdb.connect(path)
    qxcore.HEAPCTRL = 50 * RECORD
    print("ready", flush=True)
    sys.stdin.readline()
    following = base

    def take(n):
        global following
        following += n
        return list(range(following - n, following))

    def report(state, ids):
        print(state, *ids, flush=True)

    def insert(i):
        k, name, day, amount, check = row(i)
        conn.execute("insert into t values (%d, '%s', '%s', %r, %d)" % (k, name, day, amount, check))

    for k in range(rounds):
        try:
            kind = k % 4
            if kind == 0:  # a statement
                ids = take(1)
                insert(ids[0])
                report("ok", ids)
            elif kind == 1:  # a bulk load of several batches
                ids = take(230)
                try:
                    conn.addrecords("t", [row(i) for i in ids])
                except pyqivrexdb.Error as e:
                    report("ok", ids[:e.rows_sent])
                    ids = ids[e.rows_sent:]
                    raise
                report("ok", ids)
            else:  # a named transaction: committed, or with a part rolled back
                ids = take(1)
                conn.begin("W", ["t"])
                try:
                    insert(ids[0])
                    inner = take(120)
                    ids += inner
                    if kind == 3:
                        conn.begin("INNER", ["t"])
                    conn.addrecords("t", [row(i) for i in inner])
                    if kind == 3:
                        conn.rollback("INNER")
                        report("gone", inner)
                        ids = ids[:1]
                    last = take(1)
                    ids += last
                    insert(last[0])
                    conn.commit("W")
                except BaseException:
                    conn.rollback("W")
                    raise
                report("ok", ids)
        except pyqivrexdb.Error as e:
            report("err%d" % e.error_code_qivrex, ids)
    print("done", flush=True)
'''


def outcomes(process):
    """{state: ids} from a writer's report."""
    out, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    lines = out.split("\n")  # after "ready"
    assert lines[-2:] == ["done", ""], (out[-2000:], err)
    found = {}
    for line in lines[:-2]:
        state, *ids = line.split()
        found.setdefault(state, set()).update(map(int, ids))
    return found


def test_two_writers_at_once_lose_and_corrupt_nothing(tmp_path):
    path = str(tmp_path / "shared.db")
    with pyqivrexdb.connect(path) as conn:
        conn.execute(TABLE)
    writers = [child(WRITER, path, base, 40) for base in (0, 1_000_000)]
    for p in writers:
        assert p.stdout.readline() == "ready\n"
    for p in writers:
        p.stdin.write("go\n")
        p.stdin.flush()
    told = [outcomes(p) for p in writers]
    rows = check_file(path)
    have = {r[0] for r in rows}
    written = set().union(*(t.get("ok", ()) for t in told))
    refused = set().union(*(ids for t in told for state, ids in t.items() if state != "ok"))
    assert have == written
    assert not have & refused
    assert rows == [stored(row(i)) for i in sorted(written)]
    # Both got everything through: waiting for the other's lock is no error.
    assert [sorted(t) for t in told] == [["gone", "ok"]] * 2


# One operation on rows from id `base` on, begun after a line on standard
# input; when refused, tried once more after another line. The load pauses
# for a line after its second batch.
ONE_WRITE = '''
    import sys
    import time
    import pyqivrexdb
    from pyqivrexdb import qxcore
    path, kind, base = sys.argv[1], sys.argv[2], int(sys.argv[3])
    conn = pyqivrexdb.connect(path)
    qxcore.HEAPCTRL = 100 * RECORD
    print("ready", flush=True)

    class Rows:
        def __init__(self, ids, pause):
            self.ids, self.pause = ids, pause

        def __len__(self):
            return len(self.ids)

        def __iter__(self):
            for k, i in enumerate(self.ids):
                if k == 200 and self.pause:
                    print("paused", flush=True)
                    sys.stdin.readline()
                yield row(i)

    def write(ids, pause=False):
        if kind == "load":
            conn.addrecords("t", Rows(ids, pause))
            return
        if kind == "transaction":
            conn.begin("W", ["t"])
        k, name, day, amount, check = row(ids[0])
        conn.execute("insert into t values (%d, '%s', '%s', %r, %d)" % (k, name, day, amount, check))
        if kind == "transaction":
            conn.commit("W")

    ids = list(range(base, base + (1000 if kind == "load" else 1)))
    sys.stdin.readline()
    began = time.monotonic()
    try:
        write(ids, pause=True)
        print("ok", flush=True)
    except pyqivrexdb.Error as e:
        sent = getattr(e, "rows_sent", 0)
        print("refused", e.error_code_qivrex, sent, time.monotonic() - began, flush=True)
        sys.stdin.readline()
        write(ids[sent:])
        print("ok", flush=True)
'''


def test_lock_held_past_the_wait_refuses_clearly(tmp_path):
    # The other side holds a named transaction longer than the engine waits
    # for a lock: each write is refused with -5 after the wait, keeps nothing,
    # and goes through when tried again.
    path = str(tmp_path / "held.db")
    with pyqivrexdb.connect(path) as conn:
        conn.execute(TABLE)
        writers = {kind: child(ONE_WRITE, path, kind, base)
                   for kind, base in [("load", 0), ("insert", 5000), ("transaction", 6000)]}
        for p in writers.values():
            assert p.stdout.readline() == "ready\n"

        def tell(*kinds):
            for kind in kinds:
                writers[kind].stdin.write("go\n")
                writers[kind].stdin.flush()

        tell("load")
        assert writers["load"].stdout.readline() == "paused\n"  # two batches in
        conn.begin("HOLD", ["t"])
        conn.execute("insert into t values (-1, 'held', null, 0, 0)")
        tell(*writers)  # the load goes on, the others begin
        for kind, p in writers.items():
            state, code, sent, waited = p.stdout.readline().split()
            assert (state, int(code), int(sent)) == ("refused", -5, 200 if kind == "load" else 0)
            assert float(waited) > 4
        conn.commit("HOLD")
        assert ids(path) == [-1] + list(range(200))
        tell(*writers)
        for p in writers.values():
            out, err = p.communicate(timeout=30)
            assert out == "ok\n", err
    assert ids(path) == [-1] + list(range(1000)) + [5000, 6000]


# ---- a named transaction that an error rolled back ----

@pytest.mark.parametrize("failing", ["batch", "statement"])
@pytest.mark.parametrize("end", ["rollback", "commit"])
def test_transaction_rolled_back_by_an_error_refuses_until_ended(tmp_path, failing, end):
    # ON CONFLICT ROLLBACK makes SQLite roll back the whole transaction. What
    # the caller sends next must not be committed on its own, outside the
    # transaction it believes open: it is refused until the names are ended.
    path = str(tmp_path / "lost.db")
    with pyqivrexdb.connect(path) as conn:
        conn.execute("create table t(id integer primary key on conflict rollback, v integer)")
        conn.execute("insert into t values (1, 0)")
        conn.begin("OUTER", ["t"])
        conn.execute("insert into t values (2, 0)")
        conn.begin("INNER", ["t"])
        with pytest.raises(pyqivrexdb.Error) as e:
            if failing == "batch":
                conn.addrecords("t", [[3, 0], [1, 0]])
            else:
                conn.execute("insert into t values (1, 0)")
        assert e.value.error_code_qivrex == -19
        told = []
        conn.send_callback(told.append)
        cur = conn.cursor(err_to_user=True)
        for attempt in [lambda: conn.execute("insert into t values (4, 0)"),
                        lambda: conn.addrecords("t", [[5, 0]], cur),
                        lambda: cur.execute("select count(*) from t"),
                        lambda: conn.begin("OTHER", ["t"])]:
            with pytest.raises(pyqivrexdb.Error) as e:
                attempt()
            assert e.value.error_code_qivrex == -4
        assert told[0].startswith("error -4: transaction OUTER was rolled back (error -19: ")
        assert told[0].endswith("); rollback work OUTER ends it")
        conn.rollback("INNER")  # OUTER is still to be ended
        with pytest.raises(pyqivrexdb.Error) as e:
            conn.execute("insert into t values (6, 0)")
        assert e.value.error_code_qivrex == -4
        if end == "commit":
            with pytest.raises(pyqivrexdb.Error) as e:
                conn.commit("OUTER")
            assert e.value.error_code_qivrex == -4  # nothing of it was kept
        else:
            conn.rollback("OUTER")
        conn.execute("insert into t values (7, 0)")  # the connection is itself again
        with pytest.raises(pyqivrexdb.Error) as e:
            conn.commit("OUTER")
        assert e.value.error_code_qivrex == -64
    assert ids(path) == [1, 7]


# Holds a named transaction with a row in it, or waits for the lock.
HOLDER = '''
    import sys
    import time
    import pyqivrexdb
    path, kind = sys.argv[1], sys.argv[2]
    conn = pyqivrexdb.connect(path)
    if kind == "holder":
        conn.begin("HOLD", ["t"])
        conn.execute("insert into t values (1, 'held', null, 0, 0)")
        print("holding", flush=True)
        time.sleep(60)
    else:
        print("waiting", flush=True)
        began = time.monotonic()
        conn.addrecords("t", [row(2)])
        print("ok", time.monotonic() - began, flush=True)
'''


def test_writer_killed_holding_the_lock_lets_the_other_on(tmp_path):
    path = str(tmp_path / "killed.db")
    with pyqivrexdb.connect(path) as conn:
        conn.execute(TABLE)
    holder = child(HOLDER, path, "holder")
    assert holder.stdout.readline() == "holding\n"
    waiter = child(HOLDER, path, "waiter")
    assert waiter.stdout.readline() == "waiting\n"
    time.sleep(0.3)
    holder.send_signal(signal.SIGKILL)
    holder.communicate()
    out, err = waiter.communicate(timeout=30)
    state, waited = out.split()
    assert state == "ok" and float(waited) < 4, err  # on once the lock died with its holder
    assert ids(path) == [2]
