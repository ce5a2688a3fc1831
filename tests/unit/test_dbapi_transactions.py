"""The standard face's transactions through the test double: what it sends
when an ending statement fails, with a library that tells its transaction
state (qcSqlTransactionState) and with one that cannot."""
import pytest

import qxdouble
from pyqivrexdb import dbapi
from pyqivrexdb.errors import OperationalError
from qxdouble import QSCLI_E_INTERRUPTED, QSCLI_TX_FAILED, QSCLI_TX_IDLE, QSCLI_TX_OPEN

BEGIN, COMMIT, ROLLBACK, INSERT = b"begin deferred", b"commit", b"rollback", b"insert into t values (1)"


def sent(double):
    return [c.args[1] for c in double.calls("qcSqlExecDirect")]


@pytest.fixture(params=["no state", "state"])
def told(request, double):
    """Whether the library tells its transaction state."""
    if request.param == "state":
        double.set_tx_state(QSCLI_TX_IDLE)
    return request.param == "state"


@pytest.fixture
def conn(double, told):
    c = dbapi.connect("srv")
    c.execute("insert into t values (1)")
    double.clear()
    yield c
    if not c.closed:
        double.fail("qcSqlExecDirect", 0)
        c.close()


def fail_commit(double, conn):
    double.fail("qcSqlExecDirect", QSCLI_E_INTERRUPTED, times=1)
    with pytest.raises(OperationalError):
        conn.commit()


# After a COMMIT that failed with the transaction still open in the library:
# the next step, and the statements it sends.
@pytest.mark.parametrize("step, then", [
    (lambda c: c.commit(), [COMMIT]),
    (lambda c: c.rollback(), [ROLLBACK]),
    (lambda c: setattr(c, "autocommit", True), [COMMIT]),
    (lambda c: c.execute("insert into t values (1)"), [INSERT]),
    (lambda c: c.close(), [ROLLBACK]),
])
def test_a_failed_commit_keeps_the_transaction(double, conn, step, then):
    fail_commit(double, conn)
    assert conn.in_transaction
    double.clear()
    step(conn)
    assert sent(double) == then


def test_a_retried_commit_that_fails_again_raises(double, conn):
    fail_commit(double, conn)
    fail_commit(double, conn)
    conn.commit()
    assert sent(double) == [COMMIT] * 3
    assert not conn.in_transaction


def test_a_failed_rollback_keeps_the_transaction_and_a_second_one_ends_it(double, conn):
    double.fail("qcSqlExecDirect", QSCLI_E_INTERRUPTED, times=1)
    with pytest.raises(OperationalError):
        conn.rollback()
    assert conn.in_transaction
    conn.rollback()
    conn.execute("insert into t values (1)")
    assert sent(double) == [ROLLBACK, ROLLBACK, BEGIN, INSERT]


def test_a_failed_autocommit_switch_leaves_the_mode(double, conn):
    double.fail("qcSqlExecDirect", QSCLI_E_INTERRUPTED, times=1)
    with pytest.raises(OperationalError):
        conn.autocommit = True
    assert conn.autocommit is False and conn.in_transaction


def test_an_interrupt_landing_on_commit_leaves_the_connection_usable(double, conn):
    import threading
    double.block("qcSqlExecDirect", times=1)
    t = threading.Thread(target=lambda: (double.wait_blocked(), conn.interrupt()))
    t.start()
    with pytest.raises(OperationalError):
        conn.commit()
    t.join()
    conn.rollback()
    conn.execute("insert into t values (1)")
    conn.commit()
    assert sent(double) == [COMMIT, ROLLBACK, BEGIN, INSERT, COMMIT]


