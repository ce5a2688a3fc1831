"""Fault injection: every client call of every public operation fails in
turn, the library answers with short or inconsistent reads, and callbacks
call back into the driver while it is inside the library.

The cases are generated from the journal of a successful run: the operation
runs once, and then once more for each call it made, with exactly that call
failing. Each case checks the exception the design gives, that the object is
still usable (the operation runs again) or cleanly closed, that every handle
the design releases was released, and that no call was handed a handle
already released.
"""

import gc
import struct
import sys

import pytest

import qxdouble
import rel_scenarios as rs
from pyqivrexdb import qxcore
from pyqivrexdb.errors import DatabaseError, ProgrammingError
from qxdouble import colrec


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def check_handles(double, allowed_conns=0, allowed_stmts=0):
    assert double.stale_calls() == []
    assert len(double.live_connections()) <= allowed_conns, double.live_connections()
    assert len(double.live_statements()) <= allowed_stmts, double.live_statements()


def inject(double, scenario, baseline, k, rc):
    """Runs `scenario` with call k of `baseline` failing with `rc`."""
    name = baseline[k]
    occurrence = baseline[:k].count(name)
    double.reset()
    ctx = scenario.setup(double)
    double.clear()
    scenario.script(double, ctx)
    double.fail(name, rc, times=1, skip=occurrence)
    error = None
    try:
        scenario.op(ctx)
    except Exception as exc:  # noqa: BLE001 - checked below
        error = exc
    journal = double.names()
    assert journal[:k + 1] == baseline[:k + 1], "the path to the failed call changed"
    expected = rs.expectation(scenario, name, occurrence, rc)
    if expected is None:
        assert error is None, repr(error)
    else:
        assert error is not None, "no exception, expected %r" % (expected,)
        expected.check(error)
    del error
    # Still usable: the same operation goes through on the same objects.
    double.fail(name, 0)
    scenario.script(double, ctx)
    scenario.op(ctx)
    scenario.cleanup(ctx)
    refused = name in scenario.releases_refused
    check_handles(double, allowed_conns=int(refused and name == "qcSqlFreeConnect"),
                  allowed_stmts=int(refused and name == "qcSqlFreeStmt"))


@pytest.mark.parametrize("rc", [-5, 3])
@pytest.mark.parametrize("scenario", rs.SCENARIOS, ids=repr)
def test_each_client_call_fails_in_turn(double, unraisable, scenario, rc):
    baseline = rs.run_once(double, scenario)
    check_handles(double)
    assert baseline, "the operation made no client call"
    failures = []
    for k in range(len(baseline)):
        try:
            inject(double, scenario, baseline, k, rc)
        except AssertionError as exc:
            failures.append("call %d (%s): %s" % (k, baseline[k], exc))
    assert not failures, "\n".join(failures)
    assert unraisable == []


@pytest.mark.parametrize("scenario", rs.THREADED, ids=repr)
def test_each_client_call_fails_once_in_threads(double, unraisable, scenario):
    """Calls from several threads come in no fixed order: each entry point
    fails once, on whichever thread calls it first."""
    baseline = rs.run_once(double, scenario)
    check_handles(double)
    for name in sorted(set(baseline)):
        error = rs.run_through(double, scenario, fail=(name, 0, -5))
        expected = rs.default_expectation(name, -5)
        if expected is None:
            assert error is None, (name, error)
        else:
            assert error is not None, name
            expected.check(error)
        del error
        check_handles(double)
        assert rs.run_through(double, scenario) is None
        check_handles(double)


def test_cursor_closed_code_on_execute(double):
    conn = qxcore.connect("srv")
    cur = conn.cursor()
    double.fail("qcSqlExecDirect", -97, times=1)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("select %s", ("x",))
    assert info.value.args == ("Cursor closed, error=%d:", -97)
    cur.close()
    conn.close()
    check_handles(double)


