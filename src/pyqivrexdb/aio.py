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
stays usable. A COMMIT is the exception, whichever call sends it
(commit(), ``async with``, set_autocommit(True), an executemany() in
autocommit, an execute() of COMMIT or END): once it has gone out, a cancel
waits for the call's outcome, and the caller learns that outcome, never a
"cancelled" that hides a transaction committed. So does a statement
without a result set in autocommit that ended before the cancel could stop
it (it committed itself), and a call that raised CommitOutcomeUnknown.
A load in autocommit (addrecords(), adbc_ingest()) commits its parts as it
goes: a cancel stops it, and once parts were kept the caller gets the load's
own outcome, its row count or its error with ``rows_sent``.
Handlers of notices and notifications run on the connection's thread.
A connection inherited across fork() stays the parent's: in the child its
calls raise ProgrammingError at once, and close() sends nothing.
"""

import asyncio
import collections
import functools
import os
import queue
import threading

from . import _arrow, dbapi, messages

__all__ = ["connect", "AsyncConnection", "AsyncCursor"]

# How often a cancelled call is asked again to stop, in seconds: a request
# that lands between two library calls reaches neither.
_INTERRUPT_AGAIN = 0.05

_QUEUED, _RUNNING, _DROPPED, _ENDED = range(4)


class _Job:
    __slots__ = ("fn", "future", "loop", "state", "cancelled", "committing")

    def __init__(self, fn, future, loop):
        self.fn, self.future, self.loop, self.state = fn, future, loop, _QUEUED
        self.cancelled = False  # a cancel came while it ran: no COMMIT goes out
        self.committing = False  # a COMMIT went out: it runs to its end


class _Stop:
    """The end of a worker's queue, with what must still be done then."""
    __slots__ = ("last",)

    def __init__(self, last):
        self.last = last


def _settle(future, result, error):
    if not future.done():  # a cancelled caller has gone
        if error is None:
            future.set_result(result)
        else:
            future.set_exception(error)


