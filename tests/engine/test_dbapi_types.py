"""Adapters and converters on either backend: own types bind through
register_adapter on both write paths, columns read through
register_converter by their declared type."""
import decimal
import gc
import io
import json
import uuid

import pytest

from pyqivrexdb import dbapi


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


@pytest.fixture(autouse=True)
def own_tables(monkeypatch):
    # The registries are the module's: each test starts from empty ones.
    monkeypatch.setattr(dbapi, "adapters", {})
    monkeypatch.setattr(dbapi, "converters", {})


def test_the_bulk_path_and_one_statement_a_row_store_the_same_value(dsn):
    dbapi.register_adapter(Point, lambda p: "%g;%g" % (p.x, p.y))
    rows = [(i, Point(i, -0.5)) for i in range(dbapi._BULK_MIN_ROWS)]
    with dbapi.connect(dsn) as conn:
        conn.execute("create table bulk(id integer, p varchar(20))")
        conn.execute("create table one(id integer, p varchar(20))")
        conn.cursor().executemany("insert into bulk values (?, ?)", rows)
        conn.cursor().executemany("insert into one values (?, ?)", rows[:dbapi._BULK_MIN_ROWS - 1])
        conn.execute("insert into one values (?, ?)", rows[-1])
        conn.addrecords("one", [(-1, Point(7, 8))])
        got = {t: conn.execute("select id, p from %s order by id" % t).fetchall() for t in ("bulk", "one")}
    assert got["one"][1:] == got["bulk"] == [(i, "%d;-0.5" % i) for i in range(dbapi._BULK_MIN_ROWS)]
    assert got["one"][0] == (-1, "7;8")


def test_the_connections_adapter_wins_and_stays_its_own(dsn):
    dbapi.register_adapter(Point, lambda p: "module")
    with dbapi.connect(dsn) as own, dbapi.connect(dsn) as other:
        own.adapters[Point] = lambda p: "connection"
        assert own.execute("select ?", (Point(1, 2),)).fetchone() == ("connection",)
        assert other.execute("select ?", (Point(1, 2),)).fetchone() == ("module",)


UID = "a8098c1a-f86e-11da-bd1a-00112444be1e"


@pytest.mark.parametrize("declared, name, fn, stored, value", [
    ("json", "JSON", json.loads, '{"a": [1, null]}', {"a": [1, None]}),
    ("uuid", "uuid", uuid.UUID, UID, uuid.UUID(UID)),
    ("numeric(10,2)", "Numeric", decimal.Decimal, decimal.Decimal("12.25"), decimal.Decimal("12.25")),
    # a server names the type (numeric), the engine keeps what was written
    ("decimal(10,2)", ("DECIMAL", "NUMERIC"), decimal.Decimal, decimal.Decimal("-0.5"), decimal.Decimal("-0.5")),
])
def test_a_column_reads_through_the_converter_of_its_declared_type(dsn, declared, name, fn, stored, value):
    for each in name if isinstance(name, tuple) else (name,):
        dbapi.register_converter(each, fn)
    with dbapi.connect(dsn, autocommit=True, detect_types=dbapi.PARSE_DECLTYPES) as conn:
        conn.execute("create table t(id integer, v %s)" % declared)
        conn.execute("insert into t values (1, ?), (2, null)", (stored,))
        for factory in (None, dbapi.Row):
            conn.row_factory = factory
            rows = conn.execute("select v, id from t order by id").fetchall()
            assert [tuple(r) for r in rows] == [(value, 1), (None, 2)]
            assert type(rows[0][0]) is type(value)
        # Without detect_types nothing converts: the engine's value stays
        # as its element type gives it, PostgreSQL's reads as its own type.
        with dbapi.connect(dsn) as plain:
            got = plain.execute("select v from t where id = 1").fetchone()[0]
            assert (type(got) is type(value)) == dsn.startswith("postgresql"), got


