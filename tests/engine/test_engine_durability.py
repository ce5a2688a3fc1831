"""The engine keeps what it reported written, and only that: a bulk load
killed mid-way, two processes writing one file, and batches the engine
refuses. Every database is checked afterwards by Python's own sqlite3."""
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

# Rows of the table `t` below, shared with the child processes: each row is a
# function of its id, so a torn or shifted record shows.
ROWS = textwrap.dedent('''
    import datetime
    TABLE = ("create table t(id integer primary key, name varchar(24), day date, "
             "amount double, check_ integer)")
    RECORD = 4 + 24 + 2 + 8 + 4

    def row(i):
        return [i, "Строка %08d" % i, datetime.date(1990, 1, 1) + datetime.timedelta(days=i % 30000),
                i * 0.5, (i * 2654435761) % 2147483647]
''')
exec(ROWS)

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(pyqivrexdb.__file__)))


def stored(row_):
    """A row as SQLite keeps it."""
    i, name, day, amount, check = row_
    return (i, name, day.isoformat(), amount, check)


def child(code, *args):
    """A Python process running `code` (with the rows' helpers) on the package
    under test; its standard output is a pipe of lines."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.Popen([sys.executable, "-P", "-c", ROWS + textwrap.dedent(code), *map(str, args)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def check_file(path):
    """integrity_check by Python's sqlite3; returns the rows of t by id."""
    db = sqlite3.connect(path)
    try:
        assert db.execute("pragma integrity_check").fetchall() == [("ok",)]
        cols = "id, name, day, amount, check_" if "check_" in table_sql(db) else "id"
        return db.execute("select %s from t order by id" % cols).fetchall()
    finally:
        db.close()


def table_sql(db):
    return db.execute("select sql from sqlite_schema where name = 't'").fetchone()[0]


def ids(path):
    """integrity_check by Python's sqlite3; returns the ids in t."""
    return [r[0] for r in check_file(path)]


# ---- a bulk load killed mid-way ----

# Loads rows start.. in one addrecords call of many batches; prints the
# number of rows loaded after each batch the engine accepted.
LOADER = '''
    import sys
    import pyqivrexdb
    from pyqivrexdb import qxcore
    path, start, total, per = sys.argv[1], *map(int, sys.argv[2:])
    conn = pyqivrexdb.connect(path)
    conn.execute(TABLE.replace("create table", "create table if not exists"))
    qxcore.HEAPCTRL = per * RECORD

    class Rows:
        def __len__(self):
            return total

        def __iter__(self):
            for k in range(total):
                if k and k % per == 0:
                    print(start + k, flush=True)  # the batch before row k came back accepted
                yield row(start + k)

    conn.addrecords("t", Rows())
    print(start + total, flush=True)
    print("done", flush=True)
'''


def test_killed_bulk_load_leaves_whole_batches(tmp_path):
    path = str(tmp_path / "load.db")
    per, loaded = 1500, 0
    # Killed after a few batches, at points spread over the next batch; the
    # next round loads on from what the file holds.
    for round_, (after, delay) in enumerate([(2, 0), (3, 0.002), (1, 0.005), (4, 0.001), (2, 0.008), (3, 0.004)]):
        p = child(LOADER, path, loaded, per * 40, per)
        reported = loaded
        for _ in range(after):
            line = p.stdout.readline()
            assert line.strip().isdigit(), (line, p.stderr.read())
            reported = int(line)
        if delay:
            time.sleep(delay)
        p.send_signal(signal.SIGKILL)
        p.communicate()
        assert p.returncode == -signal.SIGKILL
        rows = check_file(path)
        n = len(rows)
        assert n % per == 0, (round_, n)
        assert n >= reported  # every batch reported accepted is there
        assert rows == [stored(row(i)) for i in range(n)]
        loaded = n


# ---- batches the engine refuses ----

def unlocked(path):
    """True when nobody holds the file's write lock (no transaction left open)."""
    db = sqlite3.connect(path, timeout=0, isolation_level=None)
    try:
        db.execute("begin immediate")
        db.execute("rollback")
        return True
    except sqlite3.OperationalError:
        return False
    finally:
        db.close()


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
        assert ids(path) == [-1] * named + list(range(10)) + list(range(15, 20))
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