def test_rollback_of_unknown_transaction(double):
    conn = qxcore.connect("srv")
    double.fail("qcSqlExecDirect", -64, times=1)
    with pytest.raises(ProgrammingError) as info:
        conn.rollback("T9")
    assert info.value.args == ('%r: rollback(): transaction named "T9" does not exist' % conn,)
    assert isinstance(info.value.__context__, ProgrammingError)
    conn.close()
    check_handles(double)


# -- reads that the library answers badly ----------------------------------

LONGS = [colrec(rs.LONG, 4, b"N")]


def longs(n):
    return b"".join(i.to_bytes(4, "little") for i in range(n))


@pytest.mark.parametrize("reads, rows, error", [
    ([0], [], None),                          # nothing delivered: the end
    ([8, 0], [0, 1], None),
    ([4, 4, 4, 0], [0, 1, 2], None),          # one record a read
    ([8, 8, 0], [0, 1, 2, 3], None),
    ([6], [], "not whole records"),          # a partial record
    ([8, 2], [0, 1], "not whole records"),
    ([3], [], "not whole records"),
    ([1 << 20], [], "into a buffer of"),      # more than the buffer holds
    ([-1], [], "into a buffer of"),           # 0xFFFFFFFF
])
def test_short_and_partial_reads(double, reads, rows, error):
    qxcore.initlibrary()
    cur = qxcore.Cursor(1, False)
    qxcore.HEAPCTRL = 16
    double.set_result(LONGS, longs(4), reads=reads, row_count=4)
    cur.execute("select n")
    got = []
    if error is None:
        got = [r[0] for r in cur.fetchall()]
    else:
        with pytest.raises(ProgrammingError, match=error):
            while True:
                row = cur.fetchone()
                assert row is not None
                got.append(row[0])
        # The iterator is finished; the cursor takes a new statement.
        assert cur.fetchone() is None
    assert got == rows
    double.set_result(LONGS, longs(2))
    cur.execute("select n")
    assert cur.fetchall() == [[0], [1]]
    cur.close()


@pytest.mark.parametrize("row_count", [0, 1, 100, -1, 2 ** 31 - 1, -2 ** 31])
def test_row_count_that_lies(double, row_count):
    # The reads decide how many rows there are; only 0 means "no read".
    qxcore.initlibrary()
    cur = qxcore.Cursor(1, False)
    double.set_result(LONGS, longs(3), row_count=row_count)
    cur.execute("select n")
    assert cur.get_number_records() == row_count
    assert cur.fetchall() == ([] if row_count == 0 else [[0], [1], [2]])
    cur.close()


# -- callbacks that call back into the driver ------------------------------

@pytest.fixture
def conn(double):
    c = qxcore.connect("srv")
    yield c
    c.close()


def during(double, conn, entry, action, user=False):
    """Registers `action` as the message receiver and scripts one message
    during the next call of `entry`."""
    seen = []

    def receiver(message, *rest):
        seen.append(message)
        action()

    if user:
        conn.usersend_callback(receiver)
        double.add_message(b"m", entry, user_type=1)
    else:
        conn.send_callback(receiver)
        double.add_message(b"m", entry)
    return seen


def query(double, cur, n=6):
    double.set_result(LONGS, longs(n))
    cur.execute("select n")


def test_callback_runs_a_statement_on_the_cursor_being_read(double, conn, unraisable):
    qxcore.HEAPCTRL = 8
    cur = conn.cursor()
    query(double, cur)
    seen = during(double, conn, "qcSqlReadResults",
                  lambda: (double.set_result(LONGS, longs(3)), cur.execute("select m")))
    first = cur.fetchone()
    assert seen == ["m"] and unraisable == []
    # The cursor now holds the statement the callback ran, and the read under
    # way already came from it: its rows arrive once each, none lost.
    assert [first] + cur.fetchall() == [[0], [1], [2]]
    cur.close()
    check_handles(double, allowed_conns=1)


