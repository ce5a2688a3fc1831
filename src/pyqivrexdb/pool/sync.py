"""The pool of threads: the rules of core carried out under a lock."""

import threading
import time

from .. import dbapi
from . import core
from .core import WAIT, Steps


class _Lent(core.Lent):
    __slots__ = ()

    def __enter__(self):
        self._conn = self._pool.getconn(self._timeout, self._read_only)
        return self._conn

    def __exit__(self, exc_type, exc, tb):
        conn = self._conn
        try:
            # commit() sends nothing without a transaction, and raises for
            # a server lost under the block
            if exc_type is None and not conn.closed:
                conn.commit()
        finally:
            self._pool.putconn(conn)  # which rolls back what is left open
        return False


class ConnectionPool(core.Pool):
    """Lends dbapi.Connection objects to threads; see pyqivrexdb.pool."""

    _lent = _Lent

    def _start(self):
        self._cond = threading.Condition(threading.Lock())
        try:
            self._drive(core.fill(self))
        except BaseException:
            self.close()
            raise

    def _drive(self, rule):
        """Carries out a rule of core: it decides under the lock, and each
        step it asks for runs with the lock let go, but the wait."""
        steps, reply, lock = Steps(rule), None, self._cond
        with lock:
            while (step := steps.next(reply)) is not None:
                try:
                    if step[0] is WAIT:
                        reply = self._wait(step[1])
                    else:
                        lock.release()
                        try:
                            reply = step[0](*step[1:])
                        finally:
                            lock.acquire()
                except BaseException as exc:  # noqa: BLE001 - handed to the rule
                    steps.error = exc
        return steps.result

    def _wait(self, deadline):
        left = deadline - time.monotonic()
        return left > 0 and self._cond.wait(left)  # which lets the lock go meanwhile

    @staticmethod
    def check_connection(conn):
        """A check= that sends a query: the server must answer."""
        conn.cursor().execute("select 1").fetchall()

    _plain = staticmethod(lambda conn: conn)

    def _connect(self):
        return dbapi.connect(*self._connect_args, autocommit=self._autocommit)

    _sleep = staticmethod(time.sleep)

    @staticmethod
    def _close(conns):
        for conn in conns:
            try:
                conn.close()
            except Exception:  # noqa: BLE001 - a broken connection is dropped anyway
                pass

    def _restore(self, conn):
        return core.restore(conn, self._book)

    @staticmethod
    def _lag(conn):
        return conn.cursor().execute(core.LAG_SQL).fetchall()

    def _wake(self):
        self._cond.notify()

    def _refill(self):
        """Tops the pool up to min_size in a thread, when it is short."""
        if self._book.short():
            self._book.refilling = True
            threading.Thread(target=self._fill_quietly, name="pyqivrexdb-pool", daemon=True).start()

    def _fill_quietly(self):
        try:
            self._drive(core.fill(self))
        except Exception:  # noqa: BLE001 - the next loss or borrow tries again
            pass

    def getconn(self, timeout=None, read_only=False):
        """Borrows a connection; putconn() hands it back. Raises PoolTimeout
        when none is free within `timeout` (the pool's by default).
        `read_only` borrows from the read-only side, if the pool keeps one."""
        return self._drive(core.borrow(self, timeout, read_only))

    def putconn(self, conn):
        """Hands a borrowed connection back, rolled back when it left a
        transaction open and with the settings it was lent with; a broken
        one is closed instead. Refuses a connection this pool has not lent
        out (ProgrammingError), so none is ever lent twice."""
        self._drive(core.give_back(self, conn))

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
            idle = self._book.shut()
            self._cond.notify_all()
        self._close(idle)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

