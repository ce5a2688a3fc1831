"""Every public operation of the driver as a small scripted scenario, for the
reliability tests: fault injection runs each one with one client call failing
in turn, the leak suite repeats them many times.

A scenario sets up what its operation needs (a connection, a cursor), scripts
the double for the operation, runs it, and cleans up the way a user would
(closing what is still open). The driver's state is held in a plain
namespace, ``ctx``.
"""

import datetime
import struct
import threading
import types

from pyqivrexdb import qxcore
from pyqivrexdb.errors import (DatabaseError, IntegrityError, InterfaceError, OperationalError,
                               ProgrammingError)
from qxdouble import (QSCLI_ET_ARRA as ARRA, QSCLI_ET_BYTE as BYTE, QSCLI_ET_CHAR as CHAR, QSCLI_ET_CURR as CURR,
                      QSCLI_ET_DATE as DATE, QSCLI_ET_DFLT as DFLT, QSCLI_ET_DWRD as DWRD, QSCLI_ET_FLOA as FLOA,
                      QSCLI_ET_INTR as INTR, QSCLI_ET_LONG as LONG, QSCLI_ET_NMBR as NMBR, QSCLI_ET_WORD as WORD,
                      QSCLI_CONN_LCLADDR, QSCLI_CONN_RMTADDR, QSCLI_CONN_SRV_VERS2, colrec)


# One column of every element type, at its natural width.
EVERY_TYPE = [(CHAR, 5), (ARRA, 2), (BYTE, 1), (INTR, 2), (WORD, 2), (DATE, 2), (NMBR, 3),
              (LONG, 4), (DWRD, 4), (FLOA, 4), (CURR, 8), (DFLT, 8)]
EVERY_TYPE_COLUMNS = [colrec(t, n, fname="F%d" % i, asname="Столбец%d" % i)
                      for i, (t, n) in enumerate(EVERY_TYPE)]
RECORD_SIZE = sum(n for _, n in EVERY_TYPE)


def every_type_record(i):
    """Record i of the every-type result (the date is the double's packing)."""
    return (("r%04d" % i).encode()[:5] + bytes([i % 256, 0xAB]) + bytes([i % 255])
            + struct.pack("<hH", -i, i) + struct.pack("<H", 1 + i)
            + struct.pack("<I", i)[:3] + struct.pack("<iIfdd", -i, i, i / 4, i * 1.5, -i / 8))


def every_type_records(n):
    return b"".join(every_type_record(i) for i in range(n))


# The structure query's result for a bulk load: number, field number, name,
# type, len.
STRUCT_COLUMNS = [colrec(LONG, 4, fname=b"ALIAS"), colrec(LONG, 4, fname=b"FIELDNO"),
                  colrec(CHAR, 32, fname=b"NAME"), colrec(LONG, 4, fname=b"TYPE"),
                  colrec(LONG, 4, fname=b"LEN")]


def script_table(double, fields):
    """The next statement describes a table of ``fields``: (name, type, len)."""
    records = b"".join(struct.pack("<ii32sii", 0, i, name.encode("cp866").ljust(32), t, n)
                       for i, (name, t, n) in enumerate(fields))
    double.set_result(STRUCT_COLUMNS, records)


def every_type_row(i):
    return ["t%d" % i, "%04x" % i, i % 255, -i, i, datetime.date(2000, 1, 1 + i % 28),
            i, -i, i, i / 4, i * 1.5, -i / 8]


# -- expectations ---------------------------------------------------------

NO_ERROR = None


class Raises:
    """An expected exception: its exact class and its args."""

    def __init__(self, cls, *args):
        self.cls, self.args = cls, args

    def check(self, exc):
        assert type(exc) is self.cls, "%r, expected %s%r" % (exc, self.cls.__name__, self.args)
        assert exc.args == self.args, "%r, expected %s%r" % (exc, self.cls.__name__, self.args)

    def __repr__(self):
        return "%s%r" % (self.cls.__name__, self.args)


class RaisesClass(Raises):
    """Only the class matters (an error of the date module, say)."""

    def check(self, exc):
        assert type(exc) is self.cls, repr(exc)


