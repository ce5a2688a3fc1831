"""pyqivrexdb.dbapi: the standard DB-API 2.0 face of pyqivrexdb.

    from pyqivrexdb import dbapi
    with dbapi.connect("sales.db") as conn:
        cur = conn.cursor()
        cur.execute("select name, amount from orders where id = ?", (7,))
        print(cur.fetchall())          # [('Ivanov', 12.5)]

Parameters are bound, never formatted: ``?`` takes the next item of a
sequence, ``:name`` the item of a mapping, and each value becomes exactly one
literal. Rows are tuples; NULL is None; CHAR texts read as stored, BLOBs as
bytes, dates as datetime.date. Transactions follow the DB-API: with
``autocommit=False`` (the default) the first statement opens one, and
``commit()``/``rollback()`` end it. On the engine a ``Decimal`` that a double
would change (more significant digits than it keeps) raises DataError on
every path rather than being stored inexactly; on PostgreSQL it is bound
exactly, as are UUID, timedelta, Json/Jsonb, lists (arrays) and ipaddress
values.

The core face, ``pyqivrexdb.connect``, is unchanged; both share the same
native code.
"""

import datetime as _datetime
import functools as _functools
import itertools as _itertools
import json as _json
import os as _os
import threading as _threading
import time as _time
import weakref as _weakref

from . import messages as _messages
from . import qxcore as _qxcore
from .messages import Notify  # noqa: F401 - a notification
from .errors import (  # noqa: F401 - the module's exception classes
    CommitOutcomeUnknown, DataError, DatabaseError, Error, IntegrityError, InterfaceError, InternalError,
    NotSupportedError, OperationalError, ProgrammingError, Warning,
)

import pyqivrexdb._qxstandard as _standard  # made by importing qxcore  # noqa: E402
import pyqivrexdb._arrow as _arrow  # noqa: E402
from pyqivrexdb._qxstandard import Row, dict_row, namedtuple_row  # noqa: E402,F401

apilevel = "2.0"
threadsafety = 1  # threads may share the module, not connections
paramstyle = "qmark"  # also "named": cursor.execute("... where id = :id", {"id": 7})

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks",
    "Binary", "Json", "Jsonb", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
    "CommitOutcomeUnknown", "complete_statement", "split_statements", "Row", "dict_row", "namedtuple_row", "Notify",
    "register_adapter", "register_converter", "adapters", "converters", "PARSE_DECLTYPES", "set_json_loads",
]

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
# The first word of a statement that commits, in both dialects (COMMIT [WORK
# | TRANSACTION | PREPARED ...], END [TRANSACTION]).
_COMMIT_WORDS = ("commit", "end")

# The library's account of a session's transaction (qcSqlTransactionState).
_TX_IDLE, _TX_FAILED = _standard.QSCLI_TX_IDLE, _standard.QSCLI_TX_FAILED
_TX_NAMES = {_TX_IDLE: "idle", _standard.QSCLI_TX_OPEN: "open", _TX_FAILED: "failed"}

# The dialects whose lexical rules the statement readers know, by the names
# callers use and by the library's codes.
_DIALECTS = {"engine": _standard.QSCLI_DIALECT_ENGINE, "postgresql": _standard.QSCLI_DIALECT_PG}
_DIALECT_NAMES = {code: name for name, code in _DIALECTS.items()}


def _dialect_code(dialect):
    try:
        return _DIALECTS[dialect]
    except (KeyError, TypeError):
        raise ValueError("dialect must be one of %s, not %r" % (", ".join(map(repr, _DIALECTS)), dialect)) from None


# ---------------------------------------------------------------------------
# Statements of a text

def complete_statement(statement, dialect="engine"):
    """True when `statement` ends with a complete statement: a ";" outside
    literals, quoted names and comments, and outside the body of a CREATE
    TRIGGER, FUNCTION or PROCEDURE (BEGIN ... END), followed by nothing but
    blanks and comments. `dialect` is "engine" (the embedded engine's SQL)
    or "postgresql" (also E'' texts, $tag$ bodies, nested comments);
    Connection.dialect names a connection's."""
    return _standard.complete(statement, _dialect_code(dialect))


