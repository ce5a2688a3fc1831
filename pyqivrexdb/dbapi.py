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
``commit()``/``rollback()`` end it.

The core face, ``pyqivrexdb.connect``, is unchanged; both share the same
native code.
"""

import datetime as _datetime
import re as _re
import time as _time
import weakref as _weakref

from . import errors as _errors
from . import qxcore as _qxcore
from .errors import (  # noqa: F401 - the module's exception classes
    DataError, DatabaseError, Error, IntegrityError, InterfaceError, InternalError,
    NotSupportedError, OperationalError, ProgrammingError, Warning,
)

import pyqivrexdb._qxstandard as _std  # made by importing qxcore  # noqa: E402

apilevel = "2.0"
threadsafety = 1  # threads may share the module, not connections
paramstyle = "qmark"  # also "named": cursor.execute("... where id = :id", {"id": 7})

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks",
    "Binary", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
]

# The statements that open and end a transaction in the library's dialect.
# A deferred transaction takes no lock until it writes, so connections that
# only read never wait for each other or for a writer.
_BEGIN = "begin deferred"
_COMMIT = "commit"
_ROLLBACK = "rollback"


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
                      _std.QSCLI_ET_INT64})
DATETIME = _TypeObject({_qxcore.QSCLI_ET_DATE})
ROWID = _TypeObject({_qxcore.QSCLI_ET_LONG})

Date = _datetime.date
Time = _datetime.time
Timestamp = _datetime.datetime
Binary = bytes


def DateFromTicks(ticks):
    return Date(*_time.localtime(ticks)[:3])


def TimeFromTicks(ticks):
    return Time(*_time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks):
    return Timestamp(*_time.localtime(ticks)[:6])


# ---------------------------------------------------------------------------
# Errors

def _by_cause(exc):
    """The standard face's error for an error of the core: the class the
    library's code names, the server's text when the library told one."""
    code = getattr(exc, "error_code_qivrex", None)
    if not isinstance(code, int):
        return exc
    cls = getattr(_errors, _std.class_for_code(code))
    text = getattr(exc, "server_text", None)
    new = cls(text or str(exc))
    new.code = code
    new.error_code_qivrex = code
    new.server_text = text
    return new


# ---------------------------------------------------------------------------
# Connection

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

    def __init__(self, dsn, user="", password="", *, autocommit=False):
        try:
            self._core = _qxcore.connect(dsn, user, password)
        except _errors.Error as exc:
            raise _by_cause(exc) from None
        self._autocommit = bool(autocommit)
        self._in_transaction = False
        self._control = None
        self._cursors = _weakref.WeakSet()

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
        if value and self._in_transaction:
            self.commit()
        self._autocommit = value

    @property
    def in_transaction(self):
        """True while a transaction the DB-API opened is open."""
        return self._in_transaction

    # -- transactions --------------------------------------------------------

    def _run(self, sql):
        if self._control is None:
            self._control = _std.Cursor(self._check())
        self._control.execute(sql)

    def _begin(self):
        """Opens the DB-API transaction before a statement, when one is due."""
        if not self._autocommit and not self._in_transaction:
            self._run(_BEGIN)
            self._in_transaction = True

    def commit(self):
        """Commits the open transaction; nothing to do without one."""
        self._check()
        if self._in_transaction:
            self._in_transaction = False
            self._run(_COMMIT)

    def rollback(self):
        """Rolls the open transaction back; nothing to do without one."""
        self._check()
        if self._in_transaction:
            self._in_transaction = False
            try:
                self._run(_ROLLBACK)
            except Error as exc:
                # An error may have ended the transaction in the engine
                # already (ON CONFLICT ROLLBACK, a full disk): then there is
                # nothing left to roll back.
                if "no transaction is active" not in (exc.server_text or ""):
                    raise

    # -- the rest -------------------------------------------------------------

    def cursor(self):
        self._check()
        cur = Cursor(self)
        self._cursors.add(cur)
        return cur

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
        before it (they stay in the transaction). Returns the rows loaded."""
        core = self._check()
        self._begin()
        return _std.load(core, table, rows)

    def interrupt(self):
        """Stops the statement running on this connection; callable from any
        thread. The statement raises OperationalError; with nothing running,
        or once closed, nothing happens."""
        core = self._core
        if core is not None:
            try:
                core.interrupt()
            except _errors.Error as exc:
                raise _by_cause(exc) from None

    def close(self):
        """Rolls back an open transaction and closes; a second close does
        nothing."""
        core = self._core
        if core is None:
            return
        try:
            if self._in_transaction:
                self._in_transaction = False
                self._run(_ROLLBACK)
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

