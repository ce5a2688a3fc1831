"""Adapters and converters through the test double: which adapter binds a
value and when none is asked, and converters by the declared type the
library reports, or none when it reports none."""
import json
import struct

import pytest

from pyqivrexdb import dbapi
from qxdouble import QSCLI_ATTR_NULL_FLAGS, QSCLI_ET_CHAR, QSCLI_ET_LONG, colrec


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


class Point3(Point):
    pass


def as_text(p):
    return "%d;%d" % (p.x, p.y)


@pytest.fixture(autouse=True)
def own_tables(monkeypatch):
    monkeypatch.setattr(dbapi, "adapters", {})
    monkeypatch.setattr(dbapi, "converters", {})


@pytest.fixture
def conn(double):
    c = dbapi.connect("srv", autocommit=True)
    double.clear()
    yield c
    c.close()


def sent(double):
    return [c.args[1] for c in double.calls("qcSqlExecDirect")]


def never(value):
    raise AssertionError("asked for %r" % (value,))


@pytest.mark.parametrize("module, connection, value, text", [
    ({Point: as_text}, {}, Point(1, 2), b"select '1;2'"),
    ({Point: never}, {Point: lambda p: p.x}, Point(4, 2), b"select 4"),  # the connection's first
    ({Point: lambda p: None}, {}, Point(1, 2), b"select NULL"),
    ({int: never, str: never}, {}, 5, b"select 5"),  # the fixed mapping is never overridden
    ({int: never}, {}, True, b"select TRUE"),
], ids=["module", "connection-first", "to-None", "fixed-int", "fixed-bool"])
def test_the_adapter_of_the_exact_type_binds_the_value(double, conn, module, connection, value, text):
    double.fail("qcSqlExecDirect", 0)
    dbapi.adapters.update(module)
    conn.adapters.update(connection)
    conn.cursor().execute("select ?", (value,))
    conn.cursor().execute("select :v", {"v": value})
    assert sent(double) == [text, text]


@pytest.mark.parametrize("adapter, value, cls, message", [
    (None, Point(1, 2), dbapi.ProgrammingError, "parameter 1: a value of type .*Point.* cannot be bound"),
    (as_text, Point3(1, 2), dbapi.ProgrammingError, "type .*Point3.* cannot be bound"),  # exact type only
    (lambda p: [p.x], Point(1, 2), dbapi.ProgrammingError,
     "parameter 1: the adapter for Point returned list, which cannot be bound"),
    (lambda p: p, Point(1, 2), dbapi.ProgrammingError, "the adapter for Point returned Point"),  # not adapted twice
    (lambda p: 1 / 0, Point(1, 2), ZeroDivisionError, "division"),
])
def test_a_refused_or_failing_adaptation_sends_nothing(double, conn, adapter, value, cls, message):
    if adapter:
        dbapi.register_adapter(Point, adapter)
    cur = conn.cursor()
    double.clear()
    with pytest.raises(cls, match=message):
        cur.execute("select ?", (value,))
    assert double.names() == []


def layout_of_t(double):
    """The double's answer to the structure query of t(n CHAR(8))."""
    double.set_result([colrec(QSCLI_ET_CHAR, 8, b"T"), colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_CHAR, 8),
                       colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_LONG, 4)],
                      b"t\0      " + struct.pack("<i", 0) + b"n\0      " + struct.pack("<ii", QSCLI_ET_CHAR, 8)
                      + b"\0", rec_size=29)


def test_a_bulk_load_adapts_as_a_statement_does(double, conn):
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    conn.adapters[Point] = as_text
    layout_of_t(double)
    assert conn.addrecords("t", [(Point(1, 2),), (None,)]) == 2
    records = double.calls("qcSqlAddRecords")[0].args[4]
    assert (records[:4], records[8], records[17]) == (b"1;2\0", 0, 1)  # the text, then NULL
    conn.adapters[Point] = lambda p: {}
    layout_of_t(double)
    with pytest.raises(dbapi.ProgrammingError, match="row 0, field n: the adapter for Point returned dict"):
        conn.addrecords("t", [(Point(1, 2),)])


def result(double, coder, values):
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    records = b"".join((v or b"").ljust(12, b"\0") + (b"\x01" if v is None else b"\0") for v in values)
    double.set_result([colrec(QSCLI_ET_CHAR, 12, b"v", coder=coder)], records, rec_size=13)


@pytest.mark.parametrize("detect, coder, registered, rows", [
    (dbapi.PARSE_DECLTYPES, b"JSON", "json", [({"a": 1},), (None,)]),
    (dbapi.PARSE_DECLTYPES, b"json(100) not null", "JSON", [({"a": 1},), (None,)]),
    (dbapi.PARSE_DECLTYPES, b"JSONB", "JSON", [('{"a":1}',), (None,)]),  # the first word, whole
    (0, b"JSON", "JSON", [('{"a":1}',), (None,)]),  # off unless asked for
    # a library that reports no declared type converts nothing
    (dbapi.PARSE_DECLTYPES, b"", "JSON", [('{"a":1}',), (None,)]),
], ids=["plain", "first-word", "other-word", "not-asked", "not-reported"])
def test_columns_convert_by_the_declared_type_the_library_reports(double, detect, coder, registered, rows):
    seen = []
    dbapi.register_converter(registered, lambda text: seen.append(text) or json.loads(text))
    with dbapi.connect("srv", autocommit=True, detect_types=detect) as c:
        result(double, coder, [b'{"a":1}', None])
        cur = c.execute("select v")
        assert cur._declared_types == (coder.decode(),)
        assert cur.fetchall() == rows
    assert seen == (['{"a":1}'] if rows[0][0] == {"a": 1} else [])


def test_a_failing_converter_raises_from_the_fetch(double):
    dbapi.register_converter("JSON", json.loads)
    with dbapi.connect("srv", autocommit=True, detect_types=dbapi.PARSE_DECLTYPES) as c:
        result(double, b"JSON", [b"{oops"])
        with pytest.raises(json.JSONDecodeError):
            c.execute("select v").fetchone()
