# mypy: ignore-errors
# (typed by the package's stub, __init__.pyi, as dbapi.py was)
"""The connection of the standard face: opening a session, transactions,
timeouts, notices and notifications."""

import os as _os
import threading as _threading
import weakref as _weakref
from .. import messages as _messages
from .. import qxcore as _qxcore  # noqa: F401 - makes pyqivrexdb._qxstandard
from ..errors import (  # noqa: F401 - the module's exception classes
    CommitOutcomeUnknown, DataError, DatabaseError, Error, IntegrityError, InterfaceError, InternalError,
    NotSupportedError, OperationalError, ProgrammingError, Warning,
)
import pyqivrexdb._qxstandard as _standard  # made by importing qxcore  # noqa: E402
from ._names import _DIALECT_NAMES, adapters
from ._cursor import Cursor, _RowAlone

# How often a statement past its statement_timeout is asked again to stop, in
# seconds.
_STOP_AGAIN = 0.05


# Where each dialect lists the tables of the session's schema.
_TABLE_QUERIES = {
    "engine": "select name from sqlite_master where type = 'table' and name not like 'sqlite%' order by name",
    "postgresql": "select table_name from information_schema.tables "
                  "where table_schema = current_schema() order by table_name",
}

# The statements that open and end a transaction in the library's dialect.
# A deferred transaction takes no lock until it writes, so connections that
# only read never wait for each other or for a writer.
_BEGIN = "begin deferred"
_COMMIT = "commit"
_ROLLBACK = "rollback"

# The library's account of a session's transaction (qcSqlTransactionState),
# and its answer for a session it has lost (a server gone), which holds no
# transaction any more.
_TX_IDLE, _TX_FAILED = _standard.QSCLI_TX_IDLE, _standard.QSCLI_TX_FAILED
_TX_NAMES = {_TX_IDLE: "idle", _standard.QSCLI_TX_OPEN: "open", _TX_FAILED: "failed"}
_TX_LOST = _standard.QSCLI_E_CONNECTION


def _seconds(name, value, zero=True):
    """A timeout in seconds, checked: None (none set) or a number >= 0
    (> 0 when `zero` is False)."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number of seconds or None, not %r" % (name, value))
    if not (value >= 0 if zero else value > 0) or value != value or value == float("inf"):
        raise ValueError("%s must be a finite number of seconds %s 0, not %r" % (name, ">=" if zero else ">", value))
    return float(value)


def _open_session(dsn, user, password, text_encoding="utf-8"):
    """The library's session for `dsn` (a str or a path-like object)."""
    dsn = _os.fspath(dsn)
    if isinstance(dsn, bytes):
        dsn = _os.fsdecode(dsn)
    try:
        return _standard.connect(dsn, user, password, text_encoding=text_encoding)
    except UnicodeEncodeError as exc:
        # Only the character is told: the text may be a password.
        where = "user" if exc.object == user else "password" if exc.object == password else "dsn"
        char = exc.object[exc.start:exc.end]
        if exc.encoding.replace("-", "").lower() == "utf8":
            raise InterfaceError("%r (in the %s) is a lone surrogate, which UTF-8 cannot carry" % (char, where)) from None
        why = ("the connection chose code page 866" if text_encoding == "cp866"
               else "the client library speaks only code page 866")
        raise InterfaceError("%s, which has no %r (in the %s)" % (why, char, where)) from None