# An INSERT that executemany can hand to the bulk path: every value a
# placeholder, into all of the table's fields in their order.
_PLAIN_INSERT = _re.compile(
    r'\s*insert\s+into\s+("(?:[^"]|"")+"|[A-Za-z_][\w$]*)\s*'
    r'(?:\(\s*((?:"(?:[^"]|"")+"|[A-Za-z_][\w$]*)(?:\s*,\s*(?:"(?:[^"]|"")+"|[A-Za-z_][\w$]*))*)\s*\)\s*)?'
    r'values\s*\(\s*(\?(?:\s*,\s*\?)*)\s*\)\s*;?\s*\Z',
    _re.IGNORECASE)

# Fewer rows than this go one statement each: the table's layout costs a query.
_BULK_MIN_ROWS = 64


def _unquote(name):
    if name.startswith('"'):
        return name[1:-1].replace('""', '"')
    return name


class Cursor(_std.Cursor):
    """A cursor of a Connection: execute statements, fetch rows as tuples."""

    def __new__(cls, connection):
        return _std.Cursor.__new__(cls, connection._check())

    def __init__(self, connection):
        self.connection = connection

    def execute(self, operation, parameters=None):
        """Runs `operation` with `parameters` bound (a sequence for ``?``, a
        mapping for ``:name``). Returns the cursor."""
        self.connection._begin()
        return _std.Cursor.execute(self, operation, parameters)

    def executemany(self, operation, seq_of_parameters):
        """Runs `operation` once for each item of `seq_of_parameters`, all in
        one transaction. A plain ``INSERT INTO t [(every field)] VALUES (?,
        ...)`` goes through the bulk path (then every value must suit its
        field's type, as for Connection.addrecords). rowcount is the number
        of rows changed."""
        conn = self.connection
        own = conn._autocommit and not conn._in_transaction
        if own:
            conn._run(_BEGIN)
            conn._in_transaction = True
        try:
            self._executemany(operation, seq_of_parameters)
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
        table = self._bulk_table(operation, seq)
        if table is None:
            _std.Cursor.executemany(self, operation, seq)
            return
        _std.load(conn._core, table, seq, self)

    def _bulk_table(self, operation, seq):
        """The table a plain INSERT of many rows loads into through the bulk
        path, or None."""
        # Without null flags (the vendor's library) a load could not take None.
        if not isinstance(operation, str) or not isinstance(seq, (list, tuple)) or len(seq) < _BULK_MIN_ROWS \
                or not self.null_flags:
            return None
        m = _PLAIN_INSERT.match(operation)
        if not m:
            return None
        table = _unquote(m.group(1))
        marks = m.group(3).count("?")
        fields = self._fields_of(table)
        if fields is None or len(fields) != marks or _qxcore.QSCLI_ET_ARRA in [f[1] for f in fields]:
            return None
        if m.group(2):
            names = [_unquote(n.strip()) for n in _split_names(m.group(2))]
            if [n.lower() for n in names] != [f[0].lower() for f in fields]:
                return None
        return table

    def _fields_of(self, table):
        cur = _std.Cursor(self.connection._core)
        try:
            cur.execute('select fname, type from QXTBLSTRUCT("%s")' % table.replace('"', '""'))
            return cur.fetchall()
        except Error:
            return None
        finally:
            cur.close()

    def setinputsizes(self, sizes):
        pass

    def setoutputsize(self, size, column=None):
        pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False


def _split_names(text):
    names, cur, quoted = [], "", False
    for ch in text:
        if ch == '"':
            quoted = not quoted
        if ch == "," and not quoted:
            names.append(cur)
            cur = ""
        else:
            cur += ch
    names.append(cur)
    return names


def connect(dsn, user="", password="", *, autocommit=False):
    """Opens a Connection: on the embedded engine `dsn` is a database file
    (created when missing) or ":memory:"."""
    return Connection(dsn, user, password, autocommit=autocommit)