def test_converters_are_chosen_once_a_result_set(dsn):
    calls = []
    dbapi.register_converter("INTEGER", lambda text: calls.append(text) or int(text) * 10)
    with dbapi.connect(dsn, detect_types=dbapi.PARSE_DECLTYPES) as conn:
        conn.execute("create table t(n integer)")
        conn.cursor().executemany("insert into t values (?)", [(1,), (2,), (None,)])
        cur = conn.execute("select n from t order by n")
        first = cur.fetchone()
        dbapi.register_converter("INTEGER", lambda text: -1)
        rest = cur.fetchall()
        again = conn.execute("select n from t where n = 1").fetchall()
    assert (first, rest, again) in [((None,), [(10,), (20,)], [(-1,)]), ((10,), [(20,), (None,)], [(-1,)])]
    assert calls == ["1", "2"]  # NULL never reaches the converter


class Stream:
    """A value whose adapter reads a file: a second call would read ''."""

    def __init__(self, text):
        self.file = io.StringIO(text)


WRITES = {
    "execute": lambda cur, rows: [cur.execute("insert into t values (?, ?, ?)", r) for r in rows],
    "list": lambda cur, rows: cur.executemany("insert into t values (?, ?, ?)", rows),
    "iterator": lambda cur, rows: cur.executemany("insert into t values (?, ?, ?)", iter(rows)),
    "mapping": lambda cur, rows: cur.executemany("insert into t values (:a, :b, :c)",
                                                 [dict(zip("abc", r)) for r in rows]),
    "update": lambda cur, rows: cur.executemany("insert into t select ?, ?, ?", rows),
}


@pytest.mark.parametrize("count", [1, 3, dbapi._BULK_MIN_ROWS])
@pytest.mark.parametrize("how", sorted(WRITES))
@pytest.mark.parametrize("other", [1.5, decimal.Decimal("1.5")])  # a Decimal sends its row down the per-row way
def test_an_adapter_runs_once_a_value_whatever_way_its_row_goes(dsn, count, how, other):
    calls = []

    def read(stream):
        calls.append(stream)
        gc.collect(0 if len(calls) % 16 else 2)  # a full collection costs a second in a big suite
        return stream.file.read()

    dbapi.register_adapter(Stream, read)
    rows = [(k, Stream("text %d" % k), other) for k in range(count)]
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t(id integer, v varchar(20), d double precision)")
        WRITES[how](conn.cursor(), rows)
        got = conn.execute("select id, v, d from t order by id").fetchall()
    assert got == [(k, "text %d" % k, 1.5) for k in range(count)]
    assert len(calls) == count


def test_a_failing_adapter_fails_its_row_after_the_rows_before_it(dsn):
    def refuse(stream):
        if stream.file.getvalue() == "bad":
            raise LookupError("no such stream")
        return stream.file.read()

    dbapi.register_adapter(Stream, refuse)
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t(id integer, v varchar(20), d double precision)")
        rows = [(1, Stream("a"), 1.0), (2, Stream("b"), 2.0), (3, Stream("bad"), 3.0), (4, Stream("d"), 4.0)]
        with pytest.raises(LookupError):
            conn.cursor().executemany("insert into t values (?, ?, ?)", rows)
        assert conn.execute("select v from t order by id").fetchall() == [("a",), ("b",)]


def raise_at_3(text):
    if text == "3":
        raise ValueError("no 3")
    return int(text)


def raising_factory(cur, row):
    if row[0] == 3:
        raise ValueError("no 3")
    return row


FETCHES = {
    "fetchone": lambda cur: [cur.fetchone() for _ in range(30)],
    "fetchmany": lambda cur: [cur.fetchmany(2) for _ in range(30)],
    "fetchall": lambda cur: cur.fetchall(),
    "iteration": lambda cur: list(cur),
}


