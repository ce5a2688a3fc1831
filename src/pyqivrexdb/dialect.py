"""SQLAlchemy dialect for pyqivrexdb: ``create_engine("qivrex:///sales.db")``.

The embedded engine runs SQLite underneath, so this dialect is SQLAlchemy's
own SQLite dialect (its SQL compiler, DDL and reflection) driven by
``pyqivrexdb.dbapi``. What differs is what the engine's records can carry:
every declared type maps onto one of its element types, and a value that
does not fit one is refused, never cut or wrapped.

========================  =================  ===============================
SQLAlchemy type           declared as        element type, what reads back
========================  =================  ===============================
Integer                   INTEGER            LONG: 32 bits
SmallInteger              SMALLINT           INTR: 16 bits
BigInteger                BIGINT             INT64: 64 bits, exact, as int
                                             (DFLT, a double, from a library
                                             without 64-bit integers)
Float(precision <= 24)    FLOAT              FLOA: single precision
Float, Double             DOUBLE             DFLT
Numeric(p, s)             NUMERIC(p, s)      DFLT: a double, then Decimal
String(n) / CHAR(n)       VARCHAR(n)/CHAR(n) CHAR n: CP866 text
Text, String()            TEXT / VARCHAR     CHAR as wide as the longest
Date                      DATE               DATE: 1900-01-01 .. 2078-12-31
DateTime, Time            DATETIME, TIME     text, as SQLite's dialect
Boolean                   BOOLEAN            BYTE
LargeBinary               BLOB               ARRA: the bytes stored, whole
========================  =================  ===============================

Beyond their range, values are refused when written: 2**31 for an INTEGER
column, 2**63 for a BIGINT one, or a date outside the engine's years raise
``DataError``.

The library must run SQLite's SQL, as the embedded engine does. SQLAlchemy
and this module are optional; the driver itself needs neither.
"""

import datetime
import os
from typing import Any, Dict

from sqlalchemy import exc, pool
from sqlalchemy import types as sqltypes
from sqlalchemy.dialects.sqlite.base import DATE, SQLiteTypeCompiler, ischema_names
from sqlalchemy.dialects.sqlite.pysqlite import SQLiteDialect_pysqlite

__all__ = ["QivrexDialect", "dialect"]


def _exact_int(value):
    # Integer expressions past 32 bits arrive as doubles from a library
    # without 64-bit integers; the engine refuses any that is not exact.
    if value.__class__ is float and value.is_integer():
        return int(value)
    return value


class _Integer(sqltypes.Integer):
    def result_processor(self, dialect, coltype):
        return _exact_int


class _BigInteger(sqltypes.BigInteger):
    def result_processor(self, dialect, coltype):
        return _exact_int


class _Date(DATE):
    """Dates travel as ``datetime.date``: the engine packs them itself and
    refuses those outside its years when they are bound."""

    def bind_processor(self, dialect):
        def process(value):
            return value.date() if isinstance(value, datetime.datetime) else value

        return process

    def literal_processor(self, dialect):
        text = DATE.bind_processor(self, dialect)
        return lambda value: "'%s'" % text(value)

    def result_processor(self, dialect, coltype):
        parse = DATE.result_processor(self, dialect, coltype)

        def process(value):
            # A DATE column gives dates; a date computed as text gives a string.
            if value is None or value.__class__ is datetime.date:
                return value
            return parse(value)

        return process


def _single_float(*args):
    # FLOAT and FLOA hold single precision, whatever precision was declared
    return sqltypes.FLOAT(precision=24)


class QivrexTypeCompiler(SQLiteTypeCompiler):
    def visit_FLOAT(self, type_, **kw):
        # The engine keeps FLOAT in 4 bytes: a double must be declared so.
        if type_.precision is not None and type_.precision <= 24:
            return "FLOAT"
        return "DOUBLE"


# The engine's own type names, and SQL names it gives a meaning SQLite lacks.
_engine_names: Dict[str, Any] = {
    "LONG": sqltypes.INTEGER,
    "MEDIUMINT": sqltypes.INTEGER,
    "NMBR": sqltypes.INTEGER,
    "WORD": sqltypes.INTEGER,
    "INTR": sqltypes.SMALLINT,
    "BYTE": sqltypes.SMALLINT,
    "TINYINT": sqltypes.SMALLINT,
    "DWORD": sqltypes.BIGINT,
    "DWRD": sqltypes.BIGINT,
    "FLOAT": _single_float,
    "FLOA": _single_float,
    "DFLT": sqltypes.DOUBLE,
    "CURR": sqltypes.DOUBLE,
    "CURRENCY": sqltypes.DOUBLE,
    "MONEY": sqltypes.DOUBLE,
    "STRING": sqltypes.TEXT,
    "CLOB": sqltypes.TEXT,
    "CHARACTER": sqltypes.CHAR,
    "BINARY": sqltypes.BINARY,
    "VARBINARY": sqltypes.VARBINARY,
}