def default_expectation(name, rc):
    """What a failure of entry point ``name`` with code ``rc`` raises, where
    the operation does not say otherwise."""
    two = {
        "qcSqlInit": (InterfaceError, "qcSqlInit error %d:"),
        "qcSqlAllocConnect": (InterfaceError, "qcSqlAllocConnect error %d:"),
        "qcSqlConnect": (DatabaseError, "qcSqlConnect error %d:"),
        "qcSqlDisconnect": (InterfaceError, "qcSqlDisconnect error %d:"),
        "qcSqlFreeConnect": (InterfaceError, "qcSqlFreeConnect error %d:"),
        "qcSqlSetConnectAttr": (DatabaseError, "qcSqlSetConnectAttr error %d:"),
        "qcSqlAllocStmt": (InterfaceError, "qcSqlAllocStmt error %d:"),
        "qcSqlSetStmtAttr": (InterfaceError, "qcSqlSetStmtAttr error %d:"),
        "qcSqlExecDirect": (ProgrammingError, "execute() error %d:"),
        "qcSqlGetStmtAttr": (ProgrammingError, "qcSqlGetStmtAttr error %d:"),
        "qcSqlRowCount": (ProgrammingError, "qcSqlRowCount error %d:"),
        "qcSqlNumResultCols": (ProgrammingError, "qcSqlNumResultCols error %d:"),
        "qcSqlOpenResults": (ProgrammingError, "qcSqlOpenResults error %d:"),
        "qcSqlReadResults": (ProgrammingError, "qcSqlReadResults error %d:"),
        "qcSqlAddRecords": (ProgrammingError, "qcSqlAddRecords error %d:"),
        "qcSqlCancel": (OperationalError, "qcSqlCancel error %d:"),
    }
    one = {
        "qcSqlCloseResults": (ProgrammingError, "qcSqlCloseResults error %d:"),
        "qcSqlFreeStmt": (ProgrammingError, "qcSqlFreeStmt error %d:"),
    }
    if name in two:
        cls, template = two[name]
        return Raises(cls, template, rc)
    if name in one:
        cls, template = one[name]
        return Raises(cls, template % rc)
    if name == "qcSqlUnpackDate":
        # Nothing unpacked: the date module refuses the parts 0, 0, 0.
        return RaisesClass(ValueError)
    # qcSqlConnReadMsg's result is ignored (the message ends there), and
    # qcSqlPackDate's result is the packed date itself.
    return NO_ERROR


# -- scenarios ------------------------------------------------------------

class Scenario:
    """One public operation.

    ``setup(double, ctx)`` prepares (its client calls are not failed),
    ``script(double, ctx)`` scripts the double for one run of the operation,
    ``op(ctx)`` runs it, ``cleanup(ctx)`` closes what is open.
    ``expect`` maps entry-point names to the expectation for this operation
    (a function of rc), over ``default_expectation``. ``releases_refused``:
    entry points whose refusal leaves a handle the driver does not retry.
    """

    def __init__(self, name, op, setup=None, script=None, cleanup=None, expect=None,
                 releases_refused=(), debug=False):
        self.name = name
        self.op = op
        self._setup = setup
        self._script = script
        self._cleanup = cleanup
        self.expect = expect or {}
        self.releases_refused = set(releases_refused)
        self.debug = debug

    def __repr__(self):
        return self.name

    def expectation(self, name, rc):
        if name in self.expect:
            return self.expect[name](rc)
        return default_expectation(name, rc)

    def setup(self, double):
        ctx = types.SimpleNamespace(conn=None, cur=None, curs=[], got=[], value=None,
                                    double=double)
        qxcore.DEBUG = self.debug
        qxcore.HEAPCTRL = 4 * RECORD_SIZE
        if self._setup:
            self._setup(double, ctx)
        return ctx

    def script(self, double, ctx):
        if self._script:
            self._script(double, ctx)

    def cleanup(self, ctx):
        """Closes every cursor and connection the scenario made, as a user
        would after an error: a second close of a closed one is refused or
        does nothing, and either is fine here."""
        if self._cleanup:
            self._cleanup(ctx)
        for cur in [ctx.cur, *ctx.curs]:
            if cur is not None:
                try:
                    cur.close()
                except ProgrammingError as exc:
                    assert exc.args == ("cursor is already closed",), exc
        if ctx.conn is not None:
            ctx.conn.close()


def connected(double, ctx):
    ctx.conn = qxcore.connect("srv", "usr", "pw")


def with_cursor(double, ctx):
    connected(double, ctx)
    ctx.cur = ctx.conn.cursor()


def every_type_result(double, ctx, n=9):
    double.set_result(EVERY_TYPE_COLUMNS, every_type_records(n))


