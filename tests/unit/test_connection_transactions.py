"""Connection.execute and the named transactions built on it."""

import logging

import pytest

import qxdouble
from pyqivrexdb import qxcore
from pyqivrexdb.errors import ProgrammingError

RUN = ["qcSqlAllocStmt", "qcSqlExecDirect", "qcSqlFreeStmt"]


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "user", "pw")
    double.clear()
    return c


def sent(double):
    return [c.args[1] for c in double.calls("qcSqlExecDirect")]


def test_execute_runs_on_a_statement_of_its_own(double, conn):
    assert conn.execute("delete from T") is None
    assert double.calls() == [("qcSqlAllocStmt", (1, None)),
                              ("qcSqlExecDirect", (101, b"delete from T")),
                              ("qcSqlFreeStmt", (101,))]


def test_execute_reads_nothing_of_a_result(double, conn):
    double.set_result([qxdouble.colrec(qxdouble.QSCLI_ET_LONG, 4, b"n")], b"\x01\x00\x00\x00")
    assert conn.execute("select 1") is None
    assert double.names() == RUN


def test_execute_sends_cp866(double, conn):
    conn.execute("update T set name = 'Ёлка'")
    assert sent(double) == ["update T set name = 'Ёлка'".encode("cp866")]


@pytest.mark.parametrize("textsql, error", [
    (5, AttributeError),
    (None, AttributeError),
    ("select '€'", UnicodeEncodeError),
    ("delete from T\0 where id = 1", ValueError),  # would run as "delete from T"
])
def test_execute_bad_text_sends_nothing_and_frees_the_statement(double, conn, textsql, error):
    with pytest.raises(error):
        conn.execute(textsql)
    assert double.calls() == [("qcSqlAllocStmt", (1, None)), ("qcSqlFreeStmt", (101,))]


@pytest.mark.parametrize("entry, rc, journal, args", [
    ("qcSqlAllocStmt", -2147483648, ["qcSqlAllocStmt"], ("qcSqlAllocStmt error %d:", -2147483648)),
    ("qcSqlExecDirect", -2147483648, RUN, ("qcSqlExecDirect error %d:", -2147483648)),
    ("qcSqlExecDirect", 2147483647, RUN, ("qcSqlExecDirect error %d:", 2147483647)),
    ("qcSqlFreeStmt", -2147483648, RUN, ("qcSqlFreeStmt error -2147483648:",)),
])
def test_execute_failures(double, conn, entry, rc, journal, args):
    double.fail(entry, rc)
    with pytest.raises(ProgrammingError) as info:
        conn.execute("select 1")
    assert info.value.args == args
    assert double.names() == journal


def test_execute_failure_is_not_masked_by_a_failing_release(double, conn):
    double.fail("qcSqlExecDirect", -3)
    double.fail("qcSqlFreeStmt", -4)
    with pytest.raises(ProgrammingError) as info:
        conn.execute("select 1")
    assert info.value.args == ("qcSqlExecDirect error %d:", -3)
    assert info.value.__context__ is None
    assert double.names() == RUN


@pytest.mark.parametrize("call, statement", [
    (lambda c: c.begin("T1", ["A", "B"]), "begin work T1 table A, B;"),
    (lambda c: c.begin("T1", []), "begin work T1 table ;"),
    (lambda c: c.begin("T1", "ABC"), "begin work T1 table A, B, C;"),
    (lambda c: c.begin(name="T1", tables_name=iter(["Склад"])), "begin work T1 table Склад;"),
    (lambda c: c.commit("T1"), "commit work T1;"),
    (lambda c: c.commit(("T1",)), "commit work T1;"),
    (lambda c: c.rollback("T1"), "rollback work T1;"),
    (lambda c: c.rollback(7), "rollback work 7;"),
])
def test_transaction_statements(double, conn, call, statement):
    assert call(conn) is None
    assert sent(double) == [statement.encode("cp866")]


@pytest.mark.parametrize("call, error", [
    (lambda c: c.begin("T1", ["A", 2]), TypeError),
    (lambda c: c.begin("T1", None), TypeError),
    (lambda c: c.begin("T1"), TypeError),
    (lambda c: c.commit(("T1", "T2")), TypeError),
    (lambda c: c.rollback(("T1", "T2")), TypeError),
    (lambda c: c.commit(name="T1"), TypeError),
])
def test_transaction_arguments_refused_before_sending(double, conn, call, error):
    with pytest.raises(error):
        call(conn)
    assert double.names() == []


def test_transactions_go_through_execute_of_a_subclass(double):
    class Recording(qxcore.Connection):
        def execute(self, textsql):
            self.statements.append(textsql)

    c = Recording()
    c.statements = []
    double.clear()
    c.begin("T1", ["A"])
    c.commit("T1")
    c.rollback("T1")
    assert c.statements == ["begin work T1 table A;", "commit work T1;", "rollback work T1;"]
    assert double.names() == []


def test_rollback_of_an_unknown_transaction(double, conn):
    double.fail("qcSqlExecDirect", -64)
    with pytest.raises(ProgrammingError) as info:
        conn.rollback("T1")
    assert info.value.args == ('%r: rollback(): transaction named "T1" does not exist' % conn,)
    caught = info.value.__context__
    assert isinstance(caught, ProgrammingError)
    assert (caught._message, caught.error_code_qivrex) == ("qcSqlExecDirect error %d:", -64)


def test_rollback_failure_is_raised_anew_with_the_caught_one_as_context(double, conn):
    double.fail("qcSqlExecDirect", -1)
    with pytest.raises(ProgrammingError) as info:
        conn.rollback("T1")
    assert info.value.args == ("qcSqlExecDirect error %d:", -1)
    assert info.value.__context__.args == ("qcSqlExecDirect error %d:", -1)
    assert info.value.__context__ is not info.value


def test_rollback_context_is_its_own_failure_inside_an_except_clause(double, conn):
    double.fail("qcSqlExecDirect", -64)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(ProgrammingError) as info:
            conn.rollback("T1")
        caught = info.value.__context__
        assert isinstance(caught, ProgrammingError)
        assert caught.__context__ is outer


def test_rollback_of_a_one_argument_error(double, conn):
    double.fail("qcSqlFreeStmt", -2)
    with pytest.raises(ProgrammingError) as info:
        conn.rollback("T1")
    assert info.value.args == ("qcSqlFreeStmt error -2:", None)


def test_rollback_lets_other_exceptions_through_unchanged():
    failure = ValueError("not a programming error")

    class Failing(qxcore.Connection):
        def execute(self, textsql):
            raise failure

    with pytest.raises(ValueError) as info:
        Failing().rollback("T1")
    assert info.value is failure


def test_rollback_with_the_error_class_gone():
    failure = ProgrammingError("qcSqlExecDirect error %d:", -64)

    class Failing(qxcore.Connection):
        def execute(self, textsql):
            raise failure

    del qxcore.ProgrammingError
    with pytest.raises(NameError) as info:
        Failing().rollback("T1")
    assert info.value.__context__ is failure


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