class _Worker:
    """The thread one connection's calls run on, in the order they came."""

    def __init__(self):
        self._jobs = queue.SimpleQueue()
        self._lock = threading.Lock()  # a job's state between the loop and the thread
        self.stopped = False  # no call is taken any more: the connection is closed
        self._running = None  # the job on the thread
        self._pid = os.getpid()  # a forked child has no thread of this worker
        self._thread = threading.Thread(target=self._serve, name="pyqivrexdb-aio", daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            job = self._jobs.get()
            if isinstance(job, _Stop):
                if job.last is not None:
                    try:
                        job.last()
                    except Exception:  # noqa: BLE001 - nobody waits for it
                        pass
                return
            with self._lock:
                if job.state == _DROPPED:
                    continue
                job.state = _RUNNING
            self._running = job
            result = error = None
            try:
                result = job.fn()
            except BaseException as exc:  # noqa: BLE001 - handed to the caller
                error = exc
            self._running = None
            job.state = _ENDED
            try:
                job.loop.call_soon_threadsafe(_settle, job.future, result, error)
            except RuntimeError:
                pass  # the loop has closed: nobody waits
            del job, result, error

    def _take(self):
        if self.stopped:
            raise dbapi.ProgrammingError("the connection is closed")

    async def run(self, interrupt, fn, *args, **kwargs):
        """fn(*args, **kwargs) on the thread. A cancel drops it before it
        runs and stops it in the library while it runs, until it sends a
        COMMIT (on_commit()); from then on the call is neither
        interrupted nor abandoned: a cancel waits for its outcome, and the
        caller gets that outcome (its result or its error) instead of the
        cancel, so it never hears "cancelled" of a transaction that
        committed."""
        return await self.run_call(interrupt, functools.partial(fn, *args, **kwargs))

    async def run_call(self, interrupt, call, keeps=None):
        """run() of `call`; `keeps()`, when given, says (once the call
        ended) whether it committed its parts as it went, as a load in
        autocommit does: then a cancel that stopped it after some parts
        were kept gives the caller the call's own outcome (the rows loaded,
        or the error with rows_sent), not a cancel over committed rows."""
        self._take()
        if os.getpid() != self._pid:
            # A forked child: the thread stayed with the parent, and the
            # parent's connection refuses every call but close() at once here.
            return call()
        loop = asyncio.get_running_loop()
        job = _Job(call, loop.create_future(), loop)
        self._jobs.put(job)
        try:
            # Shielded: the outcome stays readable after a cancel.
            return await asyncio.shield(job.future)
        except asyncio.CancelledError:
            with self._lock:
                if job.state == _QUEUED:
                    job.state = _DROPPED  # it never runs
                    raise
                job.cancelled = not job.committing
            # One that runs is stopped in the library, and the connection is
            # free again before the caller hears of the cancel.
            while job.state == _RUNNING and not job.committing:
                interrupt()
                await asyncio.sleep(_INTERRUPT_AGAIN)
            await _settled(job.future)
            error = job.future.exception()
            if job.committing or isinstance(error, dbapi.CommitOutcomeUnknown):
                return job.future.result()
            if keeps is not None and keeps() and (error is None or getattr(error, "rows_sent", None)):
                return job.future.result()
            raise

    def on_commit(self, done=False):
        """The connection's hook (on the thread) before a COMMIT goes out,
        or with `done` after a statement that committed itself: the running
        call from then on runs to its end and reports its outcome, unless a
        cancel came before a COMMIT went out, which keeps it from going
        out."""
        job = self._running
        if job is None or threading.current_thread() is not self._thread:
            return  # the connection used outside this face
        with self._lock:
            if job.cancelled and not done:
                raise dbapi.OperationalError("the call was cancelled before its COMMIT went out")
            job.committing = True

    def shutdown(self, last=None):
        """Ends the thread after the calls queued before; then `last()` runs
        there (a close that must happen even when its call was dropped).
        Later calls raise ProgrammingError rather than wait for ever."""
        self.stopped = True
        self._jobs.put(_Stop(last))


async def _settled(future):
    """Waits, through any number of cancels, until `future` is done."""
    while not future.done():
        try:
            await asyncio.wait([future])
        except asyncio.CancelledError:
            pass


async def connect(dsn, user="", password="", *, autocommit=False, **options):
    """Opens an AsyncConnection, as dbapi.connect() does; options are
    dbapi.connect()'s own (timeout, statement_timeout, detect_types)."""
    worker = _Worker()
    try:
        conn = await worker.run(_no_interrupt, _open, dsn, user, password, autocommit, options)
    except BaseException:
        worker.shutdown()
        raise
    return AsyncConnection(conn, worker)


def _no_interrupt():
    pass  # a log-on runs to its end (or its timeout)


def _open(dsn, user, password, autocommit, options):
    conn = dbapi.connect(dsn, user, password, autocommit=autocommit, **options)
    conn._receiver()  # later handlers then touch no library state
    return conn


class AsyncConnection:
    """A dbapi.Connection whose waiting calls are coroutines."""

    def __init__(self, connection, worker):
        self.sync = connection  # the dbapi.Connection underneath
        self._worker = worker
        connection._on_commit = worker.on_commit

    def _run(self, fn, *args, **kwargs):
        return self._worker.run(self.sync.interrupt, fn, *args, **kwargs)

    def __del__(self):
        # The thread ends; the connection then goes as a dropped one does.
        worker = getattr(self, "_worker", None)
        if worker is not None:
            worker.shutdown()

    @property
    def closed(self):
        return self.sync.closed or self._worker.stopped

    @property
    def autocommit(self):
        return self.sync.autocommit

    async def set_autocommit(self, value):
        # Turning it on commits an open transaction: no cancel hides that.
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
        """Commits; a cancel that arrives once the COMMIT has started waits
        for its outcome and does not hide it: the call returns when it
        committed, and raises its error (CommitOutcomeUnknown when the
        server was lost before it answered) when not."""
        await self._run(self.sync.commit)

    async def rollback(self):
        await self._run(self.sync.rollback)

    def _run_load(self, fn, *args):
        # In autocommit a load commits its parts as it goes.
        return self._worker.run_call(self.sync.interrupt, functools.partial(fn, *args),
                                     keeps=lambda: self.sync.autocommit)

    async def addrecords(self, table, rows):
        return await self._run_load(self.sync.addrecords, table, rows)

    async def tables(self):
        return await self._run(self.sync.tables)

    def interrupt(self):
        self.sync.interrupt()

    async def close(self):
        if self.closed:
            return
        try:
            await self._run(self.sync.close)
        finally:
            self._worker.shutdown(self.sync.close)  # a close that was cancelled still happens

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
        for step in messages.steps(self.sync._receiver(), timeout, stop_after):
            if isinstance(step, messages.Notify):
                yield step
            elif step is messages.POLL:
                await self._run(self.sync._poll)
            else:
                await asyncio.sleep(step)

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc, tb):
        """Commits when the block succeeded, rolls back when it raised, and
        closes the connection either way; the commit as commit() does."""
        if self.closed:
            return False
        try:
            await self._run(self.sync.__exit__, exc_type, exc, tb)
        finally:
            self._worker.shutdown(self.sync.close)
        return False