def op_connect(ctx):
    ctx.conn = qxcore.connect("srv", "usr", "pw")


def op_cursor(ctx):
    ctx.cur = ctx.conn.cursor()


def op_cursor_diag(ctx):
    ctx.cur = ctx.conn.cursor(err_to_user=True)


def op_query_all(ctx):
    ctx.cur.execute("select * from t where n > %s", (0,))
    ctx.value = (ctx.cur.description, ctx.cur.retcode(), ctx.cur.fetchall())


def op_query_pieces(ctx):
    cur = ctx.cur
    cur.execute("select * from t")
    ctx.value = [cur.fetchone(), cur.fetchmany(2), cur.fetchmany(), list(cur), cur.fetchall()]


def op_two_queries(ctx):
    # The second execute closes the first result set before it runs.
    ctx.cur.execute("select * from t")
    ctx.cur.fetchone()
    every_type_result(ctx.double, ctx, 3)
    ctx.cur.execute("select * from t")
    ctx.value = ctx.cur.fetchall()


def op_close_open_cursor(ctx):
    ctx.cur.execute("select * from t")
    ctx.cur.fetchone()
    ctx.cur.close()


def script_retval(double, ctx):
    double.set_retval(CHAR, "готово".encode("cp866") + b"\0")
    every_type_result(double, ctx, 2)


def op_conn_execute(ctx):
    ctx.conn.execute("update t set n = 1")


def op_transaction(ctx):
    ctx.conn.begin("T1", ["A", "B"])
    ctx.conn.commit("T1")
    ctx.conn.begin("T2", ("C",))
    ctx.conn.rollback("T2")


def op_info(ctx):
    ctx.value = (ctx.conn.server_version(), ctx.conn.server_address(),
                 ctx.conn.client_address())


def script_info(double, ctx):
    double.set_attr_text(QSCLI_CONN_SRV_VERS2, b"1.2.3")
    double.set_attr_text(QSCLI_CONN_RMTADDR, b"10.0.0.1:5000")
    double.set_attr_text(QSCLI_CONN_LCLADDR, "клиент".encode("cp866"))


def op_messages(ctx):
    got = ctx.got
    ctx.conn.send_callback(lambda m: got.append(m))
    ctx.conn.usersend_callback(lambda m, t: got.append((m, t)))
    ctx.conn.execute("notify")


def script_messages(double, ctx):
    double.add_message(b"x" * 300, "qcSqlExecDirect")
    double.add_message(b"user", "qcSqlExecDirect", user_type=7)


BULK_FIELDS = [("S", CHAR, 5), ("H", ARRA, 2), ("B", BYTE, 1), ("I", INTR, 2), ("W", WORD, 2),
               ("D", DATE, 2), ("N", NMBR, 3), ("L", LONG, 4), ("U", DWRD, 4), ("F", FLOA, 4),
               ("C", CURR, 8), ("X", DFLT, 8)]
BULK_ROWS = [every_type_row(i) for i in range(5)]


def script_bulk(double, ctx):
    script_table(double, BULK_FIELDS)


def op_bulk(ctx):
    qxcore.HEAPCTRL = 2 * RECORD_SIZE  # three batches: 2, 2 and 1 records
    ctx.conn.addrecords("Таблица", BULK_ROWS)


def op_bulk_given_cursor(ctx):
    qxcore.HEAPCTRL = 2 * RECORD_SIZE
    ctx.conn.addrecords("T", BULK_ROWS, ctx.cur)


def op_pydate(ctx):
    ctx.value = qxcore.pydate2qxdate(datetime.date(2024, 2, 29))


def op_initlibrary(ctx):
    qxcore.initlibrary()


def op_connection_object(ctx):
    ctx.conn = qxcore.Connection("srv", "usr", "pw")


def op_interrupted_query(ctx):
    """A query that interrupt() on another thread stops while the library
    works on it, then the same query again on the same cursor."""
    double, done, errors = ctx.double, threading.Event(), []

    def interrupter():
        try:
            while not done.is_set():
                if double.wait_blocked(1, 0.05):
                    ctx.conn.interrupt()
                    return
        except Exception as exc:  # noqa: BLE001 - raised on the main thread
            errors.append(exc)
        finally:
            double.unblock()

    thread = threading.Thread(target=interrupter)
    thread.start()
    try:
        ctx.cur.execute("select * from t")
    except ProgrammingError as exc:
        if exc.args != ("execute() error %d:", -9):
            raise
    finally:
        done.set()
        thread.join()
    if errors:
        raise errors[0]
    every_type_result(double, ctx, 3)
    ctx.cur.execute("select * from t")
    ctx.value = ctx.cur.fetchall()


