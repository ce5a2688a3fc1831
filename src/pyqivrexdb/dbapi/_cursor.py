# mypy: ignore-errors
# (typed by the package's stub, __init__.pyi, as dbapi.py was)
"""The cursor of the standard face: statements, executemany over bulk loads, and
results as Arrow."""

import functools as _functools
import itertools as _itertools
from .. import qxcore as _qxcore
from ..errors import Error, InterfaceError, OperationalError, ProgrammingError
import pyqivrexdb._qxstandard as _standard  # made by importing qxcore  # noqa: E402
import pyqivrexdb._arrow as _arrow  # noqa: E402
from ._names import adapters, complete_statement, split_statements


# The first word of a statement that commits, in both dialects (COMMIT [WORK
# | TRANSACTION | PREPARED ...], END [TRANSACTION]).
_COMMIT_WORDS = ("commit", "end")


# Fewer rows than this go one statement each (a load costs more for a few),
# their values held to the bulk path's types.
_BULK_MIN_ROWS = 64

# The native execute, read once: a point query pays for every look-up.
_native_execute = _standard.Cursor.execute


def _name(token):
    """The name a token spells, or None when it is not a plain or quoted
    name this face can read."""
    kind, text = token
    if kind == "word":
        return text
    if kind != "name" or text[0] not in "\"`[":
        return None
    if text[0] == "[":
        return text[1:-1]
    return text[1:-1].replace(text[0] * 2, text[0])


@_functools.lru_cache(maxsize=256)
def _plain_insert_of(operation, dialect):
    """_plain_insert of a statement's text, read once a text: executemany
    asks it of every call."""
    return _plain_insert(_standard.tokens(operation, dialect))


def _plain_insert(tokens):
    """(table, field names or None, placeholders) of ``INSERT INTO t
    [(names)] VALUES (?, ...) [;]`` from the statement's tokens, else None."""
    if tokens and tokens[-1][0] == "semi":
        tokens = tokens[:-1]
    if len(tokens) < 6 or [t[1].lower() for t in tokens[:2]] != ["insert", "into"] or \
            any(kind != "word" for kind, _ in tokens[:2]):
        return None
    table = _name(tokens[2])
    at = 3
    names = None
    if tokens[at] == ("other", "("):
        names = []
        while True:
            name = _name(tokens[at + 1]) if at + 1 < len(tokens) else None
            if name is None or at + 2 >= len(tokens):
                return None
            names.append(name)
            at += 2
            if tokens[at] == ("other", ")"):
                at += 1
                break
            if tokens[at] != ("other", ","):
                return None
    rest = tokens[at:]
    if table is None or len(rest) < 4 or rest[0][0] != "word" or rest[0][1].lower() != "values":
        return None
    marks = rest[2:-1:2]
    if rest[1] != ("other", "(") or rest[-1] != ("other", ")") or any(m != ("other", "?") for m in marks) or \
            any(c != ("other", ",") for c in rest[3:-1:2]) or len(rest) != 2 * len(marks) + 2:
        return None
    return table, names, len(marks)


def _commits(operation, core):
    """Whether the statement `operation` commits a transaction: its first
    word, read by the lexer of the session's dialect."""
    if not isinstance(operation, str):
        return False
    first = _standard.tokens(operation, _standard.dialect(core), 1)
    return bool(first) and first[0][0] == "word" and first[0][1].lower() in _COMMIT_WORDS


class _RowAlone:
    """Stores one row of a load into `table` by itself (an INSERT of its
    values), for a row whose text is longer than its unbounded field's
    width in a record; its cursor is made at the first such row."""

    def __init__(self, core, table):
        self._core, self._table, self._cur, self._sql = core, table, None, None

    def __call__(self, row):
        if self._cur is None:
            self._cur = _standard.Cursor(self._core)
            marks = ", ".join("?" * len(row))
            self._sql = "insert into %s values (%s)" % (self._name(), marks)
        _standard.Cursor.execute(self._cur, self._sql, row, None)

    def _name(self):
        """The table as SQL names it: the one its layout was read for."""
        if _standard.dialect(self._core) == _standard.QSCLI_DIALECT_PG:
            self._cur.execute("select coalesce(to_regclass(quote_ident(?)), to_regclass(?))::text",
                              (self._table, self._table))
            return self._cur.fetchone()[0]
        return '"%s"' % self._table.replace('"', '""')

    def close(self):
        if self._cur is not None:
            self._cur.close()


