"""SQLAlchemy's asyncio extension over pyqivrexdb.aio:
``create_async_engine("qivrex+aio:///sales.db")``.

The dialect is pyqivrexdb.dialect's, with its SQL, types and URLs; only the
driver underneath is the asyncio face, adapted by SQLAlchemy's own layer for
asyncio drivers. Cancelling a task (or ``asyncio.timeout``) stops the
statement in the library, as on the asyncio face.
"""

from sqlalchemy import pool
from sqlalchemy.connectors.asyncio import AsyncAdapt_dbapi_connection, AsyncAdapt_dbapi_module
from sqlalchemy.dialects.sqlite.base import SQLiteExecutionContext
from sqlalchemy.util.concurrency import await_

from .dialect import QivrexDialect

__all__ = ["QivrexAsyncDialect", "dialect"]

# What SQLAlchemy reads from a driver module besides connect().
_MODULE_NAMES = (
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
    "Binary", "Date", "Time", "Timestamp", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID",
    "apilevel", "threadsafety", "paramstyle",
)


class _AdaptedConnection(AsyncAdapt_dbapi_connection):
    __slots__ = ()

    @property
    def dialect(self):
        """The session's SQL dialect, as the sync connection's."""
        return self._connection.dialect

    @property
    def autocommit(self):
        return self._connection.autocommit

    @autocommit.setter
    def autocommit(self, value):
        try:
            await_(self._connection.set_autocommit(value))
        except Exception as error:  # noqa: BLE001 - handed to SQLAlchemy's handler
            self._handle_exception(error)


class _AdaptedModule(AsyncAdapt_dbapi_module):
    def __init__(self, aio, dbapi):
        super().__init__(aio, dbapi_module=dbapi)
        for name in _MODULE_NAMES:
            setattr(self, name, getattr(dbapi, name))

    def connect(self, *args, **kwargs):
        creator = kwargs.pop("async_creator_fn", None) or self.driver.connect
        return _AdaptedConnection(self, await_(creator(*args, **kwargs)))


class _ExecutionContext(SQLiteExecutionContext):
    def create_server_side_cursor(self):
        # Rows come a fetch at a time from the library's result set.
        return self._dbapi_connection.cursor(server_side=True)


class QivrexAsyncDialect(QivrexDialect):
    driver = "aio"
    is_async = True
    supports_statement_cache = True
    supports_server_side_cursors = True
    execution_ctx_cls = _ExecutionContext

    @classmethod
    def import_dbapi(cls):
        from pyqivrexdb import aio, dbapi

        return _AdaptedModule(aio, dbapi)

    @classmethod
    def get_pool_class(cls, url):
        if url.database and url.database != ":memory:":
            return pool.AsyncAdaptedQueuePool
        # Each :memory: connection is a database of its own: keep one.
        return pool.StaticPool

    def get_driver_connection(self, connection):
        return connection._connection


dialect = QivrexAsyncDialect
