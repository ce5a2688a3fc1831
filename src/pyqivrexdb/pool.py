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
adapters, detect_types, statement_timeout, no message handlers), so a
borrower never inherits what the one before it changed; ``reset`` adds a
step of your own for what the pool cannot see (a SET of the session, a
LISTEN). putconn() takes only a connection the pool has lent and not yet
had back.

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

import asyncio
import collections
import math
import threading
import time

from . import aio, dbapi
from ._qxstandard import dsn_with  # type: ignore[import-not-found]
from .errors import OperationalError, ProgrammingError

__all__ = ["ConnectionPool", "AsyncConnectionPool", "PoolTimeout", "PoolClosed"]


class PoolTimeout(OperationalError):
    """No connection became free within the wait timeout."""


class PoolClosed(OperationalError):
    """The pool is closed."""


_COUNTERS = ("requests_num", "requests_waiting", "requests_errors",
             "connections_num", "connections_lost", "connections_expired")


class _Book:
    """What both pools share: the idle connections (the most recently
    returned on top, so the rest age out), the count, the rules and the
    statistics. The caller holds the pool's lock."""

    def __init__(self, min_size, max_size, timeout, max_lifetime, max_idle):
        if max_size is None:
            max_size = max(min_size, 1)
        if not 0 <= min_size <= max_size or max_size < 1:
            raise ValueError("need 0 <= min_size <= max_size and max_size >= 1")
        self.min_size, self.max_size = min_size, max_size
        self.timeout, self.max_lifetime, self.max_idle = timeout, max_lifetime, max_idle
        self.idle = []
        self.size = 0  # connections open or being opened, lent or not
        self.born = {}  # id(conn) -> when it was opened
        self.closed = False
        self.lent = {}  # id(conn) -> conn, for each connection out on loan
        self.lost_at = -math.inf  # when a connection was last found broken
        self.tells_state = None  # whether the library accounts for transactions
        self.settings = None  # what every connection is lent with (_settings)
        self.refilling = False  # whether connections are being opened up to min_size
        # The statistics get_stats() reports, counted as they happen.
        self.requests_num = self.requests_waiting = self.requests_errors = 0
        self.connections_num = self.connections_lost = self.connections_expired = 0

    def take(self, now):
        """An idle connection still within its limits, or None; the ones
        past them, to be closed; whether the connection must answer a query
        first (it was idle when another one was lost)."""
        stale = []
        while self.idle:
            conn, born, returned = self.idle.pop()
            if now - born > self.max_lifetime or (now - returned > self.max_idle and self.size > self.min_size):
                self.forget(conn)
                self.connections_expired += 1
                stale.append(conn)
                continue
            return conn, stale, returned <= self.lost_at
        return None, stale, False

    def added(self, conn, now, sync):
        """Counts a connection just opened; `sync` is its dbapi.Connection,
        whose transaction_status tells whether the library can tell."""
        self.born[id(conn)] = now
        self.connections_num += 1
        if self.tells_state is None:
            self.tells_state = sync.transaction_status is not None
        if self.settings is None:
            self.settings = _settings(sync)

    def lend(self, conn):
        self.lent[id(conn)] = conn

    def returned(self, conn):
        """Takes a lent connection back; refuses one that is not out on loan
        from this pool (handed back already, or never lent by it)."""
        if self.lent.get(id(conn)) is not conn:
            raise ProgrammingError("putconn() takes back only a connection this pool has lent out "
                                   "and not had back yet")
        del self.lent[id(conn)]

    def short(self):
        """Whether the pool holds fewer than min_size connections and nothing
        is opening more yet; then the caller sets refilling and opens them."""
        return not self.closed and not self.refilling and self.size < self.min_size

    def retries(self, deadline):
        """Whether a failed connect is tried again: the pool has connected
        before (the DSN is good; the servers are away) and has time left."""
        return self.connections_num > 0 and deadline is not None and time.monotonic() < deadline

    def lost(self, conn, now):
        self.forget(conn)
        self.connections_lost += 1
        self.lost_at = now

    def forget(self, conn):
        self.size -= 1
        self.born.pop(id(conn), None)

    def give_back(self, conn, now):
        self.idle.append((conn, self.born[id(conn)], now))

    def healthy(self, conn):
        """Whether a connection may be lent: the library holds it idle."""
        if conn.closed:
            return False
        status = conn.transaction_status
        if self.tells_state:
            return status == "idle"
        return not conn.in_transaction  # a library that cannot tell

    def report(self):
        stats = {name: getattr(self, name) for name in _COUNTERS}
        stats.update(pool_min=self.min_size, pool_max=self.max_size, pool_size=self.size,
                     pool_available=len(self.idle))
        return stats


