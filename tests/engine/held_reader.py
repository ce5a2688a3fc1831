"""A cursor read by another thread that is held inside its row loop: what is
done to the cursor meanwhile meets a reader in the middle of its rows."""
import contextlib
import threading

from pyqivrexdb import dbapi


@contextlib.contextmanager
def reading_held(cur, sql):
    """Runs `sql` on `cur` in another thread, held at its fourth row (by the
    row factory) while the block runs; yields the list that then gets the rows
    read or the dbapi.Error raised."""
    inside, go = threading.Event(), threading.Event()

    def factory(cursor, row):
        if row[0] == 3:
            inside.set()
            go.wait(10)
        return row
    cur.row_factory = factory
    read = []

    def reader():
        try:
            read.append(list(cur.execute(sql)))
        except dbapi.Error as exc:
            read.append(exc)
    thread = threading.Thread(target=reader)
    thread.start()
    assert inside.wait(10)
    try:
        yield read
    finally:
        go.set()
        thread.join()
