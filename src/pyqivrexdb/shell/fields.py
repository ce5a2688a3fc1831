"""CSV texts to the Python values of a table's fields. Only the reading of
the text is done here; whether a field can hold the value whole is the
driver's rule, and its refusal names the row, the field and the value."""

import datetime
import math
import re
import string

from .. import qxcore as _q

_INTEGERS = frozenset((_q.QSCLI_ET_BYTE, _q.QSCLI_ET_INTR, _q.QSCLI_ET_WORD, _q.QSCLI_ET_NMBR,
                       _q.QSCLI_ET_LONG, _q.QSCLI_ET_DWRD))
_REALS = frozenset((_q.QSCLI_ET_FLOA, _q.QSCLI_ET_CURR, _q.QSCLI_ET_DFLT))
_HEX = frozenset(string.hexdigits)


class BadValue(ValueError):
    """A text that is not a value of its field's kind; the message says why."""


def converter(type_code, length, truncate=False, decl="", utf8=False, server=False):
    """The function that turns a CSV text into a value for a field. `utf8`:
    the connection's texts are UTF-8, where a field's length counts bytes
    and a declared length (char(10)) characters. `server`: the table is a
    server's, whose boolean takes a bool only."""
    if type_code == _q.QSCLI_ET_CHAR:
        if not truncate:
            return str
        declared = _DECLARED.search(decl or "")
        if utf8 and declared:
            return _cut(int(declared.group(1)))
        return _cut_utf8(length) if utf8 else _cut(length)
    if type_code == _q.QSCLI_ET_ARRA:
        return _hex
    if server and _boolean_field(type_code, decl):
        return _boolean
    if type_code in _INTEGERS:
        return _integer
    if type_code in _REALS:
        return _number
    if type_code == _q.QSCLI_ET_DATE:
        return _date
    raise BadValue("fields of type %r cannot be loaded" % (type_code,))


def kind(type_code, truncate=False, decl="", server=False):
    """How the CSV reader reads a field's plain texts itself: i integers, r
    numbers, d dates (YYYY-MM-DD), t texts as they are; any other text, and
    every text of another kind (*), goes to the field's converter."""
    if type_code == _q.QSCLI_ET_CHAR:
        return "*" if truncate else "t"
    if server and _boolean_field(type_code, decl):
        return "*"
    if type_code in _INTEGERS:
        return "i"
    if type_code in _REALS:
        return "r"
    return "d" if type_code == _q.QSCLI_ET_DATE else "*"


def _cut(length):
    return lambda s: s[:length]  # one byte a character in CP866


def _cut_utf8(length):
    return lambda s: s.encode("utf-8", "surrogatepass")[:length].decode("utf-8", "ignore")


_DECLARED = re.compile(r"\(\s*(\d+)")


def _hex(s):
    if len(s) % 2 or not _HEX.issuperset(s):
        raise BadValue("%r is not bytes in hexadecimal digits" % s)
    return bytes.fromhex(s)


def _boolean_field(type_code, decl):
    """A field declared boolean."""
    return type_code == _q.QSCLI_ET_BYTE and (decl or "").split("(")[0].strip().lower() in ("boolean", "bool")


# The texts a server's boolean reads, as COPY reads them.
_BOOLEANS = {"t": True, "true": True, "1": True, "yes": True, "on": True, "y": True,
             "f": False, "false": False, "0": False, "no": False, "off": False, "n": False}


def _boolean(s):
    try:
        return _BOOLEANS[s.strip().lower()]
    except KeyError:
        raise BadValue("%r is not a boolean" % s) from None


def _integer(s):
    try:
        return int(s)
    except ValueError:
        raise BadValue("%r is not an integer" % s) from None


def _number(s):
    try:
        v = float(s)
    except ValueError:
        raise BadValue("%r is not a number" % s) from None
    if math.isinf(v) and "inf" not in s.lower():  # 1e999: too large to read, not infinity
        raise BadValue("%r is out of range" % s)
    return v


def _date(s):
    try:
        return datetime.date.fromisoformat(s.strip())
    except ValueError:
        raise BadValue("%r is not a date (YYYY-MM-DD)" % s) from None