def _close_quietly(conns):
    for conn in conns:
        try:
            conn.close()
        except Exception:  # noqa: BLE001 - a broken connection is dropped anyway
            pass


# How far behind its primary a standby is, in seconds: none when it has
# replayed all it received (an idle primary sends nothing new to replay).
_LAG_SQL = ("select case when not pg_is_in_recovery()"
            " or pg_last_wal_receive_lsn() = pg_last_wal_replay_lsn() then 0"
            " else extract(epoch from now() - pg_last_xact_replay_timestamp()) end")
_RETRY_PAUSE = 0.05


def _within(row, max_lag):
    lag = row[0][0]
    return lag is not None and float(lag) <= max_lag


def _prefer_standby(dsn):
    """The DSN with target_session_attrs=prefer-standby, the rest untouched;
    None for a database file, which has no standby."""
    return dsn_with(dsn, "target_session_attrs", "prefer-standby") if isinstance(dsn, str) else None


# What a borrower may change on its dbapi.Connection that the next borrower
# must not inherit (with the adapters and the message handlers).
_SETTINGS = ("autocommit", "row_factory", "detect_types", "_statement_timeout")


def _settings(conn):
    return {name: getattr(conn, name) for name in _SETTINGS}


def _restore(conn, book):
    """Ends what a returned dbapi.Connection left open and gives it back the
    settings it was lent with; False when it stays broken."""
    if conn.closed:
        return False
    try:
        if not book.healthy(conn):
            conn.rollback()
        if not book.healthy(conn):
            return False
        for name, value in book.settings.items():
            if getattr(conn, name) != value:
                setattr(conn, name, value)  # autocommit: no transaction is open to commit
        if conn.adapters:
            conn.adapters = {}
        receiver = getattr(conn, "_messages", None)
        if receiver is not None:
            receiver.notice_handlers.clear()
            receiver.notify_handlers.clear()
            receiver.pending.clear()
        return True
    except dbapi.Error:
        return False


# ---------------------------------------------------------------------------
# Threads

