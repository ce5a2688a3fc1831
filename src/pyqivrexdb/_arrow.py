"""The columnar side of the standard cursor: results as Arrow data and Arrow
data loaded into a table, under the names ADBC's DB-API cursors use. The
conversions are the C core's (_qxstandard.arrow_result, arrow_rows,
arrow_load); this module only imports the libraries a caller asked for,
writes the CREATE TABLE an ingest needs and matches the data's columns to
the table's fields by name."""

import importlib
import json
import sys

from pyqivrexdb.qxcore import QSCLI_ET_ARRA as _ARRA

import pyqivrexdb._qxstandard as _standard  # type: ignore[import-not-found]  # made by importing qxcore
from pyqivrexdb import errors as _errors

#: Rows a batch of fetch_arrow() and its kin holds at most.
BATCH_ROWS = 65536

_MODES = ("create", "append", "replace", "create_append")

# The column type a CREATE TABLE of adbc_ingest gives each Arrow format, for
# the engine and for PostgreSQL. An integer goes one size up where the
# driver's write checks keep the narrower type's extreme value out.
_COLUMN_TYPES = {
    "n": ("TEXT", "text"),
    "b": ("BOOLEAN", "boolean"),
    "c": ("SMALLINT", "smallint"),
    "C": ("SMALLINT", "smallint"),
    "s": ("INTEGER", "integer"),
    "S": ("INTEGER", "integer"),
    "i": ("BIGINT", "bigint"),
    "I": ("BIGINT", "bigint"),
    "l": ("BIGINT", "bigint"),
    "L": ("BIGINT", "bigint"),
    "f": ("DOUBLE", "double precision"),
    "g": ("DOUBLE", "double precision"),
    "u": ("TEXT", "text"),
    "U": ("TEXT", "text"),
    "vu": ("TEXT", "text"),
    "z": ("BLOB", "bytea"),
    "Z": ("BLOB", "bytea"),
    "vz": ("BLOB", "bytea"),
    "tdD": ("DATE", "date"),
    "tdm": ("DATE", "date"),
}