class QivrexDialect(SQLiteDialect_pysqlite):
    name = "qivrex"
    driver = "pyqivrexdb"
    supports_statement_cache = True
    default_paramstyle = "qmark"
    returns_native_bytes = True

    type_compiler_cls = QivrexTypeCompiler
    ischema_names = {**ischema_names, **_engine_names}
    colspecs = {
        **SQLiteDialect_pysqlite.colspecs,
        sqltypes.Date: _Date,
        sqltypes.Integer: _Integer,
        sqltypes.BigInteger: _BigInteger,
    }

    def __init__(self, dbapi=None, **kw):
        # SQLite's dialect reads its feature flags from sqlite3's library
        # version; ours come from the engine when the first connection opens.
        super().__init__(**kw)
        self.dbapi = dbapi

    @classmethod
    def import_dbapi(cls):
        from pyqivrexdb import dbapi

        return dbapi

    def retrieve_dbapi_version(self, dbapi):
        from importlib.metadata import PackageNotFoundError, version

        from sqlalchemy import util

        try:
            return util.parse_version_string(version("pyqivrexdb"))
        except PackageNotFoundError:  # a development tree, not installed
            return None

    def create_connect_args(self, url):
        if url.host or url.port:
            raise exc.ArgumentError(
                "qivrex URLs name a database file, not a host: "
                "qivrex:///relative.db, qivrex:////absolute/path.db or qivrex:///:memory:; "
                "a PostgreSQL server is postgresql+qivrex://user@host/db")
        if url.query:
            raise exc.ArgumentError(
                "qivrex URLs take no query arguments (got %s); pass driver options "
                "through create_engine(connect_args=...)" % ", ".join(sorted(url.query)))
        dsn = url.database or ":memory:"
        if dsn != ":memory:":
            dsn = os.path.abspath(dsn)
        return [dsn], {"user": url.username or "", "password": url.password or ""}

    @classmethod
    def get_pool_class(cls, url):
        if url.database and url.database != ":memory:":
            return pool.QueuePool
        # Each :memory: connection is a database of its own.
        return pool.SingletonThreadPool

    def on_connect(self):
        # SQLite's driver registers Python functions here (regexp, floor);
        # the engine runs no Python code, so neither exists.
        return None

    def initialize(self, connection):
        super().initialize(connection)
        version = self.server_version_info
        self.supports_multivalues_insert = version >= (3, 7, 11)
        returning = version >= (3, 35)
        self.insert_returning = self.update_returning = self.delete_returning = returning
        if version < (3, 32):
            self.insertmanyvalues_max_parameters = 999

    def _get_server_version_info(self, connection):
        if connection.connection.dbapi_connection.dialect != "engine":
            # creator= may hand over a connection to a server
            raise exc.ArgumentError("the connection reaches a PostgreSQL server: use a postgresql+qivrex:// URL")
        text = connection.exec_driver_sql("select sqlite_version()").scalar()
        return tuple(int(part) for part in text.split(".") if part.isdigit())

    def set_isolation_level(self, dbapi_connection, level):
        if level == "AUTOCOMMIT":
            dbapi_connection.autocommit = True
            return
        dbapi_connection.autocommit = False
        super(SQLiteDialect_pysqlite, self).set_isolation_level(dbapi_connection, level)

    def get_isolation_level(self, dbapi_connection):
        if dbapi_connection.autocommit:
            return "AUTOCOMMIT"
        return super().get_isolation_level(dbapi_connection)

    def detect_autocommit_setting(self, dbapi_conn):
        return dbapi_conn.autocommit

    def is_disconnect(self, e, connection, cursor):
        # The connection says whether it is closed; the error's text is not read.
        return (isinstance(e, self.loaded_dbapi.ProgrammingError) and connection is not None
                and getattr(connection, "closed", False) is True)


dialect = QivrexDialect