def split_statements(text, dialect="engine"):
    """The statements of `text` in order, by the rules of
    complete_statement(): each with its ";" and the comments before it,
    then the unfinished rest, if it holds more than blanks and closed
    comments (it is the one item for which complete_statement() is False).
    Empty statements are left out."""
    return _standard.split(text, _dialect_code(dialect))


# ---------------------------------------------------------------------------
# Type objects and constructors

class _TypeObject(frozenset):
    """Compares equal to each element type code of its group."""

    def __eq__(self, other):
        if isinstance(other, int):
            return other in self
        return frozenset.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = frozenset.__hash__


STRING = _TypeObject({_qxcore.QSCLI_ET_CHAR})
BINARY = _TypeObject({_qxcore.QSCLI_ET_ARRA})
NUMBER = _TypeObject({_qxcore.QSCLI_ET_BYTE, _qxcore.QSCLI_ET_INTR, _qxcore.QSCLI_ET_WORD,
                      _qxcore.QSCLI_ET_NMBR, _qxcore.QSCLI_ET_LONG, _qxcore.QSCLI_ET_DWRD,
                      _qxcore.QSCLI_ET_FLOA, _qxcore.QSCLI_ET_CURR, _qxcore.QSCLI_ET_DFLT,
                      _standard.QSCLI_ET_INT64})
DATETIME = _TypeObject({_qxcore.QSCLI_ET_DATE})
ROWID = _TypeObject({_qxcore.QSCLI_ET_LONG})

Date = _datetime.date
Time = _datetime.time
Timestamp = _datetime.datetime
Binary = bytes


class Json:
    """A document bound as PostgreSQL's ``json``: ``dumps(obj)`` (json.dumps
    unless another is given, which must return str) is its text. The engine
    has no such type and refuses it."""

    __slots__ = ("obj", "dumps")

    def __init__(self, obj, dumps=None):
        self.obj = obj
        self.dumps = _json.dumps if dumps is None else dumps

    def __repr__(self):
        return "%s(%r)" % (type(self).__name__, self.obj)


class Jsonb(Json):
    """A document bound as PostgreSQL's ``jsonb``; see Json."""

    __slots__ = ()


def DateFromTicks(ticks):
    return Date(*_time.localtime(ticks)[:3])


def TimeFromTicks(ticks):
    return Time(*_time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks):
    return Timestamp(*_time.localtime(ticks)[:6])


# ---------------------------------------------------------------------------
# Adapters and converters

#: type -> callable(obj) returning a value the face binds; every connection
#: asks its own Connection.adapters first.
adapters = {}
#: declared type name (upper case) -> callable(text) returning a Python value;
#: a cursor chooses each column's when it describes a result.
converters = {}

#: detect_types flag: convert columns by their declared type's first word.
PARSE_DECLTYPES = 1


class _ServerText:
    """The declared types (first word) whose values a connection opened
    with detect_types=_SERVER_TEXT reads as the server writes them, as psql
    shows them: times, dates, numerics, arrays, JSON, addresses, intervals."""
    NAMES = frozenset(("TIMESTAMP", "DATE", "TIME", "INTERVAL", "NUMERIC", "JSON", "JSONB", "UUID", "INET",
                       "CIDR", "MACADDR", "MACADDR8", "MONEY"))

    def __bool__(self):
        return True

    def get(self, name, default=None):
        return str if name in self.NAMES or name.endswith("[]") else default


_server_text = _ServerText()
#: detect_types flag (the shell's, on a server): read _server_text's types as text.
_SERVER_TEXT = 2


