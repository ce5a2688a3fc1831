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

import sys as _sys
import types as _types

from .. import qxcore as _qxcore  # noqa: F401 - makes pyqivrexdb._qxstandard
from ..messages import Notify  # noqa: F401 - a notification
from ..errors import (  # noqa: F401 - the module's exception classes
    CommitOutcomeUnknown, DataError, DatabaseError, Error, IntegrityError, InterfaceError, InternalError,
    NotSupportedError, OperationalError, ProgrammingError, Warning,
)

import pyqivrexdb._qxstandard as _standard  # made by importing qxcore  # noqa: E402,F401
from pyqivrexdb._qxstandard import Row, dict_row, namedtuple_row  # noqa: E402,F401
from ._names import (  # noqa: E402,F401
    BINARY, Binary, DATETIME, Date, DateFromTicks, Json, Jsonb, NUMBER, PARSE_DECLTYPES, ROWID, STRING,
    Time, TimeFromTicks, Timestamp, TimestampFromTicks, _SERVER_TEXT, _TypeObject, _server_text,
    _dialect_code, adapters, apilevel, complete_statement, converters, paramstyle, register_adapter,
    register_converter, set_json_loads, split_statements, threadsafety,
)
from ._cursor import Cursor, _BULK_MIN_ROWS, _RowAlone, _plain_insert  # noqa: E402,F401
from ._connection import Connection, connect  # noqa: E402,F401

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks",
    "Binary", "Json", "Jsonb", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
    "CommitOutcomeUnknown", "complete_statement", "split_statements", "Row", "dict_row", "namedtuple_row", "Notify",
    "register_adapter", "register_converter", "adapters", "converters", "PARSE_DECLTYPES", "set_json_loads",
]

# The registries, documented where the documentation looks for them.
#: type -> callable(obj) returning a value the face binds; every connection
#: asks its own Connection.adapters first.
adapters = adapters
#: declared type name (upper case) -> callable(text) returning a Python value;
#: a cursor chooses each column's when it describes a result.
converters = converters

# Classes and functions say they come from pyqivrexdb.dbapi, as they did
# (reprs, pickles, documentation, the type stub).
for _object in list(globals().values()):
    if isinstance(_object, (type, _types.FunctionType)) and _object.__module__.startswith(__name__ + "._"):
        _object.__module__ = __name__
del _object


# Rebinding a name of the package (dbapi.adapters = {}, as callers and tests
# do) rebinds it in each of its modules that holds it, as when they were one.
class _Package(_types.ModuleType):
    def __setattr__(self, name, value):
        super().__setattr__(name, value)
        for part in (_names, _cursor, _connection):
            if name in vars(part):
                setattr(part, name, value)


_sys.modules[__name__].__class__ = _Package
