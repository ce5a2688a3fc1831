"""The rules both pools follow, written once: the book of connections, and
the borrow, return and fill of one as generators of steps, which the pool of
threads (sync) and the pool of tasks (aio) carry out each its own way.

A step is a tuple (fn, *args): the pool calls or awaits fn(*args) and sends
its outcome back in, or throws in what it raised; WAIT is the pool's own
wait for a connection to come free. Between steps a rule only touches the
book and calls pool._wake() and pool._refill(): the pool of threads holds
its lock there (and lets it go for each step but WAIT); the pool of tasks
needs none, since the book is touched only between awaits.
"""

import math
import time

from .. import dbapi
from .._qxstandard import dsn_with  # type: ignore[import-not-found]
from ..errors import OperationalError, ProgrammingError


class PoolTimeout(OperationalError):
    """No connection became free within the wait timeout."""


class PoolClosed(OperationalError):
    """The pool is closed."""


_COUNTERS = ("requests_num", "requests_waiting", "requests_errors",
             "connections_num", "connections_lost", "connections_expired")


class Book:
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

    def shut(self):
        """Closes the book: the idle connections, no longer counted, for the
        caller to close."""
        self.closed = True
        idle, self.idle = self.idle, []
        for conn, _, _ in idle:
            self.forget(conn)
        return [conn for conn, _, _ in idle]

    def report(self):
        stats = {name: getattr(self, name) for name in _COUNTERS}
        stats.update(pool_min=self.min_size, pool_max=self.max_size, pool_size=self.size,
                     pool_available=len(self.idle))
        return stats


# How far behind its primary a standby is, in seconds: none when it has
# replayed all it received (an idle primary sends nothing new to replay).
LAG_SQL = ("select case when not pg_is_in_recovery()"
           " or pg_last_wal_receive_lsn() = pg_last_wal_replay_lsn() then 0"
           " else extract(epoch from now() - pg_last_xact_replay_timestamp()) end")
RETRY_PAUSE = 0.05


def within(row, max_lag):
    lag = row[0][0]
    return lag is not None and float(lag) <= max_lag


def prefer_standby(dsn):
    """The DSN with target_session_attrs=prefer-standby, the rest untouched;
    None for a database file, which has no standby."""
    return dsn_with(dsn, "target_session_attrs", "prefer-standby") if isinstance(dsn, str) else None


# What a borrower may change on its dbapi.Connection that the next borrower
# must not inherit (with the adapters and the message handlers).
_SETTINGS = ("autocommit", "row_factory", "detect_types", "json_loads", "_statement_timeout")


def _settings(conn):
    return {name: getattr(conn, name) for name in _SETTINGS}


def restore(conn, book):
    """Ends what a returned dbapi.Connection left open and gives it back the
    settings it was lent with; False when it stays broken."""
    if conn.closed:
        return False
    try:
        # A cursor of the borrower's would read the next borrower's results.
        for cur in list(conn._cursors):
            cur.close()
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
    except (dbapi.Error, ValueError):
        # ValueError: a cursor whose row loop is the caller's own (a row
        # factory that hands its connection back) cannot be closed; its
        # connection is not lent again.
        return False


# ---------------------------------------------------------------------------
# The rules, as steps

WAIT = "wait"  # (WAIT, deadline) -> whether a connection may have come free


class Steps:
    """A rule being carried out: next() is the step it asks for, given the
    reply to the one before or with `error` set to what that raised; None
    once the rule has ended, with what it returned in `result`."""

    __slots__ = ("rule", "error", "result")

    def __init__(self, rule):
        self.rule, self.error, self.result = rule, None, None

    def next(self, reply):
        try:
            if self.error is None:
                return self.rule.send(reply)
            error, self.error = self.error, None
            try:
                return self.rule.throw(error)
            finally:
                del error  # no cycle through the traceback
        except StopIteration as end:
            self.result = end.value
            return None


def borrow(pool, timeout, read_only):
    """getconn(): the connection to lend. A borrow that raises, wherever it
    waits, gives back what it had taken: the place in the pool, and the
    connection (closed when it was in the middle of something)."""
    readers = pool._readers
    if read_only and readers is not None:
        conn = yield readers.getconn, timeout
        try:
            fresh = within((yield pool._lag, conn), pool._max_lag)
        except dbapi.Error:
            fresh = False
        except BaseException:
            yield readers.putconn, conn
            raise
        if fresh:
            return conn
        yield readers.putconn, conn  # kept: the standby may catch up
    book = pool._book
    limit = book.timeout if timeout is None else timeout
    deadline = time.monotonic() + limit
    book.requests_num += 1
    while True:
        if book.closed:
            raise PoolClosed("the pool is closed")
        conn, stale, suspect = book.take(time.monotonic())
        grow = conn is None and not stale and book.size < book.max_size
        if conn is None and not stale and not grow:
            book.requests_waiting += 1
            try:
                woken = yield WAIT, deadline
            finally:
                book.requests_waiting -= 1
            if not woken:
                book.requests_errors += 1
                raise PoolTimeout("no connection became free in %.3g s" % limit)
            continue
        if grow:
            book.size += 1  # the place is taken before the pool's lock is let go
        # `conn`, or with `grow` a new connection in the place taken for it,
        # is lent when it is fit to; when not (or this raises), the place
        # and the connection are given up.
        try:
            if stale:
                yield pool._close, stale
            if grow:
                conn = yield from _open(pool, deadline)
                grow = False
            if conn is None:
                continue
            if _healthy(book, pool._plain(conn)) and (
                    not suspect and pool._check is None or (yield from _checked(pool, conn, suspect))):
                book.lend(conn)
                pool._refill()
                return conn
        except BaseException:
            if grow:
                _give_up_place(pool)
            elif conn is not None:
                yield from _drop(pool, conn, lost=False)
            raise
        yield from _drop(pool, conn)