def need(module, method):
    """The module `module`, imported now; ImportError naming it when missing."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError("%s() needs %s: pip install %s" % (method, module, module)) from exc


def fetch_arrow(cursor):
    return _standard.arrow_result(cursor, BATCH_ROWS)


def _ours(result, error):
    """The exception that ended `result`'s stream, which a consumer such as
    pyarrow or polars words as its own `error`; `error` itself when the
    stream did not fail."""
    failure = result._failure()
    return error if failure is None else failure


def _batches(reader, result):
    """The batches of `reader` (pyarrow's reader of `result`), a failure of
    the stream raised as the exception that ended it."""
    while True:
        try:
            batch = reader.read_next_batch()
        except StopIteration:
            return
        except Exception as exc:
            raise _ours(result, exc) from None
        yield batch
        # The consumer's batch is let go before the next is built, so that
        # no more than one batch is held while another is made.
        del batch


def _reader(cursor, method):
    pa = need("pyarrow", method)
    result = fetch_arrow(cursor)
    try:
        reader = pa.RecordBatchReader.from_stream(result)
    except Exception as exc:
        raise _ours(result, exc) from None
    # pyarrow keeps an exception raised by a reader of Python batches as
    # it was: the errors of the stream read from it are ours, not OSError.
    return pa.RecordBatchReader.from_batches(reader.schema, _batches(reader, result))


def fetch_record_batch(cursor):
    return _reader(cursor, "fetch_record_batch")


def fetch_arrow_table(cursor):
    return _reader(cursor, "fetch_arrow_table").read_all()


def fetch_df(cursor):
    need("pandas", "fetch_df")
    need("pyarrow", "fetch_df")
    return fetch_arrow_table(cursor).to_pandas()


def fetch_polars(cursor):
    pl = need("polars", "fetch_polars")
    result = fetch_arrow(cursor)
    try:
        return pl.DataFrame(result)
    except Exception as exc:
        raise _ours(result, exc) from None


def _json_text(value):
    return json.dumps(value, ensure_ascii=False)


def _numeric_text(value):
    if value.is_nan():
        return "NaN"
    if value.is_infinite():
        return "-Infinity" if value < 0 else "Infinity"
    return format(value, "f")


def _interval_text(value):
    """A timedelta as the server writes an interval: "1 day", "-2 days +01:00:00.5"."""
    days, micros = value.days, value.seconds * 1000000 + value.microseconds
    parts = ["%d day%s" % (days, "" if days == 1 else "s")] if days else []
    if micros or not days:
        hours, rest = divmod(micros, 3600000000)
        minutes, rest = divmod(rest, 60000000)
        seconds, fraction = divmod(rest, 1000000)
        clock = "%s%02d:%02d:%02d" % ("+" if days < 0 else "", hours, minutes, seconds)
        parts.append(clock + ((".%06d" % fraction).rstrip("0") if fraction else ""))
    return " ".join(parts)


def _array_text(value, element):
    """A list as the server writes an array, each item by `element`."""
    if value is None:
        return "NULL"
    if isinstance(value, (list, tuple)):
        return "{%s}" % ",".join(_array_text(item, element) for item in value)
    text = value if isinstance(value, str) else element(value)
    if text == "" or text.upper() == "NULL" or any(c in text for c in '{}",\\ \t\n\r'):
        return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')
    return text


# How the server writes a value of a type Arrow keeps as its text, from
# the Python value the rows give (str() for the rest).
_TEXT_OF = {"json": _json_text, "jsonb": _json_text, "interval": _interval_text, "numeric": _numeric_text,
            "boolean": lambda value: "t" if value else "f"}


def _text_of(declared):
    if declared.endswith("[]"):
        element = _text_of(declared[:-2])
        return lambda value: _array_text(value, element)
    return _TEXT_OF.get(declared.split("(")[0], str)


# Declared types whose row values lose what the server's text holds (an
# interval's months counted as days, a json's own spacing and key order).
_LOSSY = {"interval", "json"}


def rows_rebuild_arrow(declared):
    """Whether rows of these declared types (None: not told) give back in
    rows_table the values an Arrow read of the result gives."""
    return not any(d.split("(")[0].rstrip("[]") in _LOSSY for d in declared or ())


def rows_table(pa, rows, schema, declared):
    """Rows the row path gave (those the asyncio cursor read ahead) as a
    table of `schema`, the types the Arrow path gives the same result: a
    column Arrow keeps as the server's text (json, interval, uuid, a numeric
    of no precision, an array) has each value written as the server writes
    it, by its declared type (rows of a type rows_rebuild_arrow refuses are
    not read ahead)."""
    columns = []
    for k, field in enumerate(schema):
        values = [row[k] for row in rows]
        if pa.types.is_string(field.type) or pa.types.is_large_string(field.type):
            text = _text_of(declared[k])
            values = [value if value is None or (isinstance(value, str) and text is not _json_text) else text(value)
                      for value in values]
        columns.append(pa.array(values, type=field.type))
    return pa.table(columns, schema=schema)


def _quoted(name):
    return '"%s"' % name.replace('"', '""')


def _column_type(fmt, postgres):
    if fmt.startswith("ts"):
        if not postgres:
            return "TEXT"
        return "timestamptz" if len(fmt) > 4 else "timestamp"
    if fmt.startswith("d:"):
        precision, scale = fmt[2:].split(",")[:2]
        return "numeric(%s,%s)" % (precision, scale) if postgres else "NUMERIC"
    return _COLUMN_TYPES[fmt][1 if postgres else 0]


def _positions(names):
    """The position of each of the data's column names, case aside;
    ProgrammingError when two are one name."""
    where = {}
    for k, name in enumerate(names):
        if where.setdefault(name.lower(), k) != k:
            raise _errors.ProgrammingError("the data has two columns named %r" % name)
    return where


def _by_name(names, fields, table_name):
    """For each field of the table, the position of the data's column of
    its name (case aside, as SQL names are); ProgrammingError naming a
    column one side has and the other lacks."""
    where = _positions(names)
    order = []
    for field in fields:
        k = where.pop(field[0].lower(), None)
        if k is None:
            raise _errors.ProgrammingError("the data has no column %r for the field of table %r"
                                           % (field[0], table_name))
        order.append(k)
    if where:
        missing = sorted(where.values())[0]
        raise _errors.ProgrammingError("table %r has no field %r for the data's column" % (table_name, names[missing]))
    return order


def _stamps_as_text(rows, at):
    """The rows with the timestamps of columns `at` as the text a statement
    would write them in (the bulk path takes a timestamp field as text)."""
    for row in rows:
        row = list(row)
        for k in at:
            if row[k] is not None:
                row[k] = row[k].isoformat(" ")
        yield tuple(row)


def _in_order(rows, order, given):
    """The rows with their values in the fields' order, counted in given[0];
    given[1] is set when the source fails."""
    rows = iter(rows)
    while True:
        try:
            row = next(rows)
        except StopIteration:
            return
        except _errors.Error:
            given[1] = True
            raise
        except (ValueError, OverflowError) as exc:
            # A value Python cannot hold (a text that is no UTF-8, a year
            # past 9999) is the data's fault, as on the bulk path.
            given[1] = True
            reason = "the text is not valid UTF-8" if isinstance(exc, UnicodeDecodeError) else exc
            raise _errors.DataError("row %d: %s" % (given[0], reason)) from None
        given[0] += 1
        yield tuple(row[k] for k in order)


def _watched(data, raised):
    """`data`, where it is a pyarrow reader whose batches may come from
    Python code, as one whose producer's exceptions also go to `raised`:
    pyarrow hands them on through the Arrow stream as text only."""
    pa = sys.modules.get("pyarrow")
    if pa is None or not isinstance(data, pa.RecordBatchReader):
        return data

    def batches():
        while True:
            try:
                batch = data.read_next_batch()
            except StopIteration:
                return
            except BaseException as exc:
                raised.append(exc)
                raise
            yield batch

    return pa.RecordBatchReader.from_batches(data.schema, batches())


def adbc_ingest(cursor, table_name, data, mode):
    if mode not in _MODES:
        raise ValueError("mode must be one of %s, not %r" % (", ".join(_MODES), mode))
    raised = []
    try:
        return _ingest(cursor, table_name, _watched(data, raised), mode)
    except _errors.DataError as exc:
        # A Ctrl-C (or an exit) in the data's producer stays what it was,
        # telling what went in as the load tells of its own.
        if not raised or isinstance(raised[-1], Exception):
            raise
        stop = raised[-1]
        stop.rows_sent = getattr(exc, "rows_sent", None)
        raise stop from None


def _held(data):
    """Whether the data is in memory already (a pyarrow Table or
    RecordBatch), rather than a stream that makes its batches as it is read."""
    pa = sys.modules.get("pyarrow")
    return pa is not None and isinstance(data, (pa.Table, pa.RecordBatch))


def _ingest(cursor, table_name, data, mode):
    # The data's types are checked before anything is written.
    whole = _held(data)
    rows = _standard.arrow_rows(data)
    names = [f[0] for f in rows.fields]
    conn = cursor.connection
    postgres = conn.dialect == "postgresql"
    if not names and not postgres:  # SQLite has no table of no columns
        raise _errors.ProgrammingError("the data has no columns: there is nothing to load")
    _positions(names)
    table = _quoted(table_name)
    columns = ", ".join("%s %s" % (_quoted(name), _column_type(fmt, postgres)) for name, fmt, _ in rows.fields)
    # A replace takes effect whole, in autocommit too: a load that fails
    # never leaves the old table dropped.
    own = mode == "replace" and conn._autocommit and conn._begin(whole=True)
    if not own:
        conn._begin()
    try:
        loaded = conn._timed(_load, cursor, rows, names, table_name, table, columns, mode, whole)
        if own and conn._on_commit is not None:
            conn._on_commit()  # it may refuse the COMMIT: then all is rolled back
    except BaseException as exc:
        if own:
            conn.rollback()
            if getattr(exc, "rows_sent", None) is not None:
                exc.rows_sent = 0
        raise
    if own:
        conn.commit()
    return loaded


def _load(cursor, rows, names, table_name, table, columns, mode, whole):
    conn = cursor.connection
    if mode == "replace":
        cursor.execute("DROP TABLE IF EXISTS %s" % table)
    if mode in ("create", "replace"):
        cursor.execute("CREATE TABLE %s (%s)" % (table, columns))
    elif mode == "create_append":
        cursor.execute("CREATE TABLE IF NOT EXISTS %s (%s)" % (table, columns))
    fields = conn.table_layout(table_name)
    order = _by_name(names, fields, table_name)
    if _ARRA in [f[1] for f in fields]:
        # The bulk path takes binary values of the field's exact width only:
        # a table with a binary field takes the rows by batches of inserts.
        stamps = [k for k, (_, fmt, _) in enumerate(rows.fields) if fmt.startswith("ts")]
        loaded = _stamps_as_text(rows, stamps) if stamps else rows
        given = [0, False]  # rows the source gave; whether it failed
        marks = ", ".join("?" * len(fields))
        try:
            _standard.Cursor.executemany(cursor, "INSERT INTO %s VALUES (%s)" % (table, marks),
                                         _in_order(loaded, order, given), conn._adapters(), fields)
        except _errors.Error as exc:
            # The rows before the one refused, or before the source failed,
            # went in, as the bulk path's rows_sent tells of its own.
            if given[1] or getattr(exc, "row", None) is not None:
                exc.rows_sent = given[0] if given[1] else exc.row
            raise
        return cursor.rowcount
    from pyqivrexdb.dbapi import _RowAlone  # noqa: PLC0415 - dbapi imports this module

    alone = _RowAlone(conn._core, table_name)
    try:
        return _standard.arrow_load(conn._core, table_name, rows, order, cursor, alone, whole)
    finally:
        alone.close()
