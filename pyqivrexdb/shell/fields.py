"""CSV texts to values of a table's fields, checked before they are sent:
the driver would cut a long text to its field and store an out-of-range
date as no date, so whatever would not arrive whole is refused here."""

import datetime
import math
import string

from .. import qxcore as _q

FIRST_DAY, LAST_DAY = datetime.date(1900, 1, 1), datetime.date(2078, 12, 31)
_FLOAT_MAX = 3.4028234663852886e38  # the largest single-precision number

# Integer element types: their name and the values their record holds.
_INTEGERS = {
    _q.QSCLI_ET_BYTE: ("BYTE", 0, 254),
    _q.QSCLI_ET_INTR: ("INTR", -32767, 32767),
    _q.QSCLI_ET_WORD: ("WORD", 0, 65534),
    _q.QSCLI_ET_NMBR: ("NMBR", 0, 16777214),
    _q.QSCLI_ET_LONG: ("LONG", -2147483647, 2147483647),
    _q.QSCLI_ET_DWRD: ("DWRD", 0, 4294967294),
}
_HEX = frozenset(string.hexdigits)


class BadValue(ValueError):
    """A value its field cannot hold; the message says why."""


def converter(type_code, length, truncate=False):
    """The function that turns a CSV text into a value for a field."""
    if type_code == _q.QSCLI_ET_CHAR:
        return _text(length, truncate)
    if type_code == _q.QSCLI_ET_ARRA:
        return _hex(length)
    if type_code in _INTEGERS:
        return _integer(*_INTEGERS[type_code])
    if type_code == _q.QSCLI_ET_FLOA:
        return _number(_FLOAT_MAX)
    if type_code in (_q.QSCLI_ET_CURR, _q.QSCLI_ET_DFLT):
        return _number(math.inf)
    if type_code == _q.QSCLI_ET_DATE:
        return _date
    raise BadValue("fields of type %r cannot be loaded" % (type_code,))


def _text(length, truncate):
    def convert(s):
        if "\0" in s:
            raise BadValue("a text with a NUL character would end at it")
        try:
            s.encode("cp866")
        except UnicodeEncodeError as exc:
            raise BadValue("%r cannot be stored: the character %r is not in code page CP866"
                           % (s, s[exc.start])) from None
        if len(s) > length:  # one byte a character in CP866
            if not truncate:
                raise BadValue("%r is %d characters long, the field holds %d (--truncate cuts it)"
                               % (s, len(s), length))
            s = s[:length]
        return s
    return convert


def _hex(length):
    def convert(s):
        if len(s) % 2 or not _HEX.issuperset(s):
            raise BadValue("%r is not bytes in hexadecimal digits" % s)
        if len(s) != 2 * length:
            raise BadValue("%r is %d bytes long, the field holds exactly %d" % (s, len(s) // 2, length))
        return bytes.fromhex(s)
    return convert


def _integer(name, low, high):
    def convert(s):
        try:
            v = int(s)
        except ValueError:
            raise BadValue("%r is not an integer" % s) from None
        if not low <= v <= high:
            raise BadValue("%r is out of range for %s (%d to %d)" % (s, name, low, high))
        return v
    return convert


def _number(limit):
    def convert(s):
        try:
            v = float(s)
        except ValueError:
            raise BadValue("%r is not a number" % s) from None
        if math.isfinite(v) and abs(v) > limit or math.isinf(v) and "inf" not in s.lower():
            raise BadValue("%r is out of range" % s)
        return v
    return convert


def _date(s):
    try:
        v = datetime.date.fromisoformat(s.strip())
    except ValueError:
        raise BadValue("%r is not a date (YYYY-MM-DD)" % s) from None
    if not FIRST_DAY <= v <= LAST_DAY:
        raise BadValue("%r is out of range for a date (%s to %s)" % (s, FIRST_DAY, LAST_DAY))
    return v
