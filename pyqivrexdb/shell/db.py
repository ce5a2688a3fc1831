"""What the shell needs from a connection, in one place: statements with
their results a page at a time, messages, table layouts and bulk loads."""

from .. import Error, _rowtext, connect as _connect, qxcore

PAGE_ROWS = 1000  # rows fetched and printed at a time

_CHAR = qxcore.QSCLI_ET_CHAR

# Where each kind of server lists its tables.
_TABLE_QUERIES = (
    "select name from sqlite_master where type = 'table' and name not like 'sqlite%' order by name;",
    "select table_name from information_schema.tables where table_schema = current_schema() "
    "order by table_name;",
)


class Result:
    """One statement's outcome: column names (None without a result set),
    its return value, and its rows a page at a time."""

    def __init__(self, cursor):
        self._cursor = cursor
        desc = cursor.description
        self.names = [d[0] for d in desc] if desc else None
        # Texts come padded to their field: the text, a NUL, then blanks.
        self._padded = [j for j, d in enumerate(desc or ()) if d[1] == _CHAR]
        self.value = cursor.retcode()

    def pages(self):
        """Lists of rows, PAGE_ROWS at a time."""
        fetch, padded = self._cursor.fetchmany, self._padded
        while True:
            rows = fetch(PAGE_ROWS)
            if not rows:
                return
            if padded:
                _rowtext.cut_at_nul(rows, padded)
            yield rows


class Database:
    sends_nulls = False  # whether load() takes None for NULL
    def __init__(self, dsn, user="", password=""):
        self.conn = _connect(dsn, user, password)
        # err_to_user: a failed statement is explained by a server message
        self.cursor = self.conn.cursor(True)

    def on_messages(self, server, user):
        self.conn.send_callback(server)
        self.conn.usersend_callback(user)

    def execute(self, sql):
        self.cursor.execute(sql)
        return Result(self.cursor)

    def rows(self, sql):
        """All rows of a small query, texts unpadded."""
        result = self.execute(sql)
        return [r for page in result.pages() for r in page]

    def fields(self, table):
        """(name, type code, length, declared type) of each field of a table."""
        return [(r[2], r[3], r[4], r[6]) for r in self.rows('select * from QXTBLSTRUCT("%s");' % table)]

    def tables(self):
        """The table names, asked in the way of each kind of server in turn."""
        for sql in _TABLE_QUERIES:
            try:
                return [r[0] for r in self.rows(sql)]
            except Error:
                if sql is _TABLE_QUERIES[-1]:
                    raise
        return []

    def load(self, table, rows):
        """Sends rows to a table; an error carries `rows_sent`, the rows of
        this call the server accepted."""
        self.conn.addrecords(table, rows, self.cursor)

    def close(self):
        self.conn.close()
