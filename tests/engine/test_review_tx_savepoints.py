"""A failing statement inside a transaction takes back only itself, whatever
the kind of failure and whatever savepoints of the user's own surround it, on
both backends."""
import threading
import time

import pytest

from pyqivrexdb import dbapi


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn)
    c.execute("create table t(id integer primary key, n integer check (n >= 0))")
    c.commit()
    yield c
    c.close()


def ids(dsn):
    with dbapi.connect(dsn) as other:
        return [r[0] for r in other.execute("select id from t order by id").fetchall()]


FAILURES = [
    ("insert into t valuez (9, 0)", dbapi.ProgrammingError),  # the server cannot parse it
    ("select nothing from t", dbapi.OperationalError),  # nor plan it
    ("insert into t values (1, 0)", dbapi.IntegrityError),  # a key taken
    ("insert into t values (9, -1)", dbapi.IntegrityError),  # a check
    ("insert into t values (?, ?)", dbapi.IntegrityError),  # prepared, a key taken
    ("select 1;;", None),  # trailing empty statements are one statement
    ("select 1; -- and a comment", None),
]


@pytest.mark.parametrize("sql, error", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failing_statement_between_two_rows_takes_back_only_itself(conn, dsn, sql, error):
    conn.execute("insert into t values (1, 0)")
    params = (1, 0) if "?" in sql else None
    if error is None:
        conn.execute(sql)
    else:
        with pytest.raises(dbapi.Error):
            conn.execute(sql, params)
    conn.execute("insert into t values (2, 0)")
    conn.commit()
    assert ids(dsn) == [1, 2]


@pytest.mark.parametrize("bad", ["insert into t values (1, 0)", "insert into t valuez (1)"])
def test_the_users_own_savepoints_among_failures(conn, dsn, bad):
    conn.execute("insert into t values (1, 0)")
    conn.execute("savepoint a")
    conn.execute("insert into t values (2, 0)")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("rollback to savepoint a")  # takes back row 2
    conn.execute("insert into t values (3, 0)")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("release savepoint a")
    conn.execute("insert into t values (4, 0)")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("savepoint b")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("insert into t values (5, 0)")
    conn.execute("rollback to b")
    conn.commit()
    assert ids(dsn) == [1, 3, 4]


def test_the_transactions_own_settings_may_come_first(conn, dsn, backend):
    if backend == "sqlite":
        pytest.skip("a server's setting")
    conn.execute("begin")
    conn.execute("set transaction isolation level serializable")
    assert conn.execute("show transaction_isolation").fetchone() == ("serializable",)
    conn.execute("insert into t values (1, 0)")
    conn.commit()
    assert ids(dsn) == [1]


@pytest.fixture
def pg(backend):
    if backend == "sqlite":
        pytest.skip("a server's behaviour")


def test_a_deferred_check_that_fails_at_commit_ends_the_transaction(conn, dsn, pg):
    conn.execute("create table u(id integer unique deferrable initially deferred)")
    conn.commit()
    conn.execute("insert into t values (1, 0)")
    conn.execute("insert into u values (1)")
    conn.execute("insert into u values (1)")  # checked at the commit
    with pytest.raises(dbapi.IntegrityError):
        conn.commit()
    assert not conn.in_transaction
    assert ids(dsn) == []
    conn.execute("insert into t values (2, 0)")
    conn.commit()
    assert ids(dsn) == [2]


@pytest.mark.parametrize("drop", ["deallocate all", "discard plans"])
def test_prepared_statements_dropped_in_a_transaction_are_prepared_again(conn, dsn, pg, drop):
    cur = conn.cursor()
    for k in range(3):
        cur.execute("insert into t values (?, ?)", (k, 0))
    cur.execute(drop)
    for k in range(3, 6):
        cur.execute("insert into t values (?, ?)", (k, 0))
    with pytest.raises(dbapi.IntegrityError):
        cur.execute("insert into t values (?, ?)", (1, 0))
    cur.execute("insert into t values (?, ?)", (6, 0))
    conn.commit()
    assert ids(dsn) == list(range(7))


def test_prepared_statements_after_discard_all(conn, dsn, pg):
    conn.autocommit = True
    cur = conn.cursor()
    for k in range(3):
        cur.execute("insert into t values (?, ?)", (k, 0))
    cur.execute("discard all")
    for k in range(3, 6):
        cur.execute("insert into t values (?, ?)", (k, 0))
    assert ids(dsn) == list(range(6))


def test_a_statement_while_another_thread_commits_is_in_the_next_transaction(conn, dsn, pg):
    # The commit takes a while (a deferred trigger that sleeps); a statement
    # another thread runs meanwhile must not run outside any transaction.
    conn.execute("""create function slow() returns trigger language plpgsql as
                    $$ begin perform pg_sleep(0.6); return null; end $$""")
    conn.execute("""create constraint trigger slow after insert on t deferrable initially deferred
                    for each row execute function slow()""")
    conn.commit()
    conn.execute("insert into t values (1, 0)")
    committer = threading.Thread(target=conn.commit)
    committer.start()
    time.sleep(0.2)
    conn.execute("update t set n = 5 where id = 1")
    committer.join()
    assert conn.in_transaction
    conn.rollback()
    with dbapi.connect(dsn) as other:
        assert other.execute("select n from t").fetchall() == [(0,)]


@pytest.mark.parametrize("bad", [
    "release savepoint nope", "rollback to savepoint nope", "rollback work to nope",
    "set transaction isolation level serializable",  # too late: a statement ran
    "set transaction isolation level bogus",
])
def test_a_failing_savepoint_command_takes_back_only_itself(conn, dsn, bad):
    conn.execute("insert into t values (1, 0)")
    with pytest.raises(dbapi.ProgrammingError):
        conn.execute(bad)
    conn.execute("insert into t values (2, 0)")
    conn.commit()
    assert ids(dsn) == [1, 2]


@pytest.mark.parametrize("bad", ["savepoint", "commit and chainz", "begin isolation level bogus"])
def test_a_failing_transaction_command_keeps_the_transaction_or_says_it_failed(conn, dsn, bad):
    conn.execute("insert into t values (1, 0)")
    with pytest.raises(dbapi.ProgrammingError) as e:
        conn.execute(bad)
    try:
        conn.execute("insert into t values (2, 0)")
        conn.commit()
    except dbapi.Error:
        assert "transaction failed" in str(e.value)
        conn.rollback()
    else:
        assert ids(dsn) == [1, 2]


def test_interrupts_between_statements_never_undo_or_fail_the_ones_that_succeeded(conn, dsn, pg):
    # interrupt() again and again while statements run in one transaction:
    # a cancel that lands on the savepoint steps before a statement aborts
    # the savepoint holding the statement before, which was then silently
    # undone: now the transaction fails and the error says so.
    done = threading.Event()

    def stop():
        while not done.is_set():
            conn.interrupt()
            time.sleep(0.0003)

    stopper = threading.Thread(target=stop, daemon=True)
    stopper.start()
    kept, cur = [], conn.cursor()
    try:
        for k in range(3000):
            try:
                if k % 2:
                    cur.execute("insert into t values (%d, 0)" % k)  # as written
                else:
                    cur.execute("insert into t values (?, 0)", (k,))  # prepared
            except dbapi.OperationalError as exc:
                if conn.transaction_status != "open":  # then it says so
                    assert "transaction failed" in str(exc), str(exc)
                    kept = None
                    break
            else:
                kept.append(k)
    finally:
        done.set()
        stopper.join()
    if kept is None:
        with pytest.raises(dbapi.OperationalError):
            conn.commit()
        assert ids(dsn) == []
    else:
        conn.commit()
        assert ids(dsn) == kept