def register_adapter(type, adapter):
    """Binds a value whose exact type is `type` as `adapter(value)`, which
    must return a value the face binds as it is (None, bool, int, float,
    str, bytes, date, time, datetime or Decimal; on PostgreSQL also one of the
    server's types the face binds, such as a UUID or Json). Asked only for values of
    other types, in statements and in bulk loads alike."""
    adapters[type] = adapter


def register_converter(typename, converter):
    """Reads the columns declared as `typename` (case-insensitive; the first
    word of the declaration, as in ``NUMERIC(10, 2)``) as
    `converter(text)`, on connections opened with
    detect_types=PARSE_DECLTYPES. The converter gets the value's text (str;
    bytes for a binary column); NULL stays None without a call."""
    converters[typename.upper()] = converter


def set_json_loads(loads):
    """Reads PostgreSQL's json and jsonb values as ``loads(text)`` from now
    on, on every connection (``json.loads`` until set; None restores it):
    ``set_json_loads(functools.partial(json.loads, parse_float=Decimal))``.
    An error of `loads` is raised as DataError naming the column."""
    _standard.set_json_loads(loads)


# ---------------------------------------------------------------------------
# Connection

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
        self._cursors = _weakref.WeakSet()
        self.detect_types = detect_types
        self._statement_timeout = _seconds("statement_timeout", statement_timeout, zero=False)
        # Its refusals raise the class the library's code names.
        self._core = _open_session(dsn, user, password, text_encoding)
        self._autocommit = bool(autocommit)
        # Our own account of the transaction, for a library that cannot tell
        # us its own (qcSqlTransactionState); otherwise the library's wins.
        self._in_transaction = False
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

        def stop():
            fired.append(True)
            try:
                self.interrupt()
            except Error:
                pass  # a library that cannot stop a call lets it end on its own
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
        state = self._state()
        return None if state is None else _TX_NAMES[state]

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
        """The library's account of the transaction (_TX_*), or None when it
        cannot tell."""
        return _standard.transaction_state(self._check())

    def _open(self):
        """Whether a transaction is open, asked of the library when it can
        tell (an error may have ended one: ON CONFLICT ROLLBACK, a refused
        COMMIT on a server), else our own account."""
        state = self._state()
        if state is not None:
            self._in_transaction = state != _TX_IDLE
        return self._in_transaction

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
        self._run(_BEGIN)
        self._in_transaction = True
        return True

    def commit(self):
        """Commits the open transaction; nothing to do without one. When the
        COMMIT fails the transaction is what the library says it is: still
        open (a retry commits or fails again, rollback() takes it all back)
        or ended (a server ends one whose COMMIT it refused)."""
        self._check()
        if not self._open():
            return
        if self._on_commit is not None:
            self._on_commit()
        try:
            self._run(_COMMIT)
        except Error:
            self._after_failed_end()
            raise
        self._in_transaction = False

    def rollback(self):
        """Rolls the open transaction back; nothing to do without one."""
        self._check()
        if not self._open():
            return
        try:
            self._run(_ROLLBACK)
        except Error as exc:
            state = self._after_failed_end()
            if state is None:
                # An error may have ended the transaction already (ON
                # CONFLICT ROLLBACK, a full disk): a library that cannot tell
                # the state says so by its code, and there is nothing left to
                # roll back.
                if getattr(exc, "code", None) != _standard.QSCLI_E_NO_TRANSACTION:
                    raise
            elif state != _TX_IDLE:
                raise
        self._in_transaction = False

    def _after_failed_end(self):
        """After a COMMIT or ROLLBACK that failed (an interrupt that landed
        on it, a deferred constraint): the library's state, taken as ours.
        A transaction the server holds as failed takes nothing but a
        rollback, so it gets one here and the connection stays usable.
        Without the library's state the transaction stays open in our
        account until an ending statement succeeds. Returns the state."""
        state = self._state()
        if state == _TX_FAILED:
            try:
                self._run(_ROLLBACK)
            except Error:
                pass  # the caller's error says what went wrong
            state = self._state()
        if state is not None:
            self._in_transaction = state != _TX_IDLE
        return state

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
            return _standard.load(core, table, rows, None, self._adapters(), alone)
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
                    # that is gone (the library cannot tell any state) has
                    # rolled back already.
                    if self._state() is not None:
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


