"""Alembic's migrations on ``qivrex://`` URLs: Alembic's SQLite support,
registered under the dialect's name (an ``alembic.plugins`` entry point
imports this module; importing it by hand does the same).

The engine enforces foreign keys, and Alembic's batch mode rebuilds a table
(create a copy, move the rows, drop the old one, rename), so dropping a table
that other tables refer to would fail. As Alembic's SQLite guidance says,
foreign keys are off while a migration connection runs: this is done when
the migration context opens (outside a transaction: SQLite ignores the
setting inside one) and undone when the connection goes back to its pool.
A connection already inside a transaction keeps its foreign keys on, with a
warning. ``postgresql+qivrex://`` URLs use Alembic's PostgreSQL support
unchanged.
"""

def setup(plugin):
    """Alembic's plugin hook: the class statement below registers the
    implementation."""


# Defined first: importing alembic loads its plugins, this module among
# them, which must then already offer setup().
from alembic.ddl.sqlite import SQLiteImpl  # noqa: E402
from alembic.util import warn  # noqa: E402
from sqlalchemy import event  # noqa: E402

__all__ = ["QivrexImpl", "setup"]

_MARK = "qivrex_foreign_keys_off"


def _foreign_keys(dbapi_connection, on):
    # The pragma takes effect only outside a transaction.
    autocommit, dbapi_connection.autocommit = dbapi_connection.autocommit, True
    try:
        dbapi_connection.execute("pragma foreign_keys = %s" % ("on" if on else "off")).close()
    finally:
        dbapi_connection.autocommit = autocommit


def _restore(dbapi_connection, record):
    if record.info.pop(_MARK, False):
        _foreign_keys(dbapi_connection, True)


class QivrexImpl(SQLiteImpl):
    __dialect__ = "qivrex"

    def __init__(self, dialect, connection, *args, **kw):
        super().__init__(dialect, connection, *args, **kw)
        if connection is not None:  # None: offline, writing SQL only
            self._foreign_keys_off(connection)

    @staticmethod
    def _foreign_keys_off(connection):
        fairy = connection.connection
        dbapi_connection = fairy.dbapi_connection
        if connection.in_transaction() or dbapi_connection.in_transaction:
            warn("the migration's connection is inside a transaction, so foreign keys stay on; "
                 "batch operations on a table that others refer to will fail")
            return
        pool = connection.engine.pool
        if not event.contains(pool, "checkin", _restore):
            event.listen(pool, "checkin", _restore)
        _foreign_keys(dbapi_connection, False)
        fairy.info[_MARK] = True

