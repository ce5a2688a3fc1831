"""Printing results as they are fetched: table, csv, json and line modes.

Each printer takes the column names and an iterator of pages (lists of
rows) and writes every page before the next is fetched, so memory stays
bounded by one page whatever the size of the result.
"""

import datetime
import math

from .. import _rowtext

MODES = ("table", "csv", "json", "line")


def text(value):
    """A value as the shell shows it."""
    if value is None:
        return "NULL"
    if isinstance(value, str):
        return value
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, datetime.date):
        return value.isoformat()
    return str(value)


def _kind(col):
    """The type of a column's first value that is not NULL."""
    for v in col:
        if v is not None:
            return type(v)
    return None


def _rows_word(n):
    return "(%d row%s)" % (n, "" if n == 1 else "s")


class TablePrinter:
    """Aligned columns under their names; numbers to the right. Widths come
    from the names and the first page; a longer value later sticks out."""

    def __init__(self, out, headers=True):
        self.out, self.headers = out, headers

    def result(self, names, pages):
        write = self.out.write
        count = 0
        layout = None
        for rows in pages:
            if layout is None:
                layout = self._begin(names, rows)
            write(_rowtext.table_lines(rows, *layout, text))
            count += len(rows)
        if layout is None:
            self._begin(names, [])
        write(_rows_word(count) + "\n")
        return count

    def _begin(self, names, rows):
        """Writes the header; returns the widths and alignments of the columns."""
        cols = list(zip(*rows)) or [()] * len(names)
        widths = [max([len(n) if self.headers else 1] + [len(text(v)) for v in c])
                  for n, c in zip(names, cols)]
        right = [_kind(c) in (int, float) for c in cols]
        if self.headers:
            self.out.write(" | ".join(n.ljust(w) for n, w in zip(names, widths)).rstrip() + "\n")
            self.out.write("-+-".join("-" * w for w in widths) + "\n")
        return widths, right


class CsvPrinter:
    """Comma-separated values; NULL is an empty field."""

    def __init__(self, out, headers=True):
        self.out, self.headers = out, headers

    def result(self, names, pages):
        if self.headers:
            self.out.write(_rowtext.csv_lines([names], len(names), text))
        count = 0
        for rows in pages:
            self.out.write(_rowtext.csv_lines(rows, len(names), text))
            count += len(rows)
        return count


def _json_value(v):
    if v is None or isinstance(v, (int, str)):
        return v
    if isinstance(v, float):
        return v if math.isfinite(v) else repr(v)
    return text(v)


class JsonPrinter:
    """One JSON array of objects, written a row at a time."""

    def __init__(self, out, headers=True):
        self.out = out

    def result(self, names, pages):
        import json  # only this mode needs it: the shell starts without

        keys = [json.dumps(n, ensure_ascii=False) + ": " for n in names]
        count = 0
        write = self.out.write
        for rows in pages:
            for row in rows:
                write(",\n{" if count else "[{")
                write(", ".join(k + json.dumps(_json_value(v), ensure_ascii=False) for k, v in zip(keys, row)))
                write("}")
                count += 1
        write("]\n" if count else "[]\n")
        return count


class LinePrinter:
    """One "name = value" line per column, a blank line between rows."""

    def __init__(self, out, headers=True):
        self.out = out

    def result(self, names, pages):
        width = max(map(len, names), default=0)
        labels = [n.rjust(width) + " = " for n in names]
        count = 0
        write = self.out.write
        for rows in pages:
            for row in rows:
                write("\n" if count else "")
                write("".join(l + text(v) + "\n" for l, v in zip(labels, row)))
                count += 1
        return count


PRINTERS = {"table": TablePrinter, "csv": CsvPrinter, "json": JsonPrinter, "line": LinePrinter}
