"""Connection.execute and the named transactions built on it."""

import logging

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import ProgrammingError

RUN = ["qcSqlAllocStmt", "qcSqlExecDirect", "qcSqlFreeStmt"]


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "user", "pw")
    double.clear()
    return c


@pytest.mark.parametrize("call, statement", [
    (lambda c: c.execute("update T set name = 'Ёлка'"), "update T set name = 'Ёлка'"),
    (lambda c: c.begin("T1", ["A", "B"]), "begin work T1 table A, B;"),
    (lambda c: c.begin("T1", []), "begin work T1 table ;"),
    (lambda c: c.begin("T1", "ABC"), "begin work T1 table A, B, C;"),
    (lambda c: c.begin(name="T1", tables_name=iter(["Склад"])), "begin work T1 table Склад;"),
    (lambda c: c.commit("T1"), "commit work T1;"),
    (lambda c: c.commit(("T1",)), "commit work T1;"),
    (lambda c: c.rollback("T1"), "rollback work T1;"),
])
def test_statements_run_on_a_statement_of_their_own(double, conn, call, statement):
    assert call(conn) is None
    assert double.calls() == [("qcSqlAllocStmt", (1, None)),
                              ("qcSqlExecDirect", (101, statement.encode("cp866"))),
                              ("qcSqlFreeStmt", (101,))]


@pytest.mark.parametrize("call, error", [
    (lambda c: c.begin("T1", ["A", 2]), TypeError),
    (lambda c: c.begin("T1", None), TypeError),
    (lambda c: c.commit(("T1", "T2")), TypeError),
    (lambda c: c.rollback(("T1", "T2")), TypeError),
    (lambda c: c.commit(name="T1"), TypeError),
])
def test_transaction_arguments_refused_before_sending(double, conn, call, error):
    with pytest.raises(error):
        call(conn)
    assert double.names() == []


@pytest.mark.parametrize("textsql, error", [
    (5, AttributeError),
    ("select '€'", UnicodeEncodeError),
    ("delete from T\0 where id = 1", ValueError),  # would run as "delete from T"
])
def test_execute_bad_text_sends_nothing_and_frees_the_statement(double, conn, textsql, error):
    with pytest.raises(error):
        conn.execute(textsql)
    assert double.calls() == [("qcSqlAllocStmt", (1, None)), ("qcSqlFreeStmt", (101,))]


# A refused statement asks for the server's text before it is freed.
FAILED_RUN = RUN[:2] + ["qcSqlGetStmtAttr"] + RUN[2:]


@pytest.mark.parametrize("failures, journal, args", [
    ({"qcSqlAllocStmt": -2147483648}, RUN[:1], ("qcSqlAllocStmt error %d:", -2147483648)),
    ({"qcSqlExecDirect": 2147483647}, FAILED_RUN, ("qcSqlExecDirect error %d:", 2147483647)),
    ({"qcSqlFreeStmt": -2147483648}, RUN, ("qcSqlFreeStmt error -2147483648:",)),
    ({"qcSqlExecDirect": -3, "qcSqlFreeStmt": -4}, FAILED_RUN, ("qcSqlExecDirect error %d:", -3)),
])
def test_execute_failures(double, conn, failures, journal, args):
    for name, rc in failures.items():
        double.fail(name, rc)
    with pytest.raises(ProgrammingError) as info:
        conn.execute("select 1")
    assert info.value.args == args and info.value.__context__ is None
    assert double.names() == journal


def test_transactions_go_through_execute_of_a_subclass(double):
    class Recording(qxcore.Connection):
        def execute(self, textsql):
            self.statements.append(textsql)

    c = Recording()
    c.statements = []
    c.begin("T1", ["A"])
    c.commit("T1")
    c.rollback("T1")
    assert c.statements == ["begin work T1 table A;", "commit work T1;", "rollback work T1;"]


@pytest.mark.parametrize("failures, raised", [
    ({"qcSqlExecDirect": -64}, None),
    ({"qcSqlExecDirect": -1}, ("qcSqlExecDirect error %d:", -1)),
    ({"qcSqlFreeStmt": -2}, ("qcSqlFreeStmt error -2:", None)),  # a one-argument error
])
def test_rollback_raises_anew_with_the_caught_error_as_context(double, conn, failures, raised):
    for name, rc in failures.items():
        double.fail(name, rc)
    try:
        raise KeyError("outer")
    except KeyError as exc:
        outer = exc
        with pytest.raises(ProgrammingError) as info:
            conn.rollback("T1")
    if raised is None:
        raised = ('%r: rollback(): transaction named "T1" does not exist' % conn,)
    assert info.value.args == raised
    caught = info.value.__context__
    assert type(caught) is ProgrammingError and caught is not info.value
    assert caught.__context__ is outer


def test_rollback_lets_other_exceptions_through_unchanged():
    failure = ValueError("not a programming error")

    class Failing(qxcore.Connection):
        def execute(self, textsql):
            raise failure

    with pytest.raises(ValueError) as info:
        Failing().rollback("T1")
    assert info.value is failure


def test_execute_debug_line_only_after_success(double, conn, caplog):
    caplog.set_level(logging.DEBUG, logger="pyqivrexdb.qxcore")
    conn.execute("select 1")
    assert caplog.records == []
    qxcore.DEBUG = True
    conn.execute("select 1")
    double.fail("qcSqlExecDirect", -3)
    with pytest.raises(ProgrammingError):
        conn.execute("select 2")
    assert [r.getMessage() for r in caplog.records] == ['%r: execute(): textsql="select 1"' % conn]