@pytest.mark.parametrize("entry", ["qcSqlReadResults", "qcSqlCloseResults", "qcSqlFreeStmt",
                                   "qcSqlExecDirect", "qcSqlOpenResults"])
def test_callback_closes_the_cursor_being_used(double, conn, unraisable, entry):
    cur = conn.cursor()
    query(double, cur)
    during(double, conn, entry, cur.close)
    try:
        if entry in ("qcSqlReadResults",):
            cur.fetchall()
        elif entry in ("qcSqlExecDirect", "qcSqlOpenResults"):
            query(double, cur)
            cur.fetchall()
        cur.close()
    except ProgrammingError:
        pass
    gc.collect()
    for hook in unraisable:
        assert isinstance(hook.exc_value, (ProgrammingError, ValueError)), hook.exc_value
    try:
        cur.close()
    except ProgrammingError as exc:
        assert exc.args == ("cursor is already closed",)
    check_handles(double, allowed_conns=1)


@pytest.mark.parametrize("entry", ["qcSqlExecDirect", "qcSqlFreeStmt", "qcSqlDisconnect",
                                   "qcSqlFreeConnect"])
def test_callback_closes_the_connection(double, unraisable, entry):
    conn = qxcore.connect("srv")
    during(double, conn, entry, conn.close)
    conn.execute("update t")
    conn.close()
    conn.close()
    assert unraisable == []
    check_handles(double)


def test_callback_collects_garbage_during_reads(double, conn, unraisable):
    qxcore.HEAPCTRL = 4
    cur = conn.cursor()
    query(double, cur, 5)
    conn.send_callback(lambda m: gc.collect())
    for _ in range(5):
        double.add_message(b"gc", "qcSqlReadResults")
    rows = []
    for row in cur:
        gc.collect()
        rows.append(row)
    assert rows == [[i] for i in range(5)]
    assert unraisable == []
    cur.close()


def test_cursor_dropped_by_the_callback_while_it_reads(double, conn, unraisable):
    # The callback drops the last references the program holds; the read
    # under way keeps what it uses alive.
    holder = {"cur": conn.cursor()}
    query(double, holder["cur"], 4)
    during(double, conn, "qcSqlReadResults", lambda: (holder.clear(), gc.collect()))
    it = iter(holder["cur"])
    rows = list(it)
    assert rows == [[i] for i in range(4)]
    assert unraisable == []


def test_callback_raising_is_reported_not_propagated(double, conn, unraisable, capsys):
    cur = conn.cursor()

    def boom(message):
        raise KeyError(message)

    conn.send_callback(boom)
    double.add_message(b"bad", "qcSqlExecDirect")
    query(double, cur, 2)
    assert cur.fetchall() == [[0], [1]]
    assert [type(u.exc_value) for u in unraisable] == [KeyError]
    assert unraisable[0].object == "pyqivrexdb.qxcore.qcSqlCbkSrvMsgT"
    assert "KeyError" in capsys.readouterr().err
    cur.close()


def test_callback_error_while_an_exception_is_on_its_way_out(double, conn, unraisable):
    # A failed statement is released on its error path, and a message that
    # arrives then must not replace the statement's error.
    conn.send_callback(lambda m: 1 / 0)
    double.fail("qcSqlExecDirect", -3, times=1)
    double.add_message(b"late", "qcSqlFreeStmt")
    with pytest.raises(ProgrammingError) as info:
        conn.execute("update t")
    assert info.value.args == ("qcSqlExecDirect error %d:", -3)
    assert [type(u.exc_value) for u in unraisable] == [ZeroDivisionError]


