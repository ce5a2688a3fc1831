"""`COPY ... FROM stdin;` followed by its data, as .dump and pg_dump write
rows on PostgreSQL: the lines after the statement, up to a line `\\.`, are
the rows in COPY's text form (fields split by tabs, `\\N` for NULL,
backslash escapes). They go to the server as INSERTs of text literals, each
of which the server reads with its column's type, as COPY itself would.
"""

import re

from .catalog import _literal

# COPY target [(columns)] FROM stdin, with no options: the text form only.
_COPY_IN = re.compile(r"\s*copy\s+(.+?)\s+from\s+stdin\s*;?\s*\Z", re.I | re.S)
_ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{1,2}|[0-7]{1,3}|.)", re.S)
_ESCAPED = {"b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
END = "\\."
STATEMENT_CHARS = 64 * 1024  # rows an INSERT carries, about


def target(sql):
    """The table (and columns) a COPY FROM stdin statement loads, or None
    for any other statement."""
    m = _COPY_IN.match(sql)
    return m.group(1) if m else None


def block(lines):
    """(the data lines of a COPY block read from `lines`, whether its end
    line came): up to a line END, or the end of `lines`."""
    data = []
    for line in lines:
        if line.rstrip("\r\n") == END:
            return data, True
        data.append(line)
    return data, False


def _unescape(m):
    e = m.group(1)
    if e[0] == "x" and len(e) > 1:
        return chr(int(e[1:], 16))
    if e[0] in "01234567":
        return chr(int(e, 8))
    return _ESCAPED.get(e, e)


def value(field):
    """A field of a COPY text line as an SQL literal."""
    if field == "\\N":
        return "NULL"
    return _literal(_ESCAPE.sub(_unescape, field) if "\\" in field else field)


def inserts(into, lines):
    """INSERT statements that load the COPY data `lines` (each ending with
    its newline or not) into `into` (the COPY's own target)."""
    # OVERRIDING SYSTEM VALUE: COPY writes an identity column's values as
    # they are, GENERATED ALWAYS or not.
    head = "INSERT INTO %s OVERRIDING SYSTEM VALUE VALUES " % into
    rows, size = [], 0
    for line in lines:
        row = "(%s)" % ", ".join(value(f) for f in line.rstrip("\n").split("\t"))
        rows.append(row)
        size += len(row)
        if size >= STATEMENT_CHARS:
            yield head + ",\n".join(rows) + ";"
            rows, size = [], 0
    if rows:
        yield head + ",\n".join(rows) + ";"
