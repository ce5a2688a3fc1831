"""How a transaction ends through the standard face when its COMMIT or
ROLLBACK fails, or an error ends it first, on either backend: the connection
stays usable, and after reopening what is stored is exactly what the driver
reported committed. (An interrupt that lands on SQLite's COMMIT or on a
ROLLBACK cannot be timed here: the unit tests script it with the double.)"""
import threading

import pytest

from pyqivrexdb import dbapi


@pytest.fixture
def conn(dsn, backend):
    with dbapi.connect(dsn) as c:
        c.execute("create table t (id integer)")
        c.execute("create table parent (id integer primary key)")
        c.execute("create table child (pid integer references parent (id) deferrable initially deferred)")
        if backend == "sqlite":
            c.execute("create table u (id integer primary key on conflict rollback)")
    c = dbapi.connect(dsn)
    yield c
    try:
        c.close()
    except dbapi.Error:
        pass  # a lost server


def stored(dsn):
    with dbapi.connect(dsn) as c:
        return [r[0] for r in c.execute("select id from t order by id").fetchall()]


def end(conn, ending):
    """Ends the transaction as asked; whether the driver said it worked."""
    try:
        getattr(conn, ending)()
    except dbapi.Error:
        return False
    return True


def deferred_key(conn, dsn, backend, ending):
    conn.execute("insert into t values (1)")
    conn.execute("insert into child values (99)")
    committed = []
    if ending == "commit":
        with pytest.raises(dbapi.IntegrityError):
            conn.commit()
        # SQLite keeps the transaction, the server ends it: a retry raises
        # again, or has nothing left to commit.
        assert conn.in_transaction == (backend == "sqlite")
        if end(conn, "commit") and backend == "sqlite":
            committed.append(1)
    assert end(conn, "rollback")
    assert not conn.in_transaction
    # no lock is left behind for other connections
    with dbapi.connect(dsn) as other:
        other.execute("insert into t values (3)")
    return committed + [3]


def conflict_rollback(conn, dsn, backend, ending):
    if backend != "sqlite":
        pytest.skip("ON CONFLICT ROLLBACK is the engine's")
    conn.execute("insert into t values (1)")
    conn.execute("insert into u values (1)")
    with pytest.raises(dbapi.IntegrityError, match="rolled back the whole transaction"):
        conn.execute("insert into u values (1)")
    # The engine rolled the transaction back with the error: it stays failed
    # until it is ended, so row 2 never commits as if row 1 were with it.
    assert conn.in_transaction
    with pytest.raises(dbapi.OperationalError, match="transaction was rolled back"):
        conn.execute("insert into t values (2)")
    assert end(conn, ending) == (ending == "rollback")
    assert not conn.in_transaction
    conn.execute("insert into t values (3)")
    conn.commit()
    return [3]


def interrupted_commit(conn, dsn, backend, ending):
    if backend == "sqlite":
        pytest.skip("nothing holds up SQLite's COMMIT long enough to interrupt it")
    if ending == "rollback":
        pytest.skip("a ROLLBACK gives an interrupt nothing to land on")
    # a deferred trigger that keeps the COMMIT of row 1 busy
    conn.execute("create function slow() returns trigger language plpgsql as $$ "
                 "begin if new.id = 1 then perform pg_sleep(10); end if; return null; end $$")
    conn.execute("create constraint trigger slow after insert on t deferrable initially deferred "
                 "for each row execute function slow()")
    conn.commit()
    conn.execute("insert into t values (1)")
    done = threading.Event()

    def interrupt():
        while not done.wait(0.2):
            conn.interrupt()
    t = threading.Thread(target=interrupt)
    t.start()
    try:
        with pytest.raises(dbapi.OperationalError):
            conn.commit()
    finally:
        done.set()
        t.join()
    assert not conn.in_transaction  # the server ended it
    conn.execute("insert into t values (2)")
    conn.commit()
    return [2]


def server_lost(conn, dsn, backend, ending):
    if backend == "sqlite":
        pytest.skip("the engine has no server to lose")
    pid = conn.execute("select pg_backend_pid()").fetchone()[0]
    conn.execute("insert into t values (1)")
    with dbapi.connect(dsn, autocommit=True) as other:
        other.execute("select pg_terminate_backend(?)", (pid,))
    assert not end(conn, ending)
    return []


@pytest.mark.parametrize("ending", ["commit", "rollback"])
@pytest.mark.parametrize("scenario", [deferred_key, conflict_rollback, interrupted_commit, server_lost])
def test_what_is_stored_is_what_the_driver_reported(conn, dsn, backend, ending, scenario):
    expected = scenario(conn, dsn, backend, ending)
    conn.close()
    assert stored(dsn) == sorted(expected)


def test_a_failed_commit_then_autocommit_keeps_nothing_the_driver_did_not_report(conn, dsn, backend):
    conn.execute("insert into t values (1)")
    conn.execute("insert into child values (99)")
    with pytest.raises(dbapi.IntegrityError):
        conn.commit()
    if backend == "sqlite":
        # the transaction is still open: switching commits it first, which fails again
        with pytest.raises(dbapi.IntegrityError):
            conn.autocommit = True
        assert conn.autocommit is False
        conn.rollback()
    conn.autocommit = True
    cur = conn.execute("insert into t values (2)")
    assert cur.rowcount == 1 and not conn.in_transaction
    conn.close()
    assert stored(dsn) == [2]


def test_the_library_tells_the_transaction_state(dsn):
    from pyqivrexdb import _qxstandard
    with dbapi.connect(dsn, autocommit=True) as c:
        state = lambda: _qxstandard.transaction_state(c._core)  # noqa: E731
        assert state() == 0
        c.execute("begin")
        assert state() == 1 and c.in_transaction
        with pytest.raises(dbapi.ProgrammingError):
            c.execute("select nothing from nowhere")
        assert state() == 1  # a failed statement takes back only itself
        c.execute("commit")
        assert state() == 0 and not c.in_transaction