class ConnectionPool:
    """Lends dbapi.Connection objects to threads; see the module."""

    def __init__(self, dsn, min_size=1, max_size=None, *, user="", password="", autocommit=False,
                 timeout=30.0, max_lifetime=3600.0, max_idle=600.0, check=None, reset=None,
                 read_size=0, max_lag=30.0):
        self._connect_args = (dsn, user, password)
        self._autocommit = autocommit
        self._check = check
        self._reset = reset
        self._book = _Book(min_size, max_size, timeout, max_lifetime, max_idle)
        self._cond = threading.Condition(threading.Lock())
        self._max_lag = max_lag
        read_dsn = _prefer_standby(dsn) if read_size else None
        self._readers = None if read_dsn is None else ConnectionPool(
            read_dsn, 0, read_size, user=user, password=password, autocommit=autocommit,
            timeout=timeout, max_lifetime=max_lifetime, max_idle=max_idle, check=check, reset=reset)
        try:
            self._fill()
        except BaseException:
            self.close()
            raise

    @staticmethod
    def check_connection(conn):
        """A check= that sends a query: the server must answer."""
        conn.cursor().execute("select 1").fetchall()

    def _open(self, deadline=None):
        """A new connection in a place the caller has counted in size."""
        while True:
            try:
                conn = dbapi.connect(*self._connect_args, autocommit=self._autocommit)
                break
            except dbapi.OperationalError:
                if self._book.retries(deadline):
                    time.sleep(_RETRY_PAUSE)
                    continue
                self._give_up_place()
                raise
            except BaseException:
                self._give_up_place()
                raise
        with self._cond:
            self._book.added(conn, time.monotonic(), conn)
        return conn

    def _give_up_place(self):
        with self._cond:
            self._book.size -= 1
            self._cond.notify()

    def _fill(self):
        """Opens connections until the pool holds min_size."""
        book = self._book
        try:
            while True:
                with self._cond:
                    if book.closed or book.size >= book.min_size:
                        return
                    book.size += 1
                self._keep(self._open(time.monotonic() + book.timeout))
        finally:
            book.refilling = False

    def _refill(self):
        """Tops the pool up to min_size in the background, when it is short."""
        with self._cond:
            if not self._book.short():
                return
            self._book.refilling = True
        threading.Thread(target=self._fill_quietly, name="pyqivrexdb-pool", daemon=True).start()

    def _fill_quietly(self):
        try:
            self._fill()
        except Exception:  # noqa: BLE001 - the next loss or borrow tries again
            pass

    def _keep(self, conn):
        """Puts an idle connection where the next borrower finds it."""
        with self._cond:
            if not self._book.closed:
                self._book.give_back(conn, time.monotonic())
                self._cond.notify()
                return
            self._book.forget(conn)
        _close_quietly([conn])

    def getconn(self, timeout=None, read_only=False):
        """Borrows a connection; putconn() hands it back. Raises PoolTimeout
        when none is free within `timeout` (the pool's by default).
        `read_only` borrows from the read-only side, if the pool keeps one."""
        if read_only and self._readers is not None:
            conn = self._readers.getconn(timeout)
            try:
                if _within(conn.cursor().execute(_LAG_SQL).fetchall(), self._max_lag):
                    return conn
            except dbapi.Error:
                pass
            self._readers.putconn(conn)  # kept: the standby may catch up
        book = self._book
        deadline = time.monotonic() + (book.timeout if timeout is None else timeout)
        with self._cond:
            book.requests_num += 1
        while True:
            with self._cond:
                if book.closed:
                    raise PoolClosed("the pool is closed")
                conn, stale, suspect = book.take(time.monotonic())
                grow = conn is None and not stale and book.size < book.max_size
                if grow:
                    book.size += 1  # the place is taken before the lock is let go
                if conn is None and not stale and not grow:
                    left = deadline - time.monotonic()
                    book.requests_waiting += 1
                    if left <= 0 or not self._cond.wait(left):
                        book.requests_waiting -= 1
                        book.requests_errors += 1
                        raise PoolTimeout("no connection became free in %.3g s" % (
                            book.timeout if timeout is None else timeout))
                    book.requests_waiting -= 1
                    continue
            _close_quietly(stale)
            if grow:
                conn = self._open(deadline)
            if conn is not None and self._usable(conn, suspect):
                with self._cond:
                    book.lend(conn)
                self._refill()
                return conn

    def _usable(self, conn, suspect=False):
        try:
            if self._book.healthy(conn):
                if suspect:
                    self.check_connection(conn)
                if self._check is not None:
                    self._check(conn)
                return True
        except Exception:  # noqa: BLE001 - a check that fails says it is broken
            pass
        self._discard(conn)
        return False

    def _discard(self, conn):
        with self._cond:
            self._book.lost(conn, time.monotonic())
            self._cond.notify()
        _close_quietly([conn])
        self._refill()

    def putconn(self, conn):
        """Hands a borrowed connection back, rolled back when it left a
        transaction open and with the settings it was lent with; a broken
        one is closed instead. Refuses a connection this pool has not lent
        out (ProgrammingError), so none is ever lent twice."""
        if self._readers is not None and id(conn) in self._readers._book.lent:
            return self._readers.putconn(conn)
        book = self._book
        with self._cond:
            book.returned(conn)
        if book.closed or self._reset_ok(conn):
            self._keep(conn)  # which closes it in a closed pool
        else:
            self._discard(conn)

    def _reset_ok(self, conn):
        if not _restore(conn, self._book):
            return False
        if self._reset is not None:
            try:
                self._reset(conn)
            except Exception:  # noqa: BLE001 - a reset that fails says it is broken
                return False
        return self._book.healthy(conn)

    def connection(self, timeout=None, read_only=False):
        """A context manager lending a connection: committed when the block
        succeeds, rolled back when it raises, then handed back."""
        return _Lent(self, timeout, read_only)

    def get_stats(self):
        """Counters (requests_num, requests_waiting, requests_errors,
        connections_num, connections_lost, connections_expired) and the
        pool's sizes (pool_min, pool_max, pool_size, pool_available)."""
        with self._cond:
            return self._book.report()

    def close(self):
        """Closes the idle connections; lent ones close when handed back."""
        if self._readers is not None:
            self._readers.close()
        with self._cond:
            self._book.closed = True
            idle, self._book.idle = self._book.idle, []
            for conn, _, _ in idle:
                self._book.forget(conn)
            self._cond.notify_all()
        _close_quietly(conn for conn, _, _ in idle)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False


