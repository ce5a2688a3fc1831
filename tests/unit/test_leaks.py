"""Leak checks: every public operation repeated many times, on its success
paths and on every error path, must not grow the live objects, the memory
Python allocates or the resident memory, and must give back every client
handle the design releases.

A release build has no total reference count, so the checks are: live
objects by type (gc), allocated memory blocks and traced memory (tracemalloc
sees every buffer the driver takes from Python's allocator), the reference
counts of the objects the driver hands out most (None, True, False, its
classes and functions, the exception classes), and resident memory for the
driver's own C++ allocations.
"""

import collections
import copy
import datetime
import gc
import logging
import pickle
import struct
import sys
import tracemalloc

import pytest

import rel_scenarios as rs
from pyqivrexdb import errors, qxcore
from qxdouble import colrec

# Objects a leaked reference would most likely point at.
WATCHED = [None, True, False, (), "", qxcore.Cursor, qxcore.Connection, qxcore.Field,
           qxcore.connect, errors.ProgrammingError, errors.DatabaseError,
           errors.InterfaceError, errors.IntegrityError, datetime.date]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def _under_sanitizer():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# AddressSanitizer keeps freed memory in quarantine, so resident memory grows
# under it whatever the code does; and with Python's allocator switched off
# there are no allocated blocks to count.
SANITIZED = _under_sanitizer()


class Snapshot:
    def __init__(self):
        gc.collect()
        gc.collect()
        self.blocks = sys.getallocatedblocks()
        self.traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
        self.rss = resident_bytes()
        self.refs = [sys.getrefcount(o) for o in WATCHED]
        self.types = collections.Counter(type(o).__name__ for o in gc.get_objects())
        # What the snapshot itself holds (its counts are new ints) is not
        # the operation's.
        self.own_blocks = sys.getallocatedblocks() - self.blocks
        self.own_traced = (tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing()
                           else 0) - self.traced


def growth(before, after, rounds, bound, rss_slack):
    """What grew by `bound` items or more."""
    grown = {}
    for name, count in (after.types - before.types).items():
        if count >= bound:
            grown["objects " + name] = count
    blocks = after.blocks - before.blocks - before.own_blocks
    if blocks >= bound:
        grown["allocated blocks"] = blocks
    traced = after.traced - before.traced - before.own_traced
    if traced >= 64 * rounds + 65536:
        grown["traced bytes"] = traced
    for obj, b, a in zip(WATCHED, before.refs, after.refs):
        if a - b >= bound:
            grown["references to %r" % (obj,)] = a - b
    if not SANITIZED and after.rss - before.rss > rss_slack:
        grown["resident bytes"] = after.rss - before.rss
    return grown


@pytest.fixture(autouse=True)
def quiet_log(monkeypatch):
    # The log lines of DEBUG runs are written but not kept: pytest's own
    # capture would hold every record. A filter drops them before any
    # handler, also one pytest attaches to the logger itself.
    log = logging.getLogger("pyqivrexdb.qxcore")
    monkeypatch.setattr(log, "filters", [lambda record: False])


@pytest.fixture
def traced():
    """Traces Python's allocator: the driver's buffers come from it."""
    tracemalloc.start()
    yield
    tracemalloc.stop()