@pytest.mark.parametrize("fetch", sorted(FETCHES))
@pytest.mark.parametrize("converter", [True, False], ids=["converter", "row_factory"])
def test_a_row_that_cannot_be_made_leaves_the_cursor_failed_and_saying_so(dsn, fetch, converter):
    if converter:
        dbapi.register_converter("INTEGER", raise_at_3)
    with dbapi.connect(dsn, detect_types=dbapi.PARSE_DECLTYPES) as conn:
        conn.execute("create table t(n integer)")
        conn.cursor().executemany("insert into t values (?)", [(k,) for k in range(20)])
        cur = conn.cursor()
        if not converter:
            cur.row_factory = raising_factory
        cur.execute("select n from t order by n")
        with pytest.raises(ValueError, match="no 3"):
            FETCHES[fetch](cur)
        # Never a quiet end: each later fetch tells where the rows ended.
        for later in (cur.fetchone, cur.fetchall, lambda: cur.fetchmany(3), lambda: next(cur)):
            with pytest.raises(dbapi.ProgrammingError, match="reading row 4 raised ValueError: no 3"):
                later()
        assert cur.rowcount in (20, -1)  # -1: a server's rows read as they come
        dbapi.converters.clear()
        assert cur.execute("select count(*) from t").fetchone() == (20,)


def test_a_converter_raising_stopiteration_does_not_end_a_loop_quietly(dsn):
    def stop_at_3(text):
        if text == "3":
            raise StopIteration
        return int(text)

    dbapi.register_converter("INTEGER", stop_at_3)
    with dbapi.connect(dsn, detect_types=dbapi.PARSE_DECLTYPES) as conn:
        conn.execute("create table t(n integer)")
        conn.cursor().executemany("insert into t values (?)", [(k,) for k in range(20)])
        cur = conn.execute("select n from t order by n")
        with pytest.raises(RuntimeError, match="StopIteration"):
            list(cur)
        with pytest.raises(dbapi.ProgrammingError, match="reading row 4 raised RuntimeError"):
            cur.fetchone()


@pytest.mark.parametrize("change", ["turn-on", "turn-off", "register", "rebind-registry"])
def test_a_cursor_made_before_a_change_converts_by_the_settings_at_its_next_execute(dsn, monkeypatch, change):
    # The converters are chosen when each result is described, from the
    # connection's detect_types and the registry as they are then.
    detect = dbapi.PARSE_DECLTYPES if change != "turn-on" else 0
    if change != "register":
        dbapi.register_converter("INTEGER", lambda text: int(text) * 10)
    with dbapi.connect(dsn, autocommit=True, detect_types=detect) as conn:
        conn.execute("create table t(n integer)")
        conn.execute("insert into t values (4)")
        cur = conn.cursor()
        before = cur.execute("select n from t").fetchone()
        if change == "turn-on":
            conn.detect_types = dbapi.PARSE_DECLTYPES
        elif change == "turn-off":
            conn.detect_types = 0
        elif change == "register":
            dbapi.register_converter("integer", lambda text: int(text) * 10)
        else:
            monkeypatch.setattr(dbapi, "converters", {"INTEGER": lambda text: -int(text)})
        after = cur.execute("select n from t").fetchone()
    assert (before, after) == {"turn-on": ((4,), (40,)), "turn-off": ((40,), (4,)), "register": ((4,), (40,)),
                               "rebind-registry": ((40,), (-4,))}[change]


def test_one_cursor_alternating_statements_reads_each_by_its_own_columns(dsn):
    # A repeated statement takes the layout kept for its columns; another
    # statement's columns between two runs must not leave it stale.
    with dbapi.connect(dsn, autocommit=True) as conn:
        conn.execute("create table u(id integer primary key, name varchar(24), amount double precision, qty integer)")
        conn.execute("insert into u values (1, 'one', 0.5, 7), (2, 'two', 1.5, 8)")
        cur = conn.cursor()
        wide = "select id, name, amount, qty from u where id = ?"
        narrow = "select qty, name from u where id = ?"
        for k in (1, 2, 1, 2):
            assert cur.execute(wide, (k,)).fetchone() == (k, ("one", "two")[k - 1], k - 0.5, 6 + k)
            assert cur.execute(narrow, (k,)).fetchone() == (6 + k, ("one", "two")[k - 1])
            assert cur.execute(wide, (k,)).fetchall() == [(k, ("one", "two")[k - 1], k - 0.5, 6 + k)]
