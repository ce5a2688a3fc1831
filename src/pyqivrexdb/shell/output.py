"""Printing results as they are fetched: aligned (the default), table, box,
markdown, csv, json, line and insert modes.

Each printer takes the column names and an iterator of pages (lists of
rows) and writes every page before the next is fetched, so memory stays
bounded by one page whatever the size of the result.
"""

import datetime
import math
import os
import shutil
import subprocess

from .. import _rowtext

MODES = ("aligned", "table", "box", "markdown", "csv", "json", "line", "insert")


class Style:
    """What every printer takes: column names above results, the text of
    NULL, the least width of each column (.width), the table of insert mode."""
    headers = True
    null = "NULL"
    widths = ()
    table = "table"
    dialect = "engine"  # the connection's: how .mode insert spells NaN


def text(value, null="NULL"):
    """A value as the shell shows it."""
    if value is None:
        return null
    if isinstance(value, str):
        return value
    if isinstance(value, bool):  # PostgreSQL's boolean, shown as psql shows it
        return "t" if value else "f"
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


def _with_null(rows, null):
    return rows if null == "NULL" else [tuple(null if v is None else v for v in r) for r in rows]


def _widths(style, names, cols, measure=len):
    """Each column's width: its name's, its widest value's on the first
    page, and at least what .width asks."""
    least = list(style.widths) + [0] * len(names)
    return [max([measure(n) if style.headers else 1, abs(w)] + [measure(text(v, style.null)) for v in c])
            for n, c, w in zip(names, cols, least)]


def _longest_line(value):
    return max(len(line) for line in value.split("\n"))


class TablePrinter:
    """Aligned columns under their names; numbers to the right. Widths come
    from the names and the first page; a longer value later sticks out."""

    def __init__(self, out, style=Style):
        self.out, self.headers, self.style = out, style.headers, style

    def result(self, names, pages):
        write = self.out.write
        count = 0
        layout = None
        for rows in pages:
            rows = _with_null(rows, self.style.null)
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
        widths = _widths(self.style, names, cols)
        right = [_kind(c) in (int, float) for c in cols]
        if self.headers:
            self.out.write(" | ".join(n.ljust(w) for n, w in zip(names, widths)).rstrip() + "\n")
            self.out.write("-+-".join("-" * w for w in widths) + "\n")
        return widths, right


class CsvPrinter:
    """Comma-separated values; NULL is an empty field."""

    def __init__(self, out, style=Style):
        self.out, self.headers = out, style.headers

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

    def __init__(self, out, style=Style):
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

    def __init__(self, out, style=Style):
        self.out, self.null = out, style.null

    def result(self, names, pages):
        width = max(map(len, names), default=0)
        labels = [n.rjust(width) + " = " for n in names]
        count = 0
        write = self.out.write
        for rows in pages:
            for row in rows:
                write("\n" if count else "")
                write("".join(l + text(v, self.null) + "\n" for l, v in zip(labels, row)))
                count += 1
        return count


class ExpandedPrinter:
    """Each row as a record: a line "-[ RECORD n ]-" and a "name | value"
    line per column, as psql's expanded display."""

    def __init__(self, out, style=Style):
        self.out, self.null = out, style.null

    def result(self, names, pages):
        width = max(map(len, names), default=0)
        labels = [n.ljust(width) + " | " for n in names]
        count = 0
        write = self.out.write
        for rows in pages:
            for row in rows:
                count += 1
                write("-[ RECORD %d ]-\n" % count)
                write("".join((l + text(v, self.null)).rstrip() + "\n" for l, v in zip(labels, row)))
        if not count:
            write("(0 rows)\n")
        return count


class Paged:
    """A terminal's output that goes through a pager ($PAGER, else less)
    once it holds more lines than the terminal shows; close() ends it."""

    def __init__(self, out, height=None, command=None):
        self.out = out
        self.height = height or shutil.get_terminal_size().lines - 1
        self.command = command or os.environ.get("PAGER") or "less -FRXS"
        self.held, self.lines, self.pager = [], 0, None

    def write(self, data):
        if self.pager is not None:
            try:
                self.pager.stdin.write(data)
            except BrokenPipeError:  # the pager was quit: the rest is not wanted
                self.pager.stdin = open(os.devnull, "w", encoding="utf-8")
            return
        self.held.append(data)
        self.lines += data.count("\n")
        if self.lines > self.height:
            self.pager = subprocess.Popen(self.command, shell=True, stdin=subprocess.PIPE, text=True,
                                          encoding="utf-8", errors="replace")
            self.pager.stdin.write("".join(self.held))
            self.held = []

    def flush(self):
        pass

    def close(self):
        if self.pager is None:
            self.out.write("".join(self.held))
            self.out.flush()
            return
        try:
            self.pager.stdin.close()
        except BrokenPipeError:  # the reader left the pager early
            pass
        self.pager.wait()