def script_interrupted_query(double, ctx):
    double.block("qcSqlExecDirect", 1)
    every_type_result(double, ctx, 3)


def op_parallel_queries(ctx):
    """Two threads, each with a connection, query at once (the library
    allows it); the first error of either is raised here."""
    errors = []

    def run(cur):
        try:
            cur.execute("select * from t")
            cur.fetchall()
        except Exception as exc:  # noqa: BLE001 - raised on the main thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(c,)) for c in ctx.curs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def two_connections(double, ctx):
    double.set_concurrency(1)
    ctx.conns = [qxcore.connect("srv", "usr", "pw") for _ in range(2)]
    ctx.curs = [c.cursor() for c in ctx.conns]


def close_connections(ctx):
    for cur in ctx.curs:
        try:
            cur.close()
        except ProgrammingError:
            pass
    ctx.curs = []
    for conn in ctx.conns:
        conn.close()


INTERRUPTED_QUERY = "a query interrupted from another thread, then run again"


def conn_execute_expect():
    return {
        "qcSqlAllocStmt": lambda rc: Raises(ProgrammingError, "qcSqlAllocStmt error %d:", rc),
        "qcSqlExecDirect": lambda rc: Raises(ProgrammingError, "qcSqlExecDirect error %d:", rc),
    }


def transaction_expect():
    # rollback() raises its own ProgrammingError with the caught one's
    # message and code; the failures of begin and commit pass unchanged.
    return conn_execute_expect()


SCENARIOS = [
    Scenario("connect", op_connect),
    Scenario("connect with DEBUG", op_connect, debug=True),
    Scenario("Connection(server, user, passwd)", op_connection_object),
    Scenario("initlibrary", op_initlibrary),
    Scenario("Connection.close", lambda ctx: ctx.conn.close(), setup=connected,
             releases_refused={"qcSqlFreeConnect"}),
    Scenario("Connection.cursor", op_cursor, setup=connected),
    Scenario("Connection.cursor(err_to_user)", op_cursor_diag, setup=connected,
             expect={"qcSqlExecDirect":
                     lambda rc: Raises(ProgrammingError, "qcSqlExecDirec error %d:", rc)}),
    Scenario("Connection.cursor with DEBUG", op_cursor, setup=connected, debug=True,
             expect={"qcSqlExecDirect":
                     lambda rc: Raises(ProgrammingError, "qcSqlExecDirec error %d:", rc)}),
    Scenario("Cursor.execute without a result set", lambda ctx: ctx.cur.execute("update t"),
             setup=with_cursor),
    Scenario("Cursor.execute and fetchall, every type, return value", op_query_all,
             setup=with_cursor, script=script_retval,
             expect={"qcSqlExecDirect": lambda rc: Raises(IntegrityError,
                                                           "execute() error=%d: params=[$%]",
                                                           (rc, "0"))}),
    Scenario("fetchone, fetchmany, iteration over several reads", op_query_pieces,
             setup=with_cursor, script=lambda d, c: every_type_result(d, c, 11)),
    Scenario("Cursor.execute with DEBUG", op_query_pieces, setup=with_cursor, debug=True,
             script=lambda d, c: every_type_result(d, c, 5)),
    Scenario("Cursor.execute twice", op_two_queries, setup=with_cursor,
             script=lambda d, c: every_type_result(d, c, 3)),
    Scenario("Cursor.close with an open result", op_close_open_cursor, setup=with_cursor,
             script=every_type_result),
    Scenario("Connection.execute", op_conn_execute, setup=connected,
             expect=conn_execute_expect(), releases_refused={"qcSqlFreeStmt"}),
    Scenario("begin, commit, rollback", op_transaction, setup=connected,
             expect=transaction_expect(), releases_refused={"qcSqlFreeStmt"}),
    Scenario("server information", op_info, setup=connected, script=script_info,
             expect={"qcSqlGetConnectAttr": None}),
    Scenario("message callbacks", op_messages, setup=connected, script=script_messages,
             expect=dict(conn_execute_expect(), qcSqlSetConnectAttr=lambda rc: Raises(
                 DatabaseError, "qcSqlSetConnectAttr error %d:", rc)),
             releases_refused={"qcSqlFreeStmt"}),
    # Closing the load's own cursor is clean-up: its failure does not fail the load.
    Scenario("addrecords", op_bulk, setup=connected, script=script_bulk,
             expect={"qcSqlCloseResults": lambda rc: NO_ERROR, "qcSqlFreeStmt": lambda rc: NO_ERROR}),
    Scenario("addrecords on a given cursor", op_bulk_given_cursor, setup=with_cursor,
             script=script_bulk),
    Scenario("pydate2qxdate", op_pydate),
    Scenario(INTERRUPTED_QUERY, op_interrupted_query,
             setup=with_cursor, script=script_interrupted_query),
]