def assert_no_growth(double, fn, rounds, warmup=None, bound=None, rss_slack=8 << 20):
    """Runs fn warmup + 3 x rounds times. What grows by `bound` (a quarter of
    the rounds: a leak of one item in every fourth call) in each of the three
    runs grows with the rounds: a leak. (A cache filling up or the interpreter
    settling grows less each time, by a few dozen blocks at most.)"""
    bound = bound or max(rounds // 4, 25)
    for _ in range(warmup if warmup is not None else rounds):
        fn()
        double.clear()
    marks = [Snapshot()]
    for _ in range(3):
        for _ in range(rounds):
            fn()
            double.clear()
        marks.append(Snapshot())
    grown = [growth(a, b, rounds, bound, rss_slack) for a, b in zip(marks, marks[1:])]
    leaks = {k: tuple(g[k] for g in grown) for k in set.intersection(*(set(g) for g in grown))}
    assert not leaks, leaks
    assert double.stale_calls() == []


# -- every operation on its success path -----------------------------------

@pytest.mark.parametrize("scenario", rs.SCENARIOS, ids=repr)
def test_operation_repeated(double, scenario):
    assert_no_growth(double, lambda: rs.run_through(double, scenario), rounds=1000)
    assert double.live_connections() == [] and double.live_statements() == []


# -- every operation with each of its client calls failing -----------------

@pytest.mark.parametrize("scenario", rs.SCENARIOS, ids=repr)
def test_error_paths_repeated(double, scenario):
    points = rs.failure_points(rs.run_once(double, scenario))

    def sweep():
        for point in points:
            rs.run_through(double, scenario, point)

    # One leaking error path among them leaks once a sweep.
    rounds = max(100, 2000 // len(points))
    assert_no_growth(double, sweep, rounds=rounds, bound=rounds // 2)


# -- the pieces users touch in loops ---------------------------------------

@pytest.fixture
def cur(double):
    conn = qxcore.connect("srv")
    c = conn.cursor()
    yield c
    c.close()
    conn.close()


def every_shape(double, cur):
    """Results of every shape: no result set, no columns, no rows, one
    buffer, many buffers, with and without a return value."""
    qxcore.HEAPCTRL = 3 * rs.RECORD_SIZE
    double.set_result([], col_count=-1)
    cur.execute("update t")
    assert cur.fetchone() is None and cur.fetchall() == [] and cur.description is None
    double.set_result([], col_count=0)
    cur.execute("select")
    cur.fetchall()
    double.set_result(rs.EVERY_TYPE_COLUMNS, b"")
    cur.execute("select * from t where 0")
    assert cur.fetchall() == []
    double.set_result(rs.EVERY_TYPE_COLUMNS, rs.every_type_records(2))
    double.set_retval(rs.DATE, struct.pack("<H", 100))
    cur.execute("select * from t")
    assert len(cur.fetchall()) == 2 and cur.retcode() == datetime.date(1900, 4, 10)
    double.set_result(rs.EVERY_TYPE_COLUMNS, rs.every_type_records(10))
    cur.execute("select * from t where n = %(n)s", {"n": 1})
    [d.name for d in cur.description]
    cur.fetchone()
    cur.fetchmany(3)
    for _ in cur:
        pass
    double.set_result(rs.EVERY_TYPE_COLUMNS, rs.every_type_records(10))
    cur.execute("select")
    cur.fetchmany(2)  # abandoned half read: the next execute drops it


def test_results_of_every_shape(double, traced, cur):
    assert_no_growth(double, lambda: every_shape(double, cur), rounds=400)


def test_failing_reads_and_bad_descriptions(double, traced, cur):
    def bad():
        for columns, script in [
            ([colrec(12, 4)], {}),
            ([colrec(rs.CHAR, 50)], dict(rec_size=4)),
            ([colrec(rs.LONG, 4)], dict(reads=[6])),
            ([colrec(rs.LONG, 4)], dict(col_count=-7)),
        ]:
            double.set_result(columns, b"\0" * 8, **script)
            try:
                cur.execute("select")
                cur.fetchall()
            except errors.ProgrammingError:
                pass
        double.set_result([colrec(rs.LONG, 4)], b"\0" * 8)
        cur.execute("select")
        double.fail("qcSqlReadResults", -1, times=1)
        try:
            cur.fetchall()
        except errors.ProgrammingError:
            pass

    assert_no_growth(double, bad, rounds=400)


def test_refusals_and_misuse(double, cur):
    conn = qxcore.Connection()

    def refused():
        for attempt in (lambda: pickle.dumps(cur), lambda: copy.copy(cur),
                        lambda: copy.deepcopy(cur), lambda: conn.cursor(),
                        lambda: qxcore.connect(None), lambda: qxcore.pydate2qxdate(1),
                        lambda: qxcore.pydate2qxdate(datetime.date(1800, 1, 1)),
                        lambda: cur.execute("€"), lambda: cur.execute("%s %s", (1,)),
                        lambda: setattr(cur, "arraysize", -1), lambda: delattr(cur, "row_count"),
                        lambda: qxcore.Cursor("x", 1), lambda: cur.fetchmany(1, 2),
                        lambda: conn.begin("T", [1]), lambda: conn.addrecords("a\0b", [])):
            try:
                attempt()
            except (TypeError, ValueError, OverflowError, NotImplementedError,
                    errors.Error):
                pass

    assert_no_growth(double, refused, rounds=300)


def test_callbacks_repeated(double, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    conn = qxcore.connect("srv")
    got = []

    def receiver(message, *rest):
        got.append(message)
        if len(got) % 3 == 0:
            raise RuntimeError("receiver fails")

    def deliver():
        conn.send_callback(receiver)
        conn.usersend_callback(receiver)
        double.add_message(b"s" * 600, "qcSqlExecDirect")
        double.add_message("польз".encode("cp866"), "qcSqlExecDirect", user_type=5)
        conn.execute("notify")
        got.clear()
        seen.clear()

    assert_no_growth(double, deliver, rounds=500)
    conn.close()


def test_bulk_loads_repeated(double, traced):
    conn = qxcore.connect("srv")
    double.set_bulk_journal(False)

    def load():
        qxcore.HEAPCTRL = 4 * rs.RECORD_SIZE
        rs.script_table(double, rs.BULK_FIELDS)
        conn.addrecords("T", [rs.every_type_row(i) for i in range(9)])
        rs.script_table(double, rs.BULK_FIELDS)
        try:
            conn.addrecords("T", [rs.every_type_row(1), rs.every_type_row(2)[:3]])
        except IndexError:
            pass
        rs.script_table(double, rs.BULK_FIELDS)
        try:
            conn.addrecords("T", [rs.every_type_row(1)[:2] + [255] + rs.every_type_row(1)[3:]])
        except errors.ProgrammingError:
            pass

    assert_no_growth(double, load, rounds=500, warmup=1500)
    conn.close()


def test_large_results_do_not_grow_resident_memory(double, traced, cur):
    # A leaked read buffer or row would cost megabytes here.
    qxcore.HEAPCTRL = 1 << 16
    records = rs.every_type_records(3000)

    def big():
        double.set_result(rs.EVERY_TYPE_COLUMNS, records)
        cur.execute("select")
        assert len(cur.fetchall()) == 3000

    assert_no_growth(double, big, rounds=20, warmup=5, rss_slack=4 << 20)


@pytest.mark.parametrize("leak", [
    lambda kept: kept.append(object()),             # an object a round
    lambda kept: kept.append(None),                 # a reference a round
    lambda kept: kept.append(bytes(300)),           # a small block a round
    lambda kept: kept.append(bytearray(1 << 14)),   # a buffer a round
])
@pytest.mark.skipif(SANITIZED, reason="memory is not measurable under AddressSanitizer")
def test_the_detector_sees_a_leak(double, traced, leak):
    kept = []
    with pytest.raises(AssertionError):
        assert_no_growth(double, lambda: leak(kept), rounds=1000, warmup=10)


# -- the standard face -------------------------------------------------------

def standard_round(double):
    """A session of the standard face on every path it has: null flags, bound
    values of every kind, errors by cause with a text, a bulk load with NULL
    and a refused value, transactions, cursors dropped without close()."""
    from pyqivrexdb import dbapi
    import qxdouble
    for attr in (qxdouble.QSCLI_ATTR_NULL_FLAGS, qxdouble.QSCLI_STMT_ERR_TEXT, qxdouble.QSCLI_STMT_CHANGES,
                 qxdouble.QSCLI_STMT_LAST_ROWID):
        double.offer(attr, value=1)
    double.set_attr_text(qxdouble.QSCLI_STMT_ERR_TEXT, "нет такой таблицы".encode("cp866"))
    conn = dbapi.connect("srv", autocommit=True)
    cur = conn.cursor()
    def every_type():
        double.set_result(rs.EVERY_TYPE_COLUMNS,
                          b"".join(rs.every_type_record(i) + b"\x00\x08" for i in range(5)),
                          rec_size=rs.RECORD_SIZE + 2)

    every_type()
    cur.execute("select * from t where a = ? and b = ?", ("O'Brien", b"\x00"))
    assert len(cur.fetchall()) == 5 and cur.description
    # each row factory, one that fails, and a result left half read
    for factory in (dbapi.Row, dbapi.dict_row, dbapi.namedtuple_row, lambda c, r: r, lambda c, r: 1 / 0):
        cur.row_factory = factory
        try:
            every_type()
            cur.execute("select * from t")
            cur.fetchone()
            cur.fetchall()
            every_type()
            cur.execute("select * from t")
            cur.fetchone()
        except ZeroDivisionError:
            pass
    cur.row_factory = None
    for params in [(1, 2.5, None, True), (datetime.date(2000, 1, 1), datetime.datetime(2000, 1, 1), "Ж" * 40,
                                          bytearray(b"x"))]:
        cur.execute("select " + ", ".join("?" * len(params)), params)
    for bad in [(float("nan"),), ("a\0",), (object(),), ()]:
        try:
            cur.execute("select ?", bad)
        except errors.Error:
            pass
    double.fail("qcSqlExecDirect", -1, times=1)
    try:
        cur.execute("select x")
    except errors.ProgrammingError as exc:
        assert exc.server_text
    # The structure query's records end with their null flags too.
    double.set_result(rs.STRUCT_COLUMNS, b"".join(
        struct.pack("<ii32sii", 0, i, name.ljust(32), t, n) + b"\x00"
        for i, (name, t, n) in enumerate([(b"N", rs.LONG, 4), (b"S", rs.CHAR, 4)])), rec_size=49)
    conn.addrecords("t", [(1, None), (None, "ab")])
    double.set_result(rs.STRUCT_COLUMNS, struct.pack("<ii32sii", 0, 0, b"N".ljust(32), rs.LONG, 4) + b"\x00",
                      rec_size=49)
    try:
        conn.addrecords("u", [(2 ** 40,)])  # another table: t's layout is known by now
    except errors.DataError:
        pass
    # adapters (one that returns what cannot be bound) and converters (one that fails)
    for adapter in (str, lambda v: [v]):
        conn.adapters[datetime.timedelta] = adapter
        try:
            cur.execute("select ?", (datetime.timedelta(1),))
        except errors.ProgrammingError:
            pass
    conn.adapters.clear()
    conn.detect_types = dbapi.PARSE_DECLTYPES
    for converter in (str.upper, int):
        dbapi.converters["J"] = converter
        double.set_result([colrec(rs.CHAR, 4, b"v", coder=b"J")], b"ab\0\0\0" + b"\0\0\0\0\x01", rec_size=5)
        try:
            assert cur.execute("select v").fetchall() == [("AB",), (None,)]
        except ValueError:
            pass
    del dbapi.converters["J"]
    conn.autocommit = False
    conn.cursor().execute("update t set n = ?", (1,))
    conn.rollback()
    conn.close()


def test_standard_face_repeated(double, traced):
    assert_no_growth(double, lambda: standard_round(double), rounds=400)
    assert double.live_connections() == [] and double.live_statements() == []


def dropped_core_cursors(double):
    """Core cursors dropped without close(), with results open and not,
    some outliving their connection."""
    conn = qxcore.connect("srv")
    for k in range(3):
        cur = conn.cursor()
        if k:
            double.set_result(rs.EVERY_TYPE_COLUMNS, rs.every_type_record(k), rec_size=rs.RECORD_SIZE)
            cur.execute("select * from t")
            if k == 2:
                cur.fetchone()
        del cur
    kept = conn.cursor()
    conn.close()
    del kept


def test_dropped_core_cursors_give_their_statements_back(double, traced):
    assert_no_growth(double, lambda: dropped_core_cursors(double), rounds=400)
    assert double.live_connections() == [] and double.live_statements() == []


def test_arrow_ingest_repeated(double, traced):
    # Values packed from Arrow buffers, and refused ones named by row.
    pa = pytest.importorskip("pyarrow")
    from pyqivrexdb import dbapi
    from qxdouble import QSCLI_ATTR_NULL_FLAGS
    conn = dbapi.connect("srv", autocommit=True)
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    fields = [(b"t", rs.CHAR, 8), (b"l", rs.LONG, 4), (b"f", rs.DFLT, 8), (b"day", rs.DATE, 2), (b"ts", rs.CHAR, 32)]
    double.set_result([colrec(rs.CHAR, 8, b"T"), colrec(rs.LONG, 4), colrec(rs.CHAR, 8), colrec(rs.LONG, 4),
                       colrec(rs.LONG, 4)],
                      b"".join(b"t".ljust(8, b"\0") + struct.pack("<i", k) + name.ljust(8, b"\0")
                               + struct.pack("<ii", t, n) + b"\0" for k, (name, t, n) in enumerate(fields)),
                      rec_size=29)
    conn.table_layout("t")  # kept for the connection from now on
    columns = {"t": pa.array(["ab", None, "жж"]), "l": pa.array([None, 2, 3], pa.uint32()),
               "f": pa.array([0.5, None, 1], pa.float32()),
               "day": pa.array([datetime.date(2000, 1, 1), None, None], pa.date32()),
               "ts": pa.array([0, None, 10**9], pa.timestamp("ms", "UTC"))}
    good = pa.table(columns)
    bad = pa.table({**columns, "l": pa.array([1, 2**40, 3], pa.int64())})  # row 1 past LONG
    cur = conn.cursor()

    def ingest():
        assert cur.adbc_ingest("t", good, mode="append") == 3
        with pytest.raises(dbapi.DataError, match="row 1, field l"):
            cur.adbc_ingest("t", bad, mode="append")

    assert_no_growth(double, ingest, rounds=200)
    conn.close()
