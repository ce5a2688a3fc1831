"""pyqivrexdb.pool: connections kept open and lent out, for threads
(ConnectionPool) and for asyncio (AsyncConnectionPool).

    from pyqivrexdb.pool import ConnectionPool
    pool = ConnectionPool("sales.db", min_size=2, max_size=10)
    with pool.connection() as conn:          # a dbapi.Connection
        conn.execute("insert into orders values (?, ?)", (8, 3.5))
    # committed when the block succeeded, rolled back when it raised

A borrowed connection is checked first: the library must hold it idle, no
transaction open or failed (it answers from its own state, no round trip),
and it must be younger than ``max_lifetime`` and used within ``max_idle``;
``check`` adds a test of your own (``ConnectionPool.check_connection``
sends a query). A connection that comes back with a transaction open is
rolled back; one whose transaction cannot be ended, or that the library
cannot account for, is closed and never lent again. A returned connection
gets back the settings it was first lent with (autocommit, row_factory,
adapters, detect_types, json_loads, statement_timeout, no message
handlers), so a borrower never inherits what the one before it changed;
``reset`` adds a step of your own for what the pool cannot see (a SET of
the session, a LISTEN). putconn() takes only a connection the pool has
lent and not yet had back.

When one connection is lost, the server may be gone for all of them: the
idle connections returned before the loss are sent a query before they are
lent again. A pool that has connected once waits out an outage within its
timeout, trying to connect again, so with a DSN that lists every server
(``target_session_attrs=read-write``) it goes on with the new primary after
a failover without the caller doing anything.

``read_size=N`` keeps a read-only side of up to N connections, borrowed with
``connection(read_only=True)``: the DSN with ``target_session_attrs=
prefer-standby``, so a standby where one answers, the primary where none
does. A standby more than ``max_lag`` seconds behind its primary is passed
over for that borrow, which gets a connection of the writing side instead.
A database file has no standby: there the read-only side is the pool
itself.

Connections found broken are replaced in the background until the pool
holds ``min_size`` again, so after a server restart it is full again
without waiting for demand.
"""

from .aio import AsyncConnectionPool
from .core import PoolClosed, PoolTimeout, prefer_standby as _prefer_standby  # noqa: F401
from .sync import ConnectionPool

__all__ = ["ConnectionPool", "AsyncConnectionPool", "PoolTimeout", "PoolClosed"]