def test_callback_reenters_addrecords(double, conn, unraisable):
    rs.script_table(double, [("N", rs.LONG, 4)])
    data = [[i] for i in range(6)]
    loads = []

    def reenter(message):
        data.clear()  # the rows being loaded shrink under the loader
        rs.script_table(double, [("N", rs.LONG, 4)])
        loads.append(conn.addrecords("T", [[7]]))

    qxcore.HEAPCTRL = 8
    conn.send_callback(reenter)
    double.add_message(b"m", "qcSqlAddRecords")
    conn.addrecords("T", data)
    assert unraisable == [] and loads == [None]
    sent = [c.args[2] for c in double.calls("qcSqlAddRecords")]
    # The first batch (journalled before the message), the inner load; the
    # rows the callback removed are not loaded.
    assert sent == [2, 1]
    check_handles(double, allowed_conns=1)


def test_user_message_from_another_thread(double, conn, unraisable):
    got = []
    conn.usersend_callback(lambda m, t: (got.append((m, t)), gc.collect()))
    double.add_message(b"far", "qcSqlExecDirect", user_type=-1, thread=True)
    conn.execute("x")
    double.join_threads()
    assert got == [("far", -1)] and unraisable == []


def test_server_information_with_a_library_that_writes_no_terminator(double, conn):
    double.set_attr_text(qxdouble.QSCLI_CONN_SRV_VERS2, b"v" * 100)
    double.set_attr_text(qxdouble.QSCLI_CONN_LCLADDR, b"a" * 100)
    assert conn.server_version() == "v" * 19
    assert conn.client_address() == "a" * 49


def test_registering_is_refused_but_receiver_kept(double, conn):
    double.fail("qcSqlSetConnectAttr", -2, times=1)
    receiver = print
    with pytest.raises(DatabaseError) as info:
        conn.send_callback(receiver)
    assert info.value.args == ("qcSqlSetConnectAttr error %d:", -2)
    assert qxcore.SCALLBACK is receiver


# With DEBUG the cursor's first statement is err_to_user, so the structure
# query has no result set open to close: only the statement's release fails.
@pytest.mark.parametrize("entry, debug", [("qcSqlCloseResults", False), ("qcSqlFreeStmt", False),
                                          ("qcSqlFreeStmt", True)])
def test_addrecords_loads_when_its_own_cursor_fails_to_close(double, conn, entry, debug, caplog, monkeypatch):
    # Regressions: the statement of the structure query stayed allocated for
    # the life of the connection when closing the load's own cursor failed,
    # and that clean-up failure refused the whole load.
    monkeypatch.setattr(qxcore, "DEBUG", debug)
    rs.script_table(double, [("N", rs.LONG, 4)])
    double.fail(entry, -4, times=1)
    with caplog.at_level("DEBUG", logger="pyqivrexdb.qxcore"):
        assert conn.addrecords("T", [[1]]) is None
    assert [c.args[2] for c in double.calls("qcSqlAddRecords")] == [1]
    check_handles(double, allowed_conns=1)
    logged = [m for m in caplog.messages if "%s error -4:" % entry in m]
    assert len(logged) == debug


# -- the standard face ------------------------------------------------------
# Each operation runs once with the optional capabilities offered, then once
# for each client call it made with that call failing: the failure comes out
# as an error of the package (or, for a refused capability, as no error at
# all: the face works without it), the same operation then goes through, and
# closing leaves no handle behind.

STD_ROWS = b"".join(struct.pack("<i", i) + b"\x00" for i in range(3)) + struct.pack("<i", 0) + b"\x01"


def standard_query(double):
    double.set_result([colrec(rs.LONG, 4, b"N")], STD_ROWS, rec_size=5)


def standard_table(double):
    # The structure query's records end with their null flags too.
    records = struct.pack("<ii32sii", 0, 0, b"N".ljust(32), rs.LONG, 4) + b"\x00"
    double.set_result(rs.STRUCT_COLUMNS, records, rec_size=49)


