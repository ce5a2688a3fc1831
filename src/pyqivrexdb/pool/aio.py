"""The pool of tasks: the rules of core carried out with awaits."""

import asyncio
import collections
import time

from .. import aio
from . import core
from .core import WAIT, Steps


class _AsyncLent(core.Lent):
    __slots__ = ()

    async def __aenter__(self):
        self._conn = await self._pool.getconn(self._timeout, self._read_only)
        return self._conn

    async def __aexit__(self, exc_type, exc, tb):
        conn, pool = self._conn, self._pool
        if exc_type is not None:
            await pool.putconn(conn)  # which rolls back
            return False
        try:
            if not conn.closed and conn.sync._end_due():  # a transaction, or a server lost under the block
                await conn.commit()  # whose outcome a cancel does not hide
        except BaseException:
            await pool.putconn(conn)
            raise
        try:
            await pool.putconn(conn)
        except asyncio.CancelledError:
            # The block's work is done and the connection handed back (or
            # closed, when the cancel stopped its reset): a cancel now
            # changes neither, so it does not say otherwise.
            pass
        return False


class AsyncConnectionPool(core.Pool):
    """Lends aio.AsyncConnection objects to tasks; as ConnectionPool. Open it
    with ``await pool.open()`` or ``async with``. A borrow or a return that
    is cancelled, wherever it waits, gives back what it had taken: the place
    in the pool, and the connection (closed when it was in the middle of
    something)."""

    _lent = _AsyncLent

    def _start(self):
        # The borrowers waiting for a connection, oldest first. The book is
        # only touched between awaits, so it needs no lock; a waiter is woken
        # through its future, which no cancel can lose on the way.
        self._waiters = collections.deque()
        self._filler = None  # the task opening connections up to min_size

    async def _drive(self, rule):
        """Carries out a rule of core, each step it asks for awaited."""
        steps, reply = Steps(rule), None
        while (step := steps.next(reply)) is not None:
            try:
                reply = await (self._wait if step[0] is WAIT else step[0])(*step[1:])
            except BaseException as exc:  # noqa: BLE001 - handed to the rule
                steps.error = exc
        return steps.result

    @staticmethod
    async def check_connection(conn):
        """A check= that sends a query: the server must answer."""
        await (await conn.execute("select 1")).fetchall()

    async def open(self):
        """Opens min_size connections."""
        await self._drive(core.fill(self))
        return self

    _plain = staticmethod(lambda conn: conn.sync)

    def _connect(self):
        return aio.connect(*self._connect_args, autocommit=self._autocommit)

    _sleep = staticmethod(asyncio.sleep)

    @staticmethod
    async def _close(conns):
        for conn in conns:
            try:
                await conn.close()
            except Exception:  # noqa: BLE001 - a broken connection is dropped anyway
                pass

    async def _restore(self, conn):
        """The settings alone are put back here; a transaction left open
        takes a rollback, on the connection's thread."""
        if conn.closed:
            return False
        if self._book.healthy(conn.sync):
            return core.restore(conn.sync, self._book)
        return await conn._run(core.restore, conn.sync, self._book)

    @staticmethod
    async def _lag(conn):
        return await (await conn.execute(core.LAG_SQL)).fetchall()

    def _wake(self):
        """Lets the borrower that has waited longest look again."""
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(True)
                return

    async def _wait(self, deadline):
        """Waits until a connection may have come free; False when the
        deadline passed first."""
        loop = asyncio.get_running_loop()
        waiter = loop.create_future()
        self._waiters.append(waiter)
        expiry = loop.call_later(max(deadline - time.monotonic(), 0), _answer, waiter, False)
        try:
            return await waiter
        except BaseException:
            if waiter.done() and not waiter.cancelled() and waiter.result():
                self._wake()  # woken, but gone: the next one looks instead
            raise
        finally:
            expiry.cancel()
            if waiter in self._waiters:
                self._waiters.remove(waiter)

    def _refill(self):
        """Tops the pool up to min_size in a task, when it is short."""
        if self._book.short():
            self._book.refilling = True
            self._filler = asyncio.get_running_loop().create_task(self._fill_quietly())

    async def _fill_quietly(self):
        try:
            await self._drive(core.fill(self))
        except Exception:  # noqa: BLE001 - the next loss or borrow tries again
            pass

    async def getconn(self, timeout=None, read_only=False):
        """As ConnectionPool.getconn()."""
        return await self._drive(core.borrow(self, timeout, read_only))

    async def putconn(self, conn):
        """As ConnectionPool.putconn()."""
        await self._drive(core.give_back(self, conn))

    def get_stats(self):
        return self._book.report()

    async def close(self):
        if self._readers is not None:
            await self._readers.close()
        idle = self._book.shut()
        while self._waiters:
            self._wake()  # each finds the pool closed
        filler, self._filler = self._filler, None
        if filler is not None and not filler.done():
            filler.cancel()
            await asyncio.wait([filler])
        await self._close(idle)

    async def __aenter__(self):
        return await self.open()

    async def __aexit__(self, exc_type, exc, tb):
        await self.close()
        return False


def _answer(future, value):
    if not future.done():
        future.set_result(value)