class _Lent:
    __slots__ = ("_pool", "_timeout", "_read_only", "_conn")

    def __init__(self, pool, timeout, read_only):
        self._pool, self._timeout, self._read_only = pool, timeout, read_only

    def __enter__(self):
        self._conn = self._pool.getconn(self._timeout, self._read_only)
        return self._conn

    def __exit__(self, exc_type, exc, tb):
        conn = self._conn
        try:
            if exc_type is None and not conn.closed and conn.in_transaction:
                conn.commit()
        finally:
            self._pool.putconn(conn)  # which rolls back what is left open
        return False


# ---------------------------------------------------------------------------
# asyncio

class AsyncConnectionPool:
    """Lends aio.AsyncConnection objects to tasks; as ConnectionPool. Open it
    with ``await pool.open()`` or ``async with``. A borrow or a return that
    is cancelled, wherever it waits, gives back what it had taken: the place
    in the pool, and the connection (closed when it was in the middle of
    something)."""

    def __init__(self, dsn, min_size=1, max_size=None, *, user="", password="", autocommit=False,
                 timeout=30.0, max_lifetime=3600.0, max_idle=600.0, check=None, reset=None,
                 read_size=0, max_lag=30.0):
        self._connect_args = (dsn, user, password)
        self._autocommit = autocommit
        self._check = check
        self._reset = reset
        self._book = _Book(min_size, max_size, timeout, max_lifetime, max_idle)
        # The borrowers waiting for a connection, oldest first. The book is
        # only touched between awaits, so it needs no lock; a waiter is woken
        # through its future, which no cancel can lose on the way.
        self._waiters = collections.deque()
        self._filler = None  # the task opening connections up to min_size
        self._max_lag = max_lag
        read_dsn = _prefer_standby(dsn) if read_size else None
        self._readers = None if read_dsn is None else AsyncConnectionPool(
            read_dsn, 0, read_size, user=user, password=password, autocommit=autocommit,
            timeout=timeout, max_lifetime=max_lifetime, max_idle=max_idle, check=check, reset=reset)

    @staticmethod
    async def check_connection(conn):
        """A check= that sends a query: the server must answer."""
        await (await conn.execute("select 1")).fetchall()

    async def open(self):
        """Opens min_size connections."""
        await self._fill()
        return self

    async def _open(self, deadline=None):
        """A new connection in a place the caller has counted in size, and
        gives up when this raises."""
        while True:
            try:
                conn = await aio.connect(*self._connect_args, autocommit=self._autocommit)
                break
            except dbapi.OperationalError:
                if not self._book.retries(deadline):
                    raise
                await asyncio.sleep(_RETRY_PAUSE)
        self._book.added(conn, time.monotonic(), conn.sync)
        return conn

    def _give_up_place(self):
        self._book.size -= 1
        self._wake()

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
        self._book.requests_waiting += 1
        try:
            return await waiter
        except BaseException:
            if waiter.done() and not waiter.cancelled() and waiter.result():
                self._wake()  # woken, but gone: the next one looks instead
            raise
        finally:
            expiry.cancel()
            self._book.requests_waiting -= 1
            if waiter in self._waiters:
                self._waiters.remove(waiter)

    async def _fill(self):
        """Opens connections until the pool holds min_size."""
        book = self._book
        try:
            while not book.closed and book.size < book.min_size:
                book.size += 1
                try:
                    conn = await self._open(time.monotonic() + book.timeout)
                except BaseException:
                    self._give_up_place()
                    raise
                await self._keep(conn)
        finally:
            book.refilling = False

    def _refill(self):
        """Tops the pool up to min_size in the background, when it is short."""
        if self._book.short():
            self._book.refilling = True
            self._filler = asyncio.get_running_loop().create_task(self._fill_quietly())

    async def _fill_quietly(self):
        try:
            await self._fill()
        except Exception:  # noqa: BLE001 - the next loss or borrow tries again
            pass

    async def _keep(self, conn):
        """Puts an idle connection where the next borrower finds it."""
        book = self._book
        if not book.closed:
            book.give_back(conn, time.monotonic())
            self._wake()
            return
        book.forget(conn)
        await _aclose_quietly(conn)

    async def _drop(self, conn, lost=True):
        """Closes a connection, no longer counted (the count first, so that a
        cancel of the close cannot keep its place)."""
        if lost:
            self._book.lost(conn, time.monotonic())
        else:
            self._book.forget(conn)
        self._wake()
        self._refill()
        await _aclose_quietly(conn)

    async def getconn(self, timeout=None, read_only=False):
        if read_only and self._readers is not None:
            conn = await self._readers.getconn(timeout)
            try:
                fresh = _within(await (await conn.execute(_LAG_SQL)).fetchall(), self._max_lag)
            except dbapi.Error:
                fresh = False
            except BaseException:
                await self._readers.putconn(conn)
                raise
            if fresh:
                return conn
            await self._readers.putconn(conn)
        book = self._book
        limit = book.timeout if timeout is None else timeout
        deadline = time.monotonic() + limit
        book.requests_num += 1
        while True:
            if book.closed:
                raise PoolClosed("the pool is closed")
            conn, stale, suspect = book.take(time.monotonic())
            grow = conn is None and not stale and book.size < book.max_size
            if conn is None and not stale and not grow:
                if not await self._wait(deadline):
                    book.requests_errors += 1
                    raise PoolTimeout("no connection became free in %.3g s" % limit)
                continue
            if grow:
                book.size += 1
            conn = await self._ready(conn, stale, grow, suspect, deadline)
            if conn is not None:
                book.lend(conn)
                self._refill()
                return conn

    async def _ready(self, conn, stale, grow, suspect, deadline):
        """`conn`, or with `grow` a new connection in the place taken for it,
        when it is fit to lend; None when it was not (and is gone). When this
        raises, the place and the connection are given up."""
        try:
            for old in stale:
                await _aclose_quietly(old)
            if grow:
                conn = await self._open(deadline)
                grow = False
            if conn is None or await self._usable(conn, suspect):
                return conn
        except BaseException:
            if grow:
                self._give_up_place()
            elif conn is not None:
                await self._drop(conn, lost=False)
            raise
        await self._drop(conn)
        return None

    async def _usable(self, conn, suspect=False):
        """Whether a connection may be lent; a check that fails says no."""
        try:
            if not self._book.healthy(conn.sync):
                return False
            if suspect:
                await self.check_connection(conn)
            if self._check is not None:
                await self._check(conn)
            return True
        except Exception:  # noqa: BLE001 - a check that fails says it is broken
            return False

    async def putconn(self, conn):
        """As ConnectionPool.putconn()."""
        if self._readers is not None and id(conn) in self._readers._book.lent:
            return await self._readers.putconn(conn)
        book = self._book
        book.returned(conn)
        try:
            ok = book.closed or await self._reset_ok(conn)
        except BaseException:
            await self._drop(conn, lost=False)
            raise
        if ok:
            await self._keep(conn)  # which closes it in a closed pool
        else:
            await self._drop(conn)

    async def _reset_ok(self, conn):
        book = self._book
        if conn.closed:
            return False
        # The settings alone are put back here; a transaction left open
        # takes a rollback, on the connection's thread.
        ok = _restore(conn.sync, book) if book.healthy(conn.sync) else await conn._run(_restore, conn.sync, book)
        if ok and self._reset is not None:
            try:
                await self._reset(conn)
            except Exception:  # noqa: BLE001 - a reset that fails says it is broken
                return False
            ok = book.healthy(conn.sync)
        return ok

    def connection(self, timeout=None, read_only=False):
        return _AsyncLent(self, timeout, read_only)

    def get_stats(self):
        return self._book.report()

    async def close(self):
        if self._readers is not None:
            await self._readers.close()
        book = self._book
        book.closed = True
        idle, book.idle = book.idle, []
        for conn, _, _ in idle:
            book.forget(conn)
        while self._waiters:
            self._wake()  # each finds the pool closed
        filler, self._filler = self._filler, None
        if filler is not None and not filler.done():
            filler.cancel()
            await asyncio.wait([filler])
        for conn, _, _ in idle:
            await _aclose_quietly(conn)

    async def __aenter__(self):
        return await self.open()

    async def __aexit__(self, exc_type, exc, tb):
        await self.close()
        return False


def _answer(future, value):
    if not future.done():
        future.set_result(value)


async def _aclose_quietly(conn):
    try:
        await conn.close()
    except Exception:  # noqa: BLE001 - a broken connection is dropped anyway
        pass


class _AsyncLent:
    __slots__ = ("_pool", "_timeout", "_read_only", "_conn")

    def __init__(self, pool, timeout, read_only):
        self._pool, self._timeout, self._read_only = pool, timeout, read_only

    async def __aenter__(self):
        self._conn = await self._pool.getconn(self._timeout, self._read_only)
        return self._conn

    async def __aexit__(self, exc_type, exc, tb):
        conn, pool = self._conn, self._pool
        if exc_type is not None:
            await pool.putconn(conn)  # which rolls back
            return False
        try:
            if not conn.closed and conn.sync.in_transaction:
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