# ---------------------------------------------------------------------------
# Cursor

# Fewer rows than this go one statement each (a load costs more for a few),
# their values held to the bulk path's types.
_BULK_MIN_ROWS = 64


def _name(token):
    """The name a token spells, or None when it is not a plain or quoted
    name this face can read."""
    kind, text = token
    if kind == "word":
        return text
    if kind != "name" or text[0] not in "\"`[":
        return None
    if text[0] == "[":
        return text[1:-1]
    return text[1:-1].replace(text[0] * 2, text[0])


@_functools.lru_cache(maxsize=256)
def _plain_insert_of(operation, dialect):
    """_plain_insert of a statement's text, read once a text: executemany
    asks it of every call."""
    return _plain_insert(_standard.tokens(operation, dialect))


def _plain_insert(tokens):
    """(table, field names or None, placeholders) of ``INSERT INTO t
    [(names)] VALUES (?, ...) [;]`` from the statement's tokens, else None."""
    if tokens and tokens[-1][0] == "semi":
        tokens = tokens[:-1]
    if len(tokens) < 6 or [t[1].lower() for t in tokens[:2]] != ["insert", "into"] or \
            any(kind != "word" for kind, _ in tokens[:2]):
        return None
    table = _name(tokens[2])
    at = 3
    names = None
    if tokens[at] == ("other", "("):
        names = []
        while True:
            name = _name(tokens[at + 1]) if at + 1 < len(tokens) else None
            if name is None or at + 2 >= len(tokens):
                return None
            names.append(name)
            at += 2
            if tokens[at] == ("other", ")"):
                at += 1
                break
            if tokens[at] != ("other", ","):
                return None
    rest = tokens[at:]
    if table is None or len(rest) < 4 or rest[0][0] != "word" or rest[0][1].lower() != "values":
        return None
    marks = rest[2:-1:2]
    if rest[1] != ("other", "(") or rest[-1] != ("other", ")") or any(m != ("other", "?") for m in marks) or \
            any(c != ("other", ",") for c in rest[3:-1:2]) or len(rest) != 2 * len(marks) + 2:
        return None
    return table, names, len(marks)


def _commits(operation, core):
    """Whether the statement `operation` commits a transaction: its first
    word, read by the lexer of the session's dialect."""
    if not isinstance(operation, str):
        return False
    first = _standard.tokens(operation, _standard.dialect(core), 1)
    return bool(first) and first[0][0] == "word" and first[0][1].lower() in _COMMIT_WORDS


class _RowAlone:
    """Stores one row of a load into `table` by itself (an INSERT of its
    values), for a row whose text is longer than its unbounded field's
    width in a record; its cursor is made at the first such row."""

    def __init__(self, core, table):
        self._core, self._table, self._cur, self._sql = core, table, None, None

    def __call__(self, row):
        if self._cur is None:
            self._cur = _standard.Cursor(self._core)
            marks = ", ".join("?" * len(row))
            self._sql = "insert into %s values (%s)" % (self._name(), marks)
        _standard.Cursor.execute(self._cur, self._sql, row, None)

    def _name(self):
        """The table as SQL names it: the one its layout was read for."""
        if _standard.dialect(self._core) == _standard.QSCLI_DIALECT_PG:
            self._cur.execute("select coalesce(to_regclass(quote_ident(?)), to_regclass(?))::text",
                              (self._table, self._table))
            return self._cur.fetchone()[0]
        return '"%s"' % self._table.replace('"', '""')

    def close(self):
        if self._cur is not None:
            self._cur.close()