def _healthy(book, conn):
    try:
        return book.healthy(conn)
    except Exception:  # noqa: BLE001 - one the library cannot answer for is broken
        return False


def _checked(pool, conn, suspect):
    """Whether a connection passes the checks it is due; one that fails
    says no."""
    try:
        if suspect:
            yield pool.check_connection, conn
        if pool._check is not None:
            yield pool._check, conn
        return True
    except Exception:  # noqa: BLE001 - a check that fails says it is broken
        return False


def _open(pool, deadline=None):
    """A new connection in a place the caller has counted in size; a pool
    that has connected before tries again until `deadline`."""
    book = pool._book
    while True:
        try:
            conn = yield pool._connect,
            break
        except dbapi.OperationalError:
            if not book.retries(deadline):
                raise
        yield pool._sleep, RETRY_PAUSE
    book.added(conn, time.monotonic(), pool._plain(conn))
    return conn


def _give_up_place(pool):
    pool._book.size -= 1
    pool._wake()


def fill(pool):
    """Opens connections until the pool holds min_size."""
    book = pool._book
    try:
        while not book.closed and book.size < book.min_size:
            book.size += 1
            try:
                conn = yield from _open(pool, time.monotonic() + book.timeout)
            except BaseException:
                _give_up_place(pool)
                raise
            if not _keep(pool, conn):
                yield pool._close, [conn]
    finally:
        book.refilling = False


def _keep(pool, conn):
    """Puts an idle connection where the next borrower finds it; False in a
    closed pool, which no longer counts it, for the caller to close it."""
    book = pool._book
    if book.closed:
        book.forget(conn)
        return False
    book.give_back(conn, time.monotonic())
    pool._wake()
    return True


def _drop(pool, conn, lost=True):
    """Closes a connection, no longer counted (the count first, so that a
    cancel of the close cannot keep its place)."""
    if lost:
        pool._book.lost(conn, time.monotonic())
    else:
        pool._book.forget(conn)
    pool._wake()
    pool._refill()
    yield pool._close, [conn]


def give_back(pool, conn):
    """putconn(): keeps a returned connection, reset, or drops it."""
    readers = pool._readers
    if readers is not None and id(conn) in readers._book.lent:
        yield readers.putconn, conn
        return
    book = pool._book
    book.returned(conn)
    try:
        ok = book.closed or (yield from _reset(pool, conn))
    except BaseException:
        yield from _drop(pool, conn, lost=False)
        raise
    if not ok:
        yield from _drop(pool, conn)
    elif not _keep(pool, conn):
        yield pool._close, [conn]


def _reset(pool, conn):
    """Whether a returned connection, given back its settings and passed
    through the pool's reset, may be lent again."""
    book, plain = pool._book, pool._plain(conn)
    if not (yield pool._restore, conn):
        return False
    if pool._reset is not None:
        try:
            yield pool._reset, conn
        except Exception:  # noqa: BLE001 - a reset that fails says it is broken
            return False
    return book.healthy(plain)


class Pool:
    """What both pools are made of: how to connect, the book, the hooks and
    the read-only side (a pool of the same kind)."""

    def __init__(self, dsn, min_size=1, max_size=None, *, user="", password="", autocommit=False,
                 timeout=30.0, max_lifetime=3600.0, max_idle=600.0, check=None, reset=None,
                 read_size=0, max_lag=30.0):
        self._connect_args = (dsn, user, password)
        self._autocommit = autocommit
        self._check, self._reset, self._max_lag = check, reset, max_lag
        self._book = Book(min_size, max_size, timeout, max_lifetime, max_idle)
        read_dsn = prefer_standby(dsn) if read_size else None
        self._readers = None if read_dsn is None else type(self)(
            read_dsn, 0, read_size, user=user, password=password, autocommit=autocommit,
            timeout=timeout, max_lifetime=max_lifetime, max_idle=max_idle, check=check, reset=reset)
        self._start()

    def connection(self, timeout=None, read_only=False):
        """A context manager lending a connection: committed when the block
        succeeds, rolled back when it raises, then handed back."""
        return self._lent(self, timeout, read_only)


class Lent:
    """A borrow for the length of a block (pool.connection())."""

    __slots__ = ("_pool", "_timeout", "_read_only", "_conn")

    def __init__(self, pool, timeout, read_only):
        self._pool, self._timeout, self._read_only = pool, timeout, read_only
