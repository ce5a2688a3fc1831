# mypy: ignore-errors
# (typed by the package's stub, __init__.pyi, as dbapi.py was)
"""The module's names: the DB-API globals, type objects and constructors, the
statements of a text, and the adapters and converters every connection uses."""

import datetime as _datetime
import json as _json
import time as _time
from .. import qxcore as _qxcore
import pyqivrexdb._qxstandard as _standard  # made by importing qxcore  # noqa: E402


apilevel = "2.0"
threadsafety = 1  # threads may share the module, not connections
paramstyle = "qmark"  # also "named": cursor.execute("... where id = :id", {"id": 7})

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