class Connection:
    """A session with the database; see connect()."""

    Warning = Warning
    Error = Error
    InterfaceError = InterfaceError
    DatabaseError = DatabaseError
    DataError = DataError
    OperationalError = OperationalError
    IntegrityError = IntegrityError
    InternalError = InternalError
    ProgrammingError = ProgrammingError
    NotSupportedError = NotSupportedError
    CommitOutcomeUnknown = CommitOutcomeUnknown

    #: How rows are made: None for tuples, Row, dict_row, namedtuple_row or
    #: any callable(cursor, row_tuple). A new cursor takes the connection's.
    row_factory = None

    #: How this connection reads PostgreSQL's json and jsonb values:
    #: loads(text). None: the module's (set_json_loads(), json.loads).
    json_loads = None

    #: Called just before a COMMIT goes out, by commit() and by a statement
    #: that commits, and it may then raise to keep the COMMIT from going out;
    #: called with done=True after a statement that committed itself in
    #: autocommit. The asyncio face's: from then on a cancel waits for the
    #: call's outcome.
    _on_commit = None

    def __init__(self, dsn, user="", password="", *, autocommit=False, timeout=None, statement_timeout=None,
                 detect_types=0, text_encoding="utf-8"):
        timeout = _seconds("timeout", timeout)
        #: type -> adapter for this connection, asked before the module's.
        self.adapters = {}
        # Held by the instance, as every attribute each execute reads: the
        # interpreter reads those quickly, a class attribute through a slow look-up.
        self._on_commit = None
        self._cursors = _weakref.WeakSet()
        self.detect_types = detect_types
        self._statement_timeout = _seconds("statement_timeout", statement_timeout, zero=False)
        # Its refusals raise the class the library's code names.
        self._core = _open_session(dsn, user, password, text_encoding)
        self._autocommit = bool(autocommit)
        # Our own account of the transaction, for a library that cannot tell
        # us its own (qcSqlTransactionState); otherwise the library's wins.
        self._in_transaction = False
        # Held while a transaction begins or ends: threads sharing the
        # connection open one transaction, and none runs a statement in one
        # that is ending. Reentrant: a notice handler may use the connection.
        self._lock = _threading.RLock()
        self._control = None
        try:
            self._set_timeouts(timeout)
        except BaseException:
            self.close()
            raise

    def _adapters(self):
        """What the native binding asks for own types: None (no adapter
        registered anywhere, so nothing is asked), else the connection's
        and the module's tables, in that order."""
        if not self.adapters and not adapters:
            return None
        return (self.adapters, adapters)

    def _set_timeouts(self, timeout):
        """The lock wait and, on a server, the statement timeout, as the
        session's own settings (outside any transaction, so they stay)."""
        if timeout is None and self._statement_timeout is None:
            return
        pg = self.dialect == "postgresql"
        if timeout is not None:
            ms = max(1, round(timeout * 1000)) if pg else round(timeout * 1000)
            # 0 means "no limit" to the server, so no wait there is 1 ms.
            self._run("set lock_timeout = %d" % ms if pg else "pragma busy_timeout = %d" % ms)
        if pg and self._statement_timeout is not None:
            self._run("set statement_timeout = %d" % max(1, round(self._statement_timeout * 1000)))

    def _timed(self, call, *args):
        """`call(*args)` stopped by interrupt() once it runs longer than
        statement_timeout (the engine's; a server keeps its own)."""
        seconds = self._statement_timeout
        if seconds is None or self.dialect == "postgresql":
            return call(*args)
        fired = []
        ended = _threading.Event()

        def stop():
            fired.append(True)
            # A stop stops the library call it lands in: one that lands while
            # the call runs Python code (packing rows) reaches none, so it is
            # made again until the call ends.
            while True:
                try:
                    self.interrupt()
                except Error:
                    return  # a library that cannot stop a call lets it end on its own
                if ended.wait(_STOP_AGAIN):
                    return
        timer = _threading.Timer(seconds, stop)
        timer.daemon = True
        timer.start()
        try:
            return call(*args)
        except OperationalError as exc:
            if fired:  # the interrupt it was stopped by
                # SQLite takes the whole transaction back under a write it
                # stops; the library then holds it failed until it is ended.
                lost = "; the engine rolled back the whole transaction with it" if self._state() == _TX_FAILED else ""
                raise OperationalError("the statement ran longer than statement_timeout (%g s) and was stopped%s"
                                       % (seconds, lost)) from exc
            raise
        finally:
            ended.set()
            timer.cancel()

    # -- state -------------------------------------------------------------

    @property
    def closed(self):
        return self._core is None

    def _check(self):
        if self._core is None:
            raise ProgrammingError("the connection is closed")
        return self._core

    @property
    def autocommit(self):
        return self._autocommit

    @autocommit.setter
    def autocommit(self, value):
        self._check()
        value = bool(value)
        if value and self._open():
            self.commit()  # when it fails, the mode stays as it was
        self._autocommit = value

    @property
    def in_transaction(self):
        """True while a transaction is open on the connection."""
        return self._core is not None and self._open()

    @property
    def transaction_status(self):
        """The transaction as the library holds it now: "idle", "open", or
        "failed" (it takes nothing but a rollback); None when the library
        cannot tell (it lacks the capability, or the server is gone)."""
        return _TX_NAMES.get(self._state())

    @property
    def dialect(self):
        """The SQL the connection speaks, for complete_statement() and
        split_statements(): "engine" or "postgresql"."""
        return _DIALECT_NAMES[_standard.dialect(self._check())]

    @property
    def text_encoding(self):
        """How texts cross the client library: "utf-8" when it carries any
        text, "cp866" for a library that speaks only code page 866 (texts
        with other characters are then refused)."""
        return _standard.text_encoding(self._check())

    def _state(self):
        """The library's account of the transaction (_TX_*, or _TX_LOST for
        a session it has lost), or None when it cannot tell."""
        return _standard.transaction_state(self._check())

    def _open(self):
        """Whether a transaction is open, asked of the library when it can
        tell (an error may have ended one: ON CONFLICT ROLLBACK, a refused
        COMMIT on a server, a lost server), else our own account."""
        self._take(self._state())
        return self._in_transaction

    def _take(self, state):
        """Takes the library's account `state` (None: it cannot tell) as ours."""
        if state is not None:
            self._in_transaction = state != _TX_IDLE and state != _TX_LOST

    def _end_due(self):
        """Whether commit() or rollback() has a statement to send: a
        transaction is open, or the session was lost (whatever it held is
        gone, which the library's error then says)."""
        state = self._state()
        self._take(state)
        return self._in_transaction or state == _TX_LOST

    # -- transactions --------------------------------------------------------

    def _run(self, sql):
        if self._control is None:
            self._control = _standard.Cursor(self._check())
        self._control.execute(sql)

    def _begin(self, whole=False):
        """Opens the DB-API transaction before a statement, when one is due;
        with `whole`, in autocommit too, for an operation that must take
        effect whole or not at all. True when it opened one."""
        if (self._autocommit and not whole) or self._open():
            return False
        with self._lock:  # another thread may be beginning or ending one
            if self._open():
                return False
            self._run(_BEGIN)
            self._in_transaction = True
        return True

    def commit(self):
        """Commits the open transaction; nothing to do without one. When the
        COMMIT fails the transaction is what the library says it is: still
        open (a retry commits or fails again, rollback() takes it all back)
        or ended (a server ends one whose COMMIT it refused)."""
        self._check()
        with self._lock:
            if not self._end_due():
                return
            failed = self._state() == _TX_FAILED
            if self._on_commit is not None:
                self._on_commit()
            self._end(_COMMIT)
        if failed:
            # A server answers the COMMIT of a transaction an error failed
            # with a ROLLBACK, which is no success.
            raise OperationalError("the transaction failed at an earlier error and was rolled back: "
                                   "nothing of it was committed")

    def rollback(self):
        """Rolls the open transaction back; nothing to do without one."""
        self._check()
        with self._lock:
            if not self._end_due():
                return
            try:
                self._end(_ROLLBACK)
            except Error as exc:
                # An error may have ended the transaction already (ON
                # CONFLICT ROLLBACK, a full disk): there is nothing left to
                # roll back. A library that cannot tell the state says so by
                # its code.
                state = self._state()
                if state != _TX_IDLE and (state is not None or
                                          getattr(exc, "code", None) != _standard.QSCLI_E_NO_TRANSACTION):
                    raise
                self._in_transaction = False

    def _end(self, sql):
        """Sends COMMIT or ROLLBACK (under the lock). Our own account holds
        no transaction while it runs, so a thread that asks then waits for
        the lock and begins anew rather than run in the ending one."""
        self._in_transaction = False
        try:
            self._run(sql)
        except Error:
            self._in_transaction = True
            self._after_failed_end()
            raise

    def _after_failed_end(self):
        """After a COMMIT or ROLLBACK that failed (an interrupt that landed
        on it, a deferred constraint): the library's state, taken as ours.
        A transaction the server holds as failed takes nothing but a
        rollback, so it gets one here and the connection stays usable.
        Without the library's state the transaction stays open in our
        account until an ending statement succeeds."""
        state = self._state()
        if state == _TX_FAILED:
            try:
                self._run(_ROLLBACK)
            except Error:
                pass  # the caller's error says what went wrong
            state = self._state()
        self._take(state)

    # -- the rest -------------------------------------------------------------

    @property
    def detect_types(self):
        """PARSE_DECLTYPES reads columns through the converters registered
        for their declared types; 0 (the default) reads them as they are."""
        return self._detect_types

    @detect_types.setter
    def detect_types(self, value):
        self._detect_types = value
        # Each cursor keeps its own copy, read when it describes a result.
        for cur in self._cursors:
            cur._detect_types = value

    def cursor(self):
        self._check()
        return Cursor(self)  # it joins self._cursors

    def execute(self, operation, parameters=None):
        """A new cursor that has executed `operation`."""
        return self.cursor().execute(operation, parameters)

    def addrecords(self, table, rows):
        """Loads `rows` (sequences, one value a field in the table's field
        order) into `table` through the bulk path, inside the DB-API
        transaction. None loads NULL. A value that does not fit its field
        exactly (a text longer than the field, a date outside 1900-2078, a
        number outside its type, a wrong type) raises DataError or
        ProgrammingError naming the row and the field; nothing is cut or
        dropped. The error's ``rows_sent`` tells how many rows went in
        before it (they stay in the transaction). A text longer than its
        unbounded (TEXT) field's width in a record goes in with its row by
        itself, in the rows' order. Returns the rows loaded."""
        core = self._check()
        self._begin()
        alone = _RowAlone(core, table)
        try:
            return self._timed(_standard.load, core, table, rows, None, self._adapters(), alone)
        finally:
            alone.close()

    def table_layout(self, table):
        """The fields of `table`, in order: a list of (name, type_code, size,
        declared type) tuples, type_code an element type as in
        Cursor.description and size its bytes in a record. Asked of the
        server once and kept until this connection runs a statement that may
        change a table (anything but queries, row changes, BEGIN, COMMIT and
        savepoints) or a load finds the table changed. A missing table
        raises ProgrammingError or OperationalError, as the server tells."""
        return _standard.table_layout(self._check(), table)

    def tables(self):
        """The names of the tables in the session's schema, sorted."""
        cur = _standard.Cursor(self._check())
        try:
            cur.execute(_TABLE_QUERIES[self.dialect])
            return [row[0] for row in cur.fetchall()]
        finally:
            cur.close()

    # -- messages (pyqivrexdb.messages) ---------------------------------------

    def _receiver(self):
        """This connection's receiver, registered with the library on first
        use."""
        receiver = getattr(self, "_messages", None)
        if receiver is None:
            receiver = _messages.Receiver()
            _standard.set_receiver(self._check(), receiver)
            self._messages = receiver
        return receiver

    def add_notice_handler(self, handler):
        """Calls handler(text) with each server notice of this connection
        (RAISE NOTICE, warnings, the engine's message())."""
        self._receiver().notice_handlers.append(handler)

    def remove_notice_handler(self, handler):
        self._receiver().notice_handlers.remove(handler)

    def add_notify_handler(self, handler):
        """Calls handler(Notify) with each notification this connection
        receives, from now on (it is queued for notifies() as well)."""
        self._receiver().notify_handlers.append(handler)

    def remove_notify_handler(self, handler):
        self._receiver().notify_handlers.remove(handler)

    def notifies(self, timeout=None, stop_after=None):
        """A generator of the notifications (Notify: channel, payload,
        usertype) on the channels this connection LISTENs to, the ones that
        arrived since the first handler or notifies() call included. It
        asks the server every 50 ms and ends once `timeout` seconds have
        passed (None: never) or after `stop_after` notifications."""
        return _messages.notifies(self._receiver(), self._poll, timeout, stop_after)

    def _poll(self):
        """A call on the connection, which delivers what has arrived."""
        self._run("select 1")

    def interrupt(self):
        """Stops the statement running on this connection; callable from any
        thread. The statement raises OperationalError; with nothing running,
        or once closed, nothing happens."""
        core = self._core
        if core is not None:
            core.interrupt()

    def close(self):
        """Rolls back an open transaction and closes; a second close does
        nothing."""
        core = self._core
        if core is None:
            return
        try:
            if self._open():
                try:
                    self._run(_ROLLBACK)
                except Error:
                    # Ending the session rolls back all the same; a server
                    # that is gone has rolled back already.
                    state = self._state()
                    if state is not None and state != _TX_LOST:
                        raise
                self._in_transaction = False
        finally:
            self._core = None
            control, self._control = self._control, None
            try:
                for cur in [control, *self._cursors]:
                    if cur is not None:
                        cur.close()
            finally:
                core.close()

    def __del__(self):
        # A connection dropped without close() must not keep its transaction
        # (and with it a write lock that other connections wait for): it is
        # rolled back and closed, as close() does.
        if getattr(self, "_core", None) is not None:
            try:
                self.close()
            except Exception:  # noqa: BLE001 - nobody to tell
                pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        """Commits when the block succeeded, rolls back when it raised, and
        closes the connection either way."""
        try:
            if self._core is not None:
                if exc_type is None:
                    self.commit()
                else:
                    self.rollback()
        finally:
            self.close()
        return False


def connect(dsn, user="", password="", *, autocommit=False, timeout=None, statement_timeout=None, detect_types=0,
            text_encoding="utf-8"):
    """Opens a Connection: on the embedded engine `dsn` is a database file
    (created when missing) or ":memory:"; a PostgreSQL URI or keyword string
    reaches a server.

    `timeout` (seconds) is how long a statement waits for a lock another
    connection holds before it fails with OperationalError: the engine's
    own 5 s, or the server's lock_timeout, when None. `statement_timeout`
    (seconds, None for none) stops a statement that runs longer: it raises
    OperationalError, the statement's changes are undone, and the connection
    stays usable (the engine rolls back an open transaction with it, a
    server holds it as failed until rollback()).

    `detect_types=PARSE_DECLTYPES` reads columns through the converters
    registered for their declared types (register_converter()).

    `text_encoding`: texts cross the client library in UTF-8 whenever it
    offers that (any text, lengths in characters); "cp866" keeps code page
    866 as the core face does, so the tables it makes on a server hold only
    texts the core face reads. Connection.text_encoding tells which one."""
    return Connection(dsn, user, password, autocommit=autocommit, timeout=timeout,
                      statement_timeout=statement_timeout, detect_types=detect_types, text_encoding=text_encoding)