def _peek(rows, n):
    """(all the rows, a list of the first n or fewer) of the iterable
    `rows`, reading no more than n. When reading them raises, all the rows
    are those read, then the error."""
    rows = iter(rows)
    head = []
    try:
        for row in rows:
            head.append(row)
            if len(head) == n:
                return _itertools.chain(head, rows), head
    except BaseException as exc:  # noqa: B902 - raised again after the rows read
        return _then_raise(head, exc), head[:0]
    return head, head


def _then_raise(rows, exc):
    yield from rows
    raise exc


class Cursor(_standard.Cursor):
    """A cursor of a Connection: execute statements, fetch rows as tuples."""

    def __new__(cls, connection):
        return _standard.Cursor.__new__(cls, connection._check())

    def __init__(self, connection):
        self.connection = connection
        # read at the first fetch of each result set
        self.row_factory = connection.row_factory
        self._detect_types = connection.detect_types
        connection._cursors.add(self)

    def execute(self, operation, parameters=None):
        """Runs `operation` with `parameters` bound (a sequence for ``?``, a
        mapping for ``:name``). Returns the cursor."""
        conn = self.connection
        # In autocommit no transaction is due: the call is left out, as the
        # adapters' when none is registered (the common point query).
        if not conn._autocommit:
            conn._begin()
        hook = conn._on_commit
        if hook is not None and _commits(operation, conn._core):
            hook()
        chosen = conn._adapters() if conn.adapters or adapters else None
        if conn._statement_timeout is None:
            _native_execute(self, operation, parameters, chosen)
        else:
            conn._timed(_standard.Cursor.execute, self, operation, parameters, chosen)
        if hook is not None and conn._autocommit and self.description is None and not conn._open():
            hook(done=True)
        return self

    def executescript(self, sql_script):
        """Runs the statements of `sql_script` (split_statements() in the
        connection's dialect) one after another, as the standard library's
        sqlite3 does: a pending transaction is committed first, and the
        statements run as written, with no transaction opened for them, so
        a script's own BEGIN ... COMMIT holds. The first failing statement
        raises and the rest do not run; a transaction the script opened
        stays open (in_transaction) for commit() or rollback(). The last
        statement needs no ";"; a script that ends inside a literal, a
        comment or a trigger's body raises ProgrammingError before anything
        runs. Returns the cursor."""
        if not isinstance(sql_script, str):
            raise TypeError("executescript() takes a str, not %s" % type(sql_script).__name__)
        conn = self.connection
        dialect = conn.dialect
        statements = split_statements(sql_script, dialect)
        # The ";" on a line of its own: a line comment cannot swallow it.
        if statements and not complete_statement(statements[-1], dialect) and \
                not complete_statement(statements[-1] + "\n;", dialect):
            raise ProgrammingError("the script ends in an unfinished statement: %.60r" % statements[-1].strip())
        conn.commit()
        for statement in statements:
            conn._timed(_standard.Cursor.execute, self, statement, None)
        return self

    def executemany(self, operation, seq_of_parameters):
        """Runs `operation` once for each item of `seq_of_parameters`, all in
        one transaction. A plain ``INSERT INTO t [(every field)] VALUES (?,
        ...)`` of 64 rows or more goes through the bulk path (then every
        value must suit its field's type, as for Connection.addrecords),
        whatever iterable holds them: of an iterator only the first 64 rows
        are read to tell. Fewer rows go one statement each, held to the same
        Python types (a str for an integer field is refused). Another INSERT, UPDATE, DELETE or REPLACE with
        ``?`` placeholders goes to a library that offers it a batch of rows
        a call, each row stored, refused and counted as its own execute()
        would. Each value's adapter runs once, whichever way its row goes.
        rowcount is the number of rows changed."""
        conn = self.connection
        own = conn._autocommit and conn._begin(whole=True)
        try:
            conn._timed(self._executemany, operation, seq_of_parameters)
            if own and conn._on_commit is not None:
                conn._on_commit()  # it may refuse the COMMIT: then all is rolled back
        except BaseException:
            if own:
                conn.rollback()
            raise
        if own:
            conn.commit()
        return self

    def _executemany(self, operation, seq):
        conn = self.connection
        conn._begin()
        head = seq
        if not isinstance(seq, (list, tuple)) and isinstance(operation, str):
            # Any other iterable takes the path a list of its rows would: its
            # first rows tell which, the rest follow unread.
            seq, head = _peek(seq, _BULK_MIN_ROWS)
        table, fields = self._bulk_table(operation, head)
        if table is None or len(head) < _BULK_MIN_ROWS:
            # Fewer rows go one statement each, held to the same types.
            _standard.Cursor.executemany(self, operation, seq, conn._adapters(), fields)
            return
        # A row with a text longer than its unbounded field's width runs by
        # itself, as execute() would run it.
        _standard.load(conn._core, table, seq, self, conn._adapters(),
                       lambda row: _standard.Cursor.execute(self, operation, row, None))

    def _bulk_table(self, operation, seq):
        """(the table a plain INSERT loads into through the bulk path, its
        fields), or (None, None)."""
        # Without null flags (the vendor's library) a load could not take None.
        if not isinstance(operation, str) or not isinstance(seq, (list, tuple)) or not seq or not self.null_flags:
            return None, None
        insert = _plain_insert_of(operation, _standard.dialect(self.connection._core))
        if insert is None:
            return None, None
        table, names, marks = insert
        fields = self._fields_of(table)
        if fields is None or len(fields) != marks or _qxcore.QSCLI_ET_ARRA in [f[1] for f in fields]:
            return None, None
        if names is not None and [n.lower() for n in names] != [f[0].lower() for f in fields]:
            return None, None
        return table, fields

    def _fields_of(self, table):
        try:
            return self.connection.table_layout(table)
        except (OperationalError, InterfaceError):
            # An interrupt, a timeout or a lost connection stops the call
            # here; it must not send the rows another way instead.
            raise
        except Error:
            return None

    # -- columns (ADBC's names) ----------------------------------------------

    def fetch_arrow(self):
        """The rest of the result set as Arrow data: an object exporting
        ``__arrow_c_stream__``, for pyarrow, polars, DuckDB or nanoarrow
        (none of them needed here). Its batches are read from the server as
        the consumer asks for them; it can be consumed once. Converters
        (detect_types) are not applied: a result with a column one reads
        raises NotSupportedError naming it, as do the other Arrow fetches
        below. A result whose read failed stays failed: every later fetch,
        of rows or of Arrow data, raises."""
        return _arrow.fetch_arrow(self)

    def fetch_arrow_table(self):
        """The rest of the result set as a pyarrow.Table."""
        return _arrow.fetch_arrow_table(self)

    def fetch_record_batch(self):
        """The rest of the result set as a pyarrow.RecordBatchReader that
        reads it a batch at a time."""
        return _arrow.fetch_record_batch(self)

    def fetch_df(self):
        """The rest of the result set as a pandas DataFrame."""
        return _arrow.fetch_df(self)

    def fetch_polars(self):
        """The rest of the result set as a polars DataFrame."""
        return _arrow.fetch_polars(self)

    def adbc_ingest(self, table_name, data, mode="create"):
        """Loads Arrow data (any object exporting ``__arrow_c_stream__`` or
        ``__arrow_c_array__``: a pyarrow Table or RecordBatchReader, a polars
        DataFrame) into `table_name` through the bulk path. `mode`:
        "create" makes the table from the data's schema, "append" loads into
        the existing one, "replace" drops and makes it again,
        "create_append" makes it when missing. A dictionary (categorical)
        column loads as a column of its values. Columns go into the fields of
        their names (case aside); a column without a field, or a field
        without a column, raises ProgrammingError before anything is
        written, as does a column of a type that cannot be loaded (struct,
        union, list...: NotSupportedError). A value that does not fit its
        field raises as Connection.addrecords does, naming the row and the
        field, with ``rows_sent``; so does a source stream that fails
        (DataError). Returns the number of rows loaded."""
        return _arrow.adbc_ingest(self, table_name, data, mode)

    @property
    def return_value(self):
        """The value the last statement returned (``return EXPR``, the rows
        an INSERT, UPDATE or DELETE changed), or None."""
        return self.retcode()

    def setinputsizes(self, sizes):
        pass

    def setoutputsize(self, size, column=None):
        pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False