# The rules of the bordered modes: (top, below the names, bottom) as
# (left, line, between, right), and the upright between cells.
_GRIDS = {
    "table": (("+", "-", "+", "+"), ("+", "-", "+", "+"), ("+", "-", "+", "+"), "|"),
    "box": (("┌", "─", "┬", "┐"), ("├", "─", "┼", "┤"), ("└", "─", "┴", "┘"), "│"),
    "markdown": (None, ("|", "-", "|", "|"), None, "|"),
}


def _markdown_cell(value):
    """A value as a markdown table cell holds it: a bar escaped, a line
    break as <br> (a cell has one line)."""
    return value.replace("|", "\\|").replace("\r\n", "<br>").replace("\n", "<br>")


class GridPrinter:
    """Cells between rules, as sqlite3's shell draws them; widths come from
    the names and the first page, and a longer value later sticks out."""

    def __init__(self, out, style=Style, grid="table"):
        self.out, self.style = out, style
        self.top, self.middle, self.bottom, self.bar = _GRIDS[grid]
        self.cell = _markdown_cell if grid == "markdown" else str

    def _rule(self, parts, widths):
        left, line, between, right = parts
        return left + between.join(line * (w + 2) for w in widths) + right + "\n"

    def _line(self, cells, widths, right):
        """One row; a value of several lines takes as many inside its cell."""
        bar = self.bar
        cells = [self.cell(c).split("\n") for c in cells]
        out = ""
        for i in range(max(map(len, cells), default=1)):
            parts = (c[i] if i < len(c) else "" for c in cells)
            out += bar + bar.join(" " + (p.rjust(w) if r else p.ljust(w)) + " "
                                  for p, w, r in zip(parts, widths, right)) + bar + "\n"
        return out

    def result(self, names, pages):
        write, null = self.out.write, self.style.null
        count, widths = 0, None
        for rows in pages:
            if widths is None:
                cols = list(zip(*rows))
                widths = _widths(self.style, names, cols, self._measure)
                right = [_kind(c) in (int, float) for c in cols]
                self._head(names, widths)
            write("".join(self._line([text(v, null) for v in row], widths, right) for row in rows))
            count += len(rows)
        if widths is None:
            widths = _widths(self.style, names, [()] * len(names), self._measure)
            self._head(names, widths)
        if self.bottom:
            write(self._rule(self.bottom, widths))
        return count

    def _measure(self, value):
        return _longest_line(self.cell(value))

    def _head(self, names, widths):
        if self.top:
            self.out.write(self._rule(self.top, widths))
        if self.style.headers:
            self.out.write(self._line(names, widths, [False] * len(names)))
            self.out.write(self._rule(self.middle, widths))


def _sql_literal(v, server=False):
    """A value as an SQL literal; `server`: for PostgreSQL, which reads NaN
    and the infinities as quoted text (the engine as NULL and 1e999)."""
    if v is None:
        return "NULL"
    if isinstance(v, bool):  # a PostgreSQL boolean takes no 1 or 0
        return "TRUE" if v else "FALSE"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        if math.isfinite(v):
            return repr(v)
        if server:
            return "'NaN'" if v != v else ("'Infinity'" if v > 0 else "'-Infinity'")
        return "NULL" if v != v else ("1e999" if v > 0 else "-1e999")
    if isinstance(v, (bytes, bytearray, memoryview)):
        return "X'%s'" % bytes(v).hex().upper()
    return "'%s'" % text(v).replace("'", "''")


class InsertPrinter:
    """An INSERT statement a row, into the table .mode insert names."""

    def __init__(self, out, style=Style):
        from .catalog import quote_name
        self.out, self.head = out, "INSERT INTO %s VALUES(" % quote_name(style.table)
        self.server = style.dialect != "engine"

    def result(self, names, pages):
        count = 0
        server = self.server
        for rows in pages:
            self.out.write("".join(self.head + ",".join(_sql_literal(v, server) for v in row) + ");\n"
                                   for row in rows))
            count += len(rows)
        return count


PRINTERS = {"aligned": TablePrinter, "csv": CsvPrinter, "json": JsonPrinter, "line": LinePrinter,
            "table": GridPrinter, "insert": InsertPrinter,
            "box": lambda out, style: GridPrinter(out, style, "box"),
            "markdown": lambda out, style: GridPrinter(out, style, "markdown")}
