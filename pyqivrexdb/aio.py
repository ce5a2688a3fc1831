"""pyqivrexdb.aio: the standard face for asyncio.

    from pyqivrexdb import aio
    async with await aio.connect("sales.db") as conn:
        cur = await conn.execute("select name from orders where id = ?", (7,))
        async for row in cur:
            print(row)

Each connection has a thread of its own where its calls run, the
interpreter lock released while the library works, so the event loop goes
on meanwhile. A call whose task is cancelled (also by ``asyncio.timeout``)
is interrupted in the library and raises CancelledError; the connection
stays usable. Handlers of notices and notifications run on the connection's
thread.
"""

import asyncio
import concurrent.futures
import functools
import time

from . import dbapi, messages

__all__ = ["connect", "AsyncConnection", "AsyncCursor"]

# How often a cancelled call is asked again to stop, in seconds: a request
# that lands between two library calls reaches neither.
_INTERRUPT_AGAIN = 0.05


class _Worker:
    """The thread one connection's calls run on, in the order they came."""

    def __init__(self):
        self._pool = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="pyqivrexdb-aio")

    async def run(self, interrupt, fn, *args, **kwargs):
        future = self._pool.submit(functools.partial(fn, *args, **kwargs))
        waiting = asyncio.wrap_future(future)
        try:
            return await asyncio.shield(waiting)
        except asyncio.CancelledError:
            if not future.cancel():  # it runs already: stop it in the library
                await _stop(waiting, interrupt)
            raise

    def shutdown(self):
        self._pool.shutdown(wait=False)


async def _stop(waiting, interrupt):
    """Interrupts the call until it has ended, so the next one finds the
    connection free; its outcome is dropped."""
    while not waiting.done():
        interrupt()
        await asyncio.wait([waiting], timeout=_INTERRUPT_AGAIN)
    if not waiting.cancelled():
        waiting.exception()  # retrieved: the caller was told CancelledError


async def connect(dsn, user="", password="", *, autocommit=False):
    """Opens an AsyncConnection, as dbapi.connect() does."""
    worker = _Worker()
    try:
        conn = await worker.run(lambda: None, _open, dsn, user, password, autocommit)
    except BaseException:
        worker.shutdown()
        raise
    return AsyncConnection(conn, worker)


def _open(dsn, user, password, autocommit):
    conn = dbapi.connect(dsn, user, password, autocommit=autocommit)
    conn._receiver()  # later handlers then touch no library state
    return conn


class AsyncConnection:
    """A dbapi.Connection whose waiting calls are coroutines."""

    Error = dbapi.Error

    def __init__(self, connection, worker):
        self.sync = connection  # the dbapi.Connection underneath
        self._worker = worker

    def _run(self, fn, *args, **kwargs):
        return self._worker.run(self.sync.interrupt, fn, *args, **kwargs)

    @property
    def closed(self):
        return self.sync.closed

    @property
    def autocommit(self):
        return self.sync.autocommit

    async def set_autocommit(self, value):
        await self._run(setattr, self.sync, "autocommit", value)

    @property
    def dialect(self):
        return self.sync.dialect

    async def in_transaction(self):
        return await self._run(lambda: self.sync.in_transaction)

    def cursor(self):
        return AsyncCursor(self)

    async def execute(self, operation, parameters=None):
        return await self.cursor().execute(operation, parameters)

    async def commit(self):
        await self._run(self.sync.commit)

    async def rollback(self):
        await self._run(self.sync.rollback)

    async def addrecords(self, table, rows):
        return await self._run(self.sync.addrecords, table, rows)

    async def tables(self):
        return await self._run(self.sync.tables)

    def interrupt(self):
        self.sync.interrupt()

    async def close(self):
        if self.sync.closed:
            return
        try:
            await self._run(self.sync.close)
        finally:
            self._worker.shutdown()

    # -- messages ------------------------------------------------------------

    def add_notice_handler(self, handler):
        self.sync.add_notice_handler(handler)

    def remove_notice_handler(self, handler):
        self.sync.remove_notice_handler(handler)

    def add_notify_handler(self, handler):
        self.sync.add_notify_handler(handler)

    def remove_notify_handler(self, handler):
        self.sync.remove_notify_handler(handler)

    async def notifies(self, timeout=None, stop_after=None):
        """The notifications as they come, as Connection.notifies()."""
        pending = self.sync._receiver().pending
        deadline = None if timeout is None else time.monotonic() + timeout
        given = 0
        while stop_after is None or given < stop_after:
            if not pending:
                await self._run(self.sync._poll)
            if pending:
                given += 1
                yield pending.popleft()
                continue
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return
            await asyncio.sleep(messages.POLL_INTERVAL if left is None else min(messages.POLL_INTERVAL, left))

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc, tb):
        """Commits when the block succeeded, rolls back when it raised, and
        closes the connection either way."""
        if self.sync.closed:
            return False
        try:
            await self._run(self.sync.__exit__, exc_type, exc, tb)
        finally:
            self._worker.shutdown()
        return False


class AsyncCursor:
    """A dbapi.Cursor whose waiting calls are coroutines. ``async for``
    fetches ``arraysize`` rows a call."""

    def __init__(self, connection):
        self.connection = connection
        self._cursor = None  # made on the connection's thread, on first use
        self.arraysize = 100

    def _run(self, fn, *args):
        return self.connection._run(fn, *args)

    def _sync(self):
        if self._cursor is None:
            self._cursor = self.connection.sync.cursor()
        return self._cursor

    def _attribute(self, name, default):
        return default if self._cursor is None else getattr(self._cursor, name)

    @property
    def description(self):
        return self._attribute("description", None)

    @property
    def rowcount(self):
        return self._attribute("rowcount", -1)

    @property
    def lastrowid(self):
        return self._attribute("lastrowid", None)

    @property
    def return_value(self):
        return self._attribute("return_value", None)

    async def execute(self, operation, parameters=None):
        await self._run(lambda: self._sync().execute(operation, parameters))
        return self

    async def executemany(self, operation, seq_of_parameters):
        await self._run(lambda: self._sync().executemany(operation, seq_of_parameters))
        return self

    async def fetchone(self):
        return await self._run(lambda: self._sync().fetchone())

    async def fetchmany(self, size=None):
        return await self._run(lambda: self._sync().fetchmany(self.arraysize if size is None else size))

    async def fetchall(self):
        return await self._run(lambda: self._sync().fetchall())

    async def close(self):
        if self._cursor is not None:
            await self._run(self._cursor.close)

    def __aiter__(self):
        return self._rows()

    async def _rows(self):
        while True:
            rows = await self.fetchmany()
            if not rows:
                return
            for row in rows:
                yield row

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc, tb):
        await self.close()
        return False
