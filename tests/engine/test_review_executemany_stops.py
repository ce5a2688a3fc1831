"""executemany stopped (an interrupt, a timeout, a lost connection) or
failing part-way: the rows it reports as not stored are not stored, whatever
path they took."""
import random
import threading
import time

import pytest

from pyqivrexdb import dbapi

N = 300  # the bulk path's size


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn)
    c.execute("create table em(id integer primary key, v varchar(10))")
    c.commit()
    yield c
    c.close()


def stored(conn):
    return conn.execute("select count(*) from em").fetchone()[0]


@pytest.mark.parametrize("error", [
    dbapi.OperationalError("interrupted", -9),
    dbapi.OperationalError("the statement ran longer than statement_timeout (1 s) and was stopped", -9),
    dbapi.InterfaceError("the connection is closed"),
], ids=["interrupt", "timeout", "closed"])
def test_a_stop_while_the_table_layout_is_read_stops_executemany(conn, error):
    # As if the stop landed on the layout's query: it was taken for a table
    # the bulk path cannot load, and the rows went one statement each.
    def stopped(table):
        raise error
    conn.table_layout = stopped
    with pytest.raises(type(error)):
        conn.cursor().executemany("insert into em values (?, ?)", [(i, "x") for i in range(N)])
    del conn.table_layout
    conn.commit()
    assert stored(conn) == 0


def test_interrupts_from_another_thread_never_leave_part_of_a_failed_executemany(conn):
    failures = []
    for round_ in range(30):
        conn.execute("delete from em")
        conn.commit()
        stop = threading.Event()

        def hammer():
            while not stop.is_set():
                conn.interrupt()
                time.sleep(random.random() * 0.004)
        thread = threading.Thread(target=hammer)
        thread.start()
        try:
            conn.cursor().executemany("insert into em values (?, ?)", [(i, "x") for i in range(N)])
            ok = True
        except dbapi.OperationalError:
            ok = False
        finally:
            stop.set()
            thread.join()
        conn.commit()
        if stored(conn) != (N if ok else 0):
            failures.append((round_, ok, stored(conn)))
    assert failures == []


def left_by(error, before):
    """The rows a failed executemany leaves in the caller's transaction: those
    its error's rows_sent counts, or, without it, every row before the failure."""
    sent = getattr(error, "rows_sent", None)
    return before if sent is None else sent


@pytest.mark.parametrize("rows", [10, 100])
def test_a_failed_executemany_in_a_transaction_leaves_what_its_error_says(conn, rows):
    conn.execute("insert into em values (-1, 'kept')")
    values = [(i, "x") for i in range(rows)]
    values[rows // 2] = (-1, "taken")
    with pytest.raises(dbapi.IntegrityError) as failed:
        conn.cursor().executemany("insert into em values (?, ?)", values)
    conn.commit()
    kept = conn.execute("select id from em where id >= 0 order by id").fetchall()
    assert kept == [(i,) for i in range(left_by(failed.value, rows // 2))]
    assert conn.execute("select v from em where id = -1").fetchall() == [("kept",)]


def breaking(rows, at):
    for i in range(rows):
        if i == at:
            raise ValueError("the source broke")
        yield (i, "x")


@pytest.mark.parametrize("rows, at", [(300, 30), (300, 200), (100_000, 90_000)])
def test_an_executemany_whose_source_breaks_leaves_what_its_error_says(conn, rows, at):
    with pytest.raises(ValueError) as failed:
        conn.cursor().executemany("insert into em values (?, ?)", breaking(rows, at))
    conn.commit()
    assert stored(conn) == left_by(failed.value, at)
