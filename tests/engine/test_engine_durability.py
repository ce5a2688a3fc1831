"""The engine keeps what it reported written, and only that: a bulk load
killed mid-way, two processes writing one file, and batches the engine
refuses. Every database is checked afterwards by Python's own sqlite3."""
import os
import signal
import sqlite3
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
        return db.execute("select id, name, day, amount, check_ from t order by id").fetchall()
    finally:
        db.close()


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