STD_SCENARIOS = {
    "connect": (None, lambda ctx: ctx.__setattr__("conn", __import__("pyqivrexdb.dbapi").dbapi.connect("srv"))),
    "cursor": (None, lambda ctx: ctx.conn.cursor().close()),
    "execute and fetchall with null flags": (
        standard_query, lambda ctx: ctx.got.append(ctx.conn.cursor().execute("select ?", (1,)).fetchall())),
    "execute a change": (None, lambda ctx: ctx.got.append(ctx.conn.cursor().execute("update").rowcount)),
    "commit": (None, lambda ctx: (ctx.conn.cursor().execute("update"), ctx.conn.commit())),
    "rollback": (None, lambda ctx: (ctx.conn.cursor().execute("update"), ctx.conn.rollback())),
    "addrecords with NULL": (standard_table, lambda ctx: ctx.conn.addrecords("t", [(None,), (1,)])),
    "executemany": (None, lambda ctx: ctx.conn.cursor().executemany("update ?", [(1,), (2,)])),
}


def standard_setup(double, name, script):
    from pyqivrexdb import dbapi
    double.reset()
    for attr in (qxdouble.QSCLI_ATTR_NULL_FLAGS, qxdouble.QSCLI_STMT_ERR_TEXT, qxdouble.QSCLI_CONN_ERR_TEXT,
                 qxdouble.QSCLI_STMT_CHANGES, qxdouble.QSCLI_STMT_LAST_ROWID):
        double.offer(attr, value=1)
    qxcore.HEAPCTRL = 64
    ctx = __import__("types").SimpleNamespace(conn=None, got=[])
    if name != "connect":
        # Queries and loads on their own: a transaction's begin would take
        # the scripted result.
        ctx.conn = dbapi.connect("srv", autocommit=script is not None)
    double.clear()
    return ctx


def standard_cleanup(double, ctx):
    if ctx.conn is not None:
        ctx.conn.close()
    gc.collect()


@pytest.mark.parametrize("rc", [-5, 3])
@pytest.mark.parametrize("name", list(STD_SCENARIOS))
def test_standard_face_each_client_call_fails_in_turn(double, unraisable, name, rc):
    from pyqivrexdb.errors import Error
    script, op = STD_SCENARIOS[name]
    ctx = standard_setup(double, name, script)
    if script:
        script(double)
    op(ctx)
    baseline = double.names()
    standard_cleanup(double, ctx)
    check_handles(double)
    failures = []
    for k, entry in enumerate(baseline):
        ctx = standard_setup(double, name, script)
        if script:
            script(double)
        double.fail(entry, rc, times=1, skip=baseline[:k].count(entry))
        try:
            op(ctx)
        except Error:
            pass
        except Exception as exc:  # noqa: BLE001 - reported below
            failures.append("call %d (%s): %r" % (k, entry, exc))
        double.fail(entry, 0)
        try:
            if ctx.conn is not None and ctx.conn.in_transaction:
                ctx.conn.rollback()
            if script:
                script(double)
            op(ctx)
            standard_cleanup(double, ctx)
            # A statement whose release the library refused stays refused.
            check_handles(double, allowed_stmts=int(entry == "qcSqlFreeStmt"))
        except (Exception, AssertionError) as exc:  # noqa: BLE001
            failures.append("call %d (%s), afterwards: %r" % (k, entry, exc))
    assert not failures, "\n".join(failures)
    assert unraisable == []


def test_a_refused_null_flags_attribute_leaves_nulls_as_the_core_reads_them(double):
    from pyqivrexdb import dbapi
    conn = dbapi.connect("srv", autocommit=True)
    double.offer(qxdouble.QSCLI_ATTR_NULL_FLAGS)
    double.fail("qcSqlSetStmtAttr", -95, times=2, skip=1)  # the null flags: setting 2, then 1
    cur = conn.cursor()
    assert not cur.null_flags
    double.set_result([colrec(rs.LONG, 4, b"N")], struct.pack("<i", 0))
    assert cur.execute("select").fetchall() == [(0,)]
    conn.close()
    check_handles(double)