def _peek(rows, n):
    """(all the rows, a list of the first n or fewer) of the iterable
    `rows`, reading no more than n. When reading them raises, all the rows
    are those read, then the error."""
    rows = iter(rows)
    head = []
    try:
        for row in rows:
            head.append(row)
            if len(head) == n:
                return _itertools.chain(head, rows), head
    except BaseException as exc:  # noqa: B902 - raised again after the rows read
        return _then_raise(head, exc), head[:0]
    return head, head


def _then_raise(rows, exc):
    yield from rows
    raise exc


class Cursor(_standard.Cursor):
    """A cursor of a Connection: execute statements, fetch rows as tuples."""

    def __new__(cls, connection):
        return _standard.Cursor.__new__(cls, connection._check())

    def __init__(self, connection):
        self.connection = connection
        # read at the first fetch of each result set
        self.row_factory = connection.row_factory
        self._detect_types = connection.detect_types
        connection._cursors.add(self)

    def execute(self, operation, parameters=None):
        """Runs `operation` with `parameters` bound (a sequence for ``?``, a
        mapping for ``:name``). Returns the cursor."""
        conn = self.connection
        # In autocommit no transaction is due: the call is left out, as the
        # adapters' when none is registered (the common point query).
        if not conn._autocommit:
            conn._begin()
        hook = conn._on_commit
        if hook is not None and _commits(operation, conn._core):
            hook()
        chosen = conn._adapters() if conn.adapters or adapters else None
        if conn._statement_timeout is None:
            _standard.Cursor.execute(self, operation, parameters, chosen)
        else:
            conn._timed(_standard.Cursor.execute, self, operation, parameters, chosen)
        if hook is not None and conn._autocommit and self.description is None and not conn._open():
            hook(done=True)
        return self

    def executescript(self, sql_script):
        """Runs the statements of `sql_script` (split_statements() in the
        connection's dialect) one after another, as the standard library's
        sqlite3 does: a pending transaction is committed first, and the
        statements run as written, with no transaction opened for them, so
        a script's own BEGIN ... COMMIT holds. The first failing statement
        raises and the rest do not run; a transaction the script opened
        stays open (in_transaction) for commit() or rollback(). The last
        statement needs no ";"; a script that ends inside a literal, a
        comment or a trigger's body raises ProgrammingError before anything
        runs. Returns the cursor."""
        if not isinstance(sql_script, str):
            raise TypeError("executescript() takes a str, not %s" % type(sql_script).__name__)
        conn = self.connection
        dialect = conn.dialect
        statements = split_statements(sql_script, dialect)
        # The ";" on a line of its own: a line comment cannot swallow it.
        if statements and not complete_statement(statements[-1], dialect) and \
                not complete_statement(statements[-1] + "\n;", dialect):
            raise ProgrammingError("the script ends in an unfinished statement: %.60r" % statements[-1].strip())
        conn.commit()
        for statement in statements:
            conn._timed(_standard.Cursor.execute, self, statement, None)
        return self

    def executemany(self, operation, seq_of_parameters):
        """Runs `operation` once for each item of `seq_of_parameters`, all in
        one transaction. A plain ``INSERT INTO t [(every field)] VALUES (?,
        ...)`` of 64 rows or more goes through the bulk path (then every
        value must suit its field's type, as for Connection.addrecords),
        whatever iterable holds them: of an iterator only the first 64 rows
        are read to tell. Fewer rows go one statement each, held to the same
        Python types (a str for an integer field is refused). Another INSERT, UPDATE, DELETE or REPLACE with
        ``?`` placeholders goes to a library that offers it a batch of rows
        a call, each row stored, refused and counted as its own execute()
        would. Each value's adapter runs once, whichever way its row goes.
        rowcount is the number of rows changed."""
        conn = self.connection
        own = conn._autocommit and conn._begin(whole=True)
        try:
            conn._timed(self._executemany, operation, seq_of_parameters)
            if own and conn._on_commit is not None:
                conn._on_commit()  # it may refuse the COMMIT: then all is rolled back
        except BaseException:
            if own:
                conn.rollback()
            raise
        if own:
            conn.commit()
        return self

    def _executemany(self, operation, seq):
        conn = self.connection
        conn._begin()
        head = seq
        if not isinstance(seq, (list, tuple)) and isinstance(operation, str):
            # Any other iterable takes the path a list of its rows would: its
            # first rows tell which, the rest follow unread.
            seq, head = _peek(seq, _BULK_MIN_ROWS)
        table, fields = self._bulk_table(operation, head)
        if table is None or len(head) < _BULK_MIN_ROWS:
            # Fewer rows go one statement each, held to the same types.
            _standard.Cursor.executemany(self, operation, seq, conn._adapters(), fields)
            return
        # A row with a text longer than its unbounded field's width runs by
        # itself, as execute() would run it.
        _standard.load(conn._core, table, seq, self, conn._adapters(),
                       lambda row: _standard.Cursor.execute(self, operation, row, None))

    def _bulk_table(self, operation, seq):
        """(the table a plain INSERT loads into through the bulk path, its
        fields), or (None, None)."""
        # Without null flags (the vendor's library) a load could not take None.
        if not isinstance(operation, str) or not isinstance(seq, (list, tuple)) or not seq or not self.null_flags:
            return None, None
        insert = _plain_insert_of(operation, _standard.dialect(self.connection._core))
        if insert is None:
            return None, None
        table, names, marks = insert
        fields = self._fields_of(table)
        if fields is None or len(fields) != marks or _qxcore.QSCLI_ET_ARRA in [f[1] for f in fields]:
            return None, None
        if names is not None and [n.lower() for n in names] != [f[0].lower() for f in fields]:
            return None, None
        return table, fields

    def _fields_of(self, table):
        try:
            return self.connection.table_layout(table)
        except Error:
            return None

    # -- columns (ADBC's names) ----------------------------------------------

    def fetch_arrow(self):
        """The rest of the result set as Arrow data: an object exporting
        ``__arrow_c_stream__``, for pyarrow, polars, DuckDB or nanoarrow
        (none of them needed here). Its batches are read from the server as
        the consumer asks for them; it can be consumed once."""
        return _arrow.fetch_arrow(self)

    def fetch_arrow_table(self):
        """The rest of the result set as a pyarrow.Table."""
        return _arrow.fetch_arrow_table(self)

    def fetch_record_batch(self):
        """The rest of the result set as a pyarrow.RecordBatchReader that
        reads it a batch at a time."""
        return _arrow.fetch_record_batch(self)

    def fetch_df(self):
        """The rest of the result set as a pandas DataFrame."""
        return _arrow.fetch_df(self)

    def fetch_polars(self):
        """The rest of the result set as a polars DataFrame."""
        return _arrow.fetch_polars(self)

    def adbc_ingest(self, table_name, data, mode="create"):
        """Loads Arrow data (any object exporting ``__arrow_c_stream__`` or
        ``__arrow_c_array__``: a pyarrow Table or RecordBatchReader, a polars
        DataFrame) into `table_name` through the bulk path. `mode`:
        "create" makes the table from the data's schema, "append" loads into
        the existing one, "replace" drops and makes it again,
        "create_append" makes it when missing. Columns go into the fields of
        their names (case aside); a column without a field, or a field
        without a column, raises ProgrammingError before anything is
        written, as does a column of a type that cannot be loaded (struct,
        union, list...: NotSupportedError). A value that does not fit its
        field raises as Connection.addrecords does, naming the row and the
        field, with ``rows_sent``; so does a source stream that fails
        (DataError). Returns the number of rows loaded."""
        return _arrow.adbc_ingest(self, table_name, data, mode)

    @property
    def return_value(self):
        """The value the last statement returned (``return EXPR``, the rows
        an INSERT, UPDATE or DELETE changed), or None."""
        return self.retcode()

    def setinputsizes(self, sizes):
        pass

    def setoutputsize(self, size, column=None):
        pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
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