# Scenarios whose calls come from several threads: the order of their calls
# in the journal is not fixed, so they are not failed call by call.
THREADED = [
    Scenario("queries on two connections at once", op_parallel_queries, setup=two_connections,
             script=lambda d, c: d.set_result(EVERY_TYPE_COLUMNS, every_type_records(40)),
             cleanup=close_connections),
]

# The three information methods name themselves in their templates, except
# client_address; the one that fails is the first one called.
INFO_TEMPLATES = ["server_version error %d:", "server_address error %d:",
                  "qcSqlGetConnectAttr error %d:"]


def info_expectation(occurrence, rc):
    return Raises(DatabaseError, INFO_TEMPLATES[occurrence], rc)


def fix_rollback(scenario, name, occurrence, rc):
    """In the transaction scenario the fourth statement is rollback's: a
    failure there comes back as a new ProgrammingError(message, code)."""
    statements = {"qcSqlAllocStmt": 3, "qcSqlExecDirect": 3, "qcSqlFreeStmt": 3}
    if scenario.name != "begin, commit, rollback" or statements.get(name) != occurrence:
        return None
    if name == "qcSqlFreeStmt":
        # A one-argument error carries no code: passed on as (message, None).
        return Raises(ProgrammingError, "qcSqlFreeStmt error %d:" % rc, None)
    if name == "qcSqlAllocStmt":
        return Raises(ProgrammingError, "qcSqlAllocStmt error %d:", rc)
    return Raises(ProgrammingError, "qcSqlExecDirect error %d:", rc)


def expectation(scenario, name, occurrence, rc):
    """The expectation for the ``occurrence``-th call (from 0) of ``name``
    failing with ``rc`` in ``scenario``."""
    special = fix_rollback(scenario, name, occurrence, rc)
    if special is not None:
        return special
    if scenario.name == "server information" and name == "qcSqlGetConnectAttr":
        return info_expectation(occurrence, rc)
    if scenario.name == "Cursor.execute and fetchall, every type, return value" \
            and name == "qcSqlExecDirect" and rc == -97:
        return Raises(ProgrammingError, "Cursor closed, error=%d:", rc)
    if scenario.name == INTERRUPTED_QUERY and name == "qcSqlGetStmtAttr" and occurrence == 0:
        # The interrupted statement's error text: read if the library has
        # one, and a refusal leaves the error as it is.
        return NO_ERROR
    return scenario.expectation(name, rc)


def run_once(double, scenario):
    """Runs the scenario without failures; returns the entry points its
    operation called, in order."""
    double.reset()
    ctx = scenario.setup(double)
    double.clear()
    scenario.script(double, ctx)
    scenario.op(ctx)
    names = double.names()
    scenario.cleanup(ctx)
    return names


def run_through(double, scenario, fail=None):
    """One run of the scenario from setup to cleanup, with ``fail`` =
    (entry point, occurrence, rc) failing that call; the operation's
    exception is swallowed. Returns it (or None)."""
    double.reset()
    ctx = scenario.setup(double)
    scenario.script(double, ctx)
    if fail:
        name, occurrence, rc = fail
        double.fail(name, rc, times=1, skip=occurrence)
    error = None
    try:
        scenario.op(ctx)
    except Exception as exc:  # noqa: BLE001 - the fault tests check them
        error = exc
    if fail:
        double.fail(fail[0], 0)
    scenario.cleanup(ctx)
    return error


def failure_points(baseline, rc=-5):
    """(entry point, occurrence, rc) for every call of a successful run."""
    return [(name, baseline[:k].count(name), rc) for k, name in enumerate(baseline)]