class AsyncCursor:
    """A dbapi.Cursor whose waiting calls are coroutines. An execute() that
    opens a result set reads its first ``arraysize`` rows in the same trip
    to the connection's thread, so a query of a few rows takes one; ``async
    for`` fetches ``arraysize`` rows a trip."""

    def __init__(self, connection):
        self.connection = connection
        self._cursor = None  # made on the connection's thread, on first use
        self.arraysize = 100
        self._rows = collections.deque()  # read ahead, not yet handed out
        self._converted = None  # the result's first column read through a converter, if any
        self._more = False  # whether the library may hold more rows

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

    def _execute(self, method, operation, parameters):
        cur = self._sync()
        self._rows.clear()
        self._more = False
        method(cur, operation, parameters)
        self._converted = None
        if cur.description is not None and not _arrow.rows_rebuild_arrow(cur._declared_types):
            self._more = True  # an Arrow read would miss what the rows lost: none read ahead
        elif cur.description is not None:
            self._converted = cur._converted_column
            size = self.arraysize
            self._rows.extend(cur.fetchmany(size))
            self._more = len(self._rows) == size

    async def execute(self, operation, parameters=None):
        await self._run(self._execute, dbapi.Cursor.execute, operation, parameters)
        return self

    async def executemany(self, operation, seq_of_parameters):
        await self._run(self._execute, dbapi.Cursor.executemany, operation, seq_of_parameters)
        return self

    def _read_ahead(self, size):
        """On the connection's thread: up to `size` more rows (all with None)
        onto those read ahead. They land there, not in the call's result, so
        a fetch cancelled after the library gave its rows loses none."""
        cur = self._sync()
        fresh = cur.fetchall() if size is None else cur.fetchmany(size)
        self._rows.extend(fresh)
        self._more = size is not None and len(fresh) == size

    def _take(self, size):
        """Up to `size` rows (all with None) of those read ahead."""
        if self._cursor is not None and self._cursor._closed:
            # closed under them too: the pool closes a returned connection's cursors
            self._rows.clear()
            raise dbapi.ProgrammingError("the cursor is closed")
        rows = self._rows
        if size is None or size >= len(rows):
            taken = list(rows)
            rows.clear()
            return taken
        return [rows.popleft() for _ in range(size)]

    async def fetchone(self):
        rows = await self.fetchmany(1)
        return rows[0] if rows else None

    async def fetchmany(self, size=None):
        size = self.arraysize if size is None else size
        if len(self._rows) < size and self._more:
            await self._run(self._read_ahead, size - len(self._rows))
        return self._take(size)

    async def fetchall(self):
        if self._more:
            await self._run(self._read_ahead, None)
        return self._take(None)

    def _arrow_table(self, method):
        """The rows read ahead, then the rest of the result, as one
        pyarrow.Table."""
        pa = _arrow.need("pyarrow", method)
        if self._cursor is not None and self._cursor._closed:
            self._rows.clear()
        if self._rows and self._converted is not None:
            # The rows read ahead went through the converters, as the rest
            # would not: refused as the standard cursor refuses the result.
            raise dbapi.NotSupportedError(
                "column %r is read through a converter (detect_types), which an Arrow result does not apply: "
                "fetch rows, or execute with detect_types=0" % self.description[self._converted][0])
        head = list(self._rows)
        self._rows.clear()
        self._more = False
        cur = self._sync()
        declared = cur._declared_types
        try:
            table = dbapi.Cursor.fetch_arrow_table(cur)
        except BaseException:
            self._more = True  # the next fetch hears from the cursor how its rows ended
            raise
        if not head:
            return table
        return pa.concat_tables([_arrow.rows_table(pa, head, table.schema, declared), table])

    async def fetch_arrow_table(self):
        """The rest of the result set as a pyarrow.Table."""
        return await self._run(self._arrow_table, "fetch_arrow_table")

    async def fetch_df(self):
        """The rest of the result set as a pandas DataFrame."""
        _arrow.need("pandas", "fetch_df")
        return (await self._run(self._arrow_table, "fetch_df")).to_pandas()

    async def fetch_polars(self):
        """The rest of the result set as a polars DataFrame."""
        pl = _arrow.need("polars", "fetch_polars")
        return pl.from_arrow(await self._run(self._arrow_table, "fetch_polars"))

    async def adbc_ingest(self, table_name, data, mode="create"):
        """dbapi.Cursor.adbc_ingest, on the connection's thread."""
        return await self.connection._run_load(dbapi.Cursor.adbc_ingest, self._sync(), table_name, data, mode)

    async def close(self):
        self._rows.clear()
        self._more = False
        if self._cursor is not None and not self.connection._worker.stopped:
            await self._run(self._cursor.close)

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
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
