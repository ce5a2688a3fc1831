"""What the shell needs from a connection, in one place: statements with
their results a page at a time, messages, table layouts and bulk loads.

Everything goes through the standard face, which reads NULLs as None, texts
as stored, each statement's return value, and the connection's own messages.
"""

import contextlib

from .. import dbapi

PAGE_ROWS = 1000  # rows fetched and printed at a time
COPY_PIECE = 256 * 1024  # bytes of COPY data a read


class Result:
    """One statement's outcome: column names (None without a result set),
    its return value, the rows it changed (None when not told), and its rows
    a page at a time."""

    def __init__(self, cursor, value):
        self._cursor = cursor
        desc = cursor.description
        self.names = [d[0] for d in desc] if desc else None
        self.value = value
        changed = getattr(cursor, "rowcount", -1)
        self.changed = changed if desc is None and changed >= 0 else None

    def pages(self, size=PAGE_ROWS):
        """Lists of rows, `size` at a time."""
        fetch = self._cursor.fetchmany
        while True:
            rows = fetch(size)
            if not rows:
                return
            yield rows


class Database:
    def __init__(self, dsn, user="", password=""):
        # Each statement on its own, as typed: the user's own transactions
        # (begin work ...) pass through as statements.
        self.conn = dbapi.connect(dsn, user, password, autocommit=True)
        # On a server, a time, an array, JSON ... shows as the server writes
        # it, as psql shows it: a timedelta would count a month as 30 days,
        # a date cannot hold year 10000 or infinity.
        if self.conn.dialect != "engine":
            self.conn.detect_types = dbapi._SERVER_TEXT
        self.cursor = self.conn.cursor()
        self.dialect = self.conn.dialect  # how statements are told apart

    def on_messages(self, server, user):
        self.conn.add_notice_handler(server)
        self.conn.add_notify_handler(lambda note: user(note.payload, note.usertype))

    def execute(self, sql):
        self.cursor.execute(sql)
        return Result(self.cursor, self.cursor.return_value)

    def rows(self, sql):
        """All rows of a small query."""
        return self.cursor.execute(sql).fetchall()

    def pages(self, sql, size=PAGE_ROWS):
        """The rows of a query, `size` at a time, on a cursor of their own."""
        cursor = self.conn.cursor()
        try:
            cursor.execute(sql)
            yield from Result(cursor, None).pages(size)
        finally:
            cursor.close()

    def copy_out(self, sql, size=COPY_PIECE):
        """The data of a COPY ... TO STDOUT as pieces of bytes (the
        server's own text, UTF-8; a line may be cut between two pieces),
        on a cursor of its own; None when the library cannot read it."""
        cursor = self.conn.cursor()
        try:
            first = cursor._copy_out(sql, size)
        except dbapi.NotSupportedError:
            cursor.close()
            return None
        except BaseException:
            cursor.close()
            raise

        def pieces(piece=first):
            try:
                while piece:
                    yield piece
                    piece = cursor._copy_out(None, size)
            finally:
                cursor.close()  # ends a COPY left unread
        return pieces()

    def fields(self, table):
        """(name, type code, length, declared type) of each field of a table."""
        return self.conn.table_layout(table)

    def tables(self):
        return self.conn.tables()

    def load(self, table, rows):
        """Sends rows (None for NULL) to a table; an error carries
        `rows_sent`, the rows of this call the server accepted."""
        self.conn.addrecords(table, rows)

    @contextlib.contextmanager
    def snapshot(self):
        """Reads in the block see the database as of one moment: in a
        transaction of their own (read only, repeatable read on a server),
        or in the user's own."""
        if self.conn.in_transaction:
            yield
            return
        self.cursor.execute("begin;" if self.dialect == "engine" else
                            "begin transaction isolation level repeatable read, read only;")
        try:
            yield
        finally:
            self.cursor.execute("rollback;")

    def begin(self):
        """Opens a transaction unless one is open; whether it did."""
        if self.conn.in_transaction:
            return False
        self.conn.autocommit = False
        return True

    def end(self):
        """Commits the transaction begin() opened, and goes back to each
        statement on its own; when the commit fails, nothing is kept."""
        try:
            self.conn.commit()
        except BaseException:
            self.conn.rollback()
            raise
        finally:
            self.conn.autocommit = True

    def close(self):
        self.conn.close()
