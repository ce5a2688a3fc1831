"""`COPY ... FROM stdin;` followed by its data, as .dump and pg_dump write
rows on PostgreSQL and as psql reads them: the lines after the statement,
up to a line `\\.`, are the rows in COPY's text form (fields split by tabs,
`\\N` for NULL, backslash escapes) or, with `format csv`, in CSV. They go to
the server as INSERTs of text literals, each of which the server reads with
its column's type, as COPY itself would.
"""

import re

from .catalog import _literal

# COPY target [(columns)] FROM stdin [[WITH] options]
_COPY_IN = re.compile(r"\s*copy\s+(.+?)\s+from\s+stdin\b\s*(.*?)\s*;?\s*\Z", re.I | re.S)
_OPTION_TOKEN = re.compile(r"'(?:[^']|'')*'|[A-Za-z_]\w*|\S")
_ESCAPE = re.compile(r"\\(x[0-9a-fA-F]{1,2}|[0-7]{1,3}|.)", re.S)
_ESCAPED = {"b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
_TRUE, _FALSE = ("true", "on", "1"), ("false", "off", "0")
END = "\\."
STATEMENT_CHARS = 64 * 1024  # rows an INSERT carries, about


class Copy:
    """A COPY FROM stdin: the table (and columns) it loads and how its data
    is written. `error` says why its options cannot be read; its rows are
    still taken, so that they are not run as statements."""

    def __init__(self, into):
        self.into = into
        self.csv = False
        self.delimiter = None
        self.null = None
        self.header = False
        self.quote = None
        self.escape = None
        self.error = None

    @property
    def hint(self):
        split = "commas" if self.csv and self.delimiter is None else "tabs" if self.delimiter is None else \
            repr(self.delimiter)
        return "Enter the rows, fields split by %s; end with a line \\. or an end of input." % split

    def rows(self, lines):
        """The rows of the data `lines`, each a list of SQL literals."""
        if self.csv:
            quote = self.quote or '"'
            rows = _csv_rows(lines, self.delimiter or ",", quote, self.escape or quote)
            null = "" if self.null is None else self.null
            rows = ([_literal(f) if quoted or f != null else "NULL" for f, quoted in row] for row in rows)
        else:
            delimiter, null = self.delimiter or "\t", "\\N" if self.null is None else self.null
            rows = ([value(f, null) for f in line.rstrip("\n").rstrip("\r").split(delimiter)] for line in lines)
        if self.header:
            next(rows, None)
        return rows


def target(sql):
    """The Copy of a COPY FROM stdin statement, or None for any other
    statement."""
    m = _COPY_IN.match(sql)
    if not m:
        return None
    copy = Copy(m.group(1))
    try:
        _options(copy, _OPTION_TOKEN.findall(m.group(2)))
    except ValueError as exc:
        copy.error = "COPY %s FROM stdin: %s" % (copy.into, exc)
    return copy


def _text(token):
    if len(token) < 2 or token[0] != "'":
        raise ValueError("expected a quoted string, not %s" % token)
    return token[1:-1].replace("''", "'")


def _char(token, name):
    text = _text(token)
    if len(text) != 1:
        raise ValueError("%s must be a single character" % name)
    return text


def _options(copy, tokens):
    """Sets `copy`'s options from the tokens after "stdin": both the
    parenthesised list (format csv, header true, ...) and the older words
    (csv header, delimiter as ',')."""
    words = [t for t in tokens if t not in ("(", ")", ",")]
    if words and words[0].lower() == "with":
        words.pop(0)
    k = 0
    while k < len(words):
        name = words[k].lower()
        k += 1
        arg = words[k] if k < len(words) else None
        if arg is not None and arg.lower() == "as":
            k += 1
            arg = words[k] if k < len(words) else None
        if name == "format":
            if arg is None or arg.lower().strip("'") not in ("text", "csv"):
                raise ValueError("the format must be text or csv, not %s" % arg)
            copy.csv, k = arg.lower().strip("'") == "csv", k + 1
        elif name == "csv":
            copy.csv = True
        elif name == "header":
            if arg is not None and arg.lower().strip("'") in _TRUE + _FALSE:
                copy.header, k = arg.lower().strip("'") in _TRUE, k + 1
            else:
                copy.header = True
        elif name in ("delimiter", "quote", "escape") and arg is not None:
            setattr(copy, name, _char(arg, name))
            k += 1
        elif name == "null" and arg is not None:
            copy.null, k = _text(arg), k + 1
        else:
            raise ValueError("the option %s is not supported here" % words[k - 1])
    if not copy.csv and (copy.quote is not None or copy.escape is not None):
        raise ValueError("quote and escape are options of the csv format")


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


def value(field, null="\\N"):
    """A field of a COPY text line as an SQL literal."""
    if field == null:
        return "NULL"
    return _literal(_ESCAPE.sub(_unescape, field) if "\\" in field else field)


def _csv_rows(lines, delimiter, quote, escape):
    """The records of CSV `lines`, each a list of (text, whether it was
    quoted): only an unquoted field can be NULL. A quoted field may hold
    line ends, and so span lines."""
    lines = iter(lines)
    for line in lines:
        fields, field, quoted, inside, i = [], [], False, False, 0
        while True:
            if i == len(line):
                if not inside:
                    break
                line, i = next(lines, None), 0
                if line is None:
                    raise ValueError("the CSV data ends inside a quoted field")
                continue
            c = line[i]
            i += 1
            if inside:
                if c == escape and i < len(line) and line[i] in (quote, escape):
                    field.append(line[i])
                    i += 1
                elif c == quote:
                    inside = False
                else:
                    field.append(c)
            elif c == quote:
                inside = quoted = True
            elif c == delimiter:
                fields.append(("".join(field), quoted))
                field, quoted = [], False
            elif c not in "\r\n":
                field.append(c)
        fields.append(("".join(field), quoted))
        yield fields


def inserts(copy, lines):
    """INSERT statements that load the COPY data `lines` (each ending with
    its newline or not) into the COPY's own target."""
    # OVERRIDING SYSTEM VALUE: COPY writes an identity column's values as
    # they are, GENERATED ALWAYS or not.
    head = "INSERT INTO %s OVERRIDING SYSTEM VALUE VALUES " % copy.into
    rows, size = [], 0
    for fields in copy.rows(lines):
        row = "(%s)" % ", ".join(fields)
        rows.append(row)
        size += len(row)
        if size >= STATEMENT_CHARS:
            yield head + ",\n".join(rows) + ";"
            rows, size = [], 0
    if rows:
        yield head + ",\n".join(rows) + ";"