@pytest.mark.parametrize("state, then", [
    # the server ended the transaction whose COMMIT it refused
    (QSCLI_TX_IDLE, [BEGIN, INSERT]),
    # a failed one takes nothing but a rollback: the face sends it at once
    (QSCLI_TX_FAILED, [ROLLBACK, BEGIN, INSERT]),
])
def test_after_a_failed_commit_the_library_s_state_wins(double, state, then):
    double.set_tx_state(QSCLI_TX_IDLE)
    with dbapi.connect("srv") as conn:
        conn.execute("insert into t values (1)")
        double.clear()
        double.fail("qcSqlExecDirect", QSCLI_E_INTERRUPTED, times=1)
        # the state the failing COMMIT leaves, set while it runs
        conn._core.send_callback(lambda text: double.set_tx_state(state))
        double.add_message(b"commit", "qcSqlExecDirect")
        with pytest.raises(OperationalError):
            conn.commit()
        assert not conn.in_transaction
        conn.rollback()  # nothing left to roll back
        conn.commit()
        conn.execute("insert into t values (1)")
        assert sent(double) == [COMMIT] + then


def test_a_transaction_an_error_ended_is_not_taken_for_open(double):
    """ON CONFLICT ROLLBACK: the engine ends the transaction with the error;
    the next statement opens a new one instead of running on its own."""
    double.set_tx_state(QSCLI_TX_IDLE)
    with dbapi.connect("srv") as conn:
        conn.execute("insert into t values (1)")
        double.clear()
        double.set_tx_state(QSCLI_TX_IDLE)  # as the failing statement left it
        conn.execute("insert into t values (1)")
        conn.rollback()
        assert sent(double) == [BEGIN, INSERT, ROLLBACK]


def test_a_transaction_begun_in_plain_sql_is_seen(double):
    double.set_tx_state(QSCLI_TX_IDLE)
    with dbapi.connect("srv", autocommit=True) as conn:
        assert not conn.in_transaction
        conn.execute("begin")
        assert conn.in_transaction
        double.clear()
        conn.autocommit = False
        conn.autocommit = True  # commits what is open
        assert sent(double) == [COMMIT]


@pytest.mark.parametrize("code, ends", [
    (qxdouble.QSCLI_E_NO_TRANSACTION, True),  # nothing left to roll back
    (-1, False),  # SQLite's text says the same, but only the code is read
])
def test_without_the_state_a_rollback_refused_for_want_of_a_transaction_ends_it(double, code, ends):
    double.offer(qxdouble.QSCLI_STMT_ERR_TEXT)
    double.set_attr_text(qxdouble.QSCLI_STMT_ERR_TEXT, b"cannot rollback - no transaction is active")
    with dbapi.connect("srv") as conn:
        conn.execute("insert into t values (1)")
        double.fail("qcSqlExecDirect", code, times=1)
        if ends:
            conn.rollback()
        else:
            with pytest.raises(dbapi.Error, match="no transaction is active"):
                conn.rollback()
        assert conn.in_transaction is not ends



# Threads sharing one connection: a thread's statement that comes while
# another thread begins or commits (here: just before its BEGIN goes out, or
# just after its COMMIT came back) waits for it, then runs in one
# transaction: never a second BEGIN, never on its own after the COMMIT.
@pytest.mark.parametrize("around, then", [
    (BEGIN, [BEGIN, INSERT, INSERT]),
    (COMMIT, [COMMIT, BEGIN, INSERT]),
])
def test_a_statement_of_another_thread_waits_for_the_begin_or_commit(double, conn, around, then):
    import threading
    if around == BEGIN:
        conn.commit()
    double.clear()
    other = threading.Thread(target=lambda: conn.cursor().execute(INSERT.decode()))
    run = conn._run

    def racing_run(sql):
        after = sql.encode() == COMMIT  # the other thread comes once it came back
        if after:
            run(sql)
        if sql.encode() == around and other.ident is None:
            other.start()
            other.join(0.5)  # the other thread, as far as it gets meanwhile
        if not after:
            run(sql)
    conn._run = racing_run
    conn.commit() if around == COMMIT else conn.execute(INSERT.decode())
    other.join(10)
    assert sent(double) == then
    assert conn.in_transaction
