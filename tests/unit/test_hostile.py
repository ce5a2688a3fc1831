"""Hostile input: every public function and method given values of the wrong
type, out of range, unencodable, oversized, or objects whose special methods
raise; module names rebound to hostile objects; and a client library that
describes its results inconsistently.

Whatever the input, the driver raises a clear exception (never SystemError,
never a crash), and the objects stay usable afterwards.
"""

import copy
import datetime
import gc
import pickle
import struct

import pytest

import qxdouble
import rel_scenarios as rs
from pyqivrexdb import qxcore
from pyqivrexdb.errors import Error, InterfaceError, ProgrammingError
from qxdouble import colrec


class Boom(Exception):
    """Raised by the hostile objects below."""


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")


class BadIndex:
    def __index__(self):
        raise Boom("__index__")


class HugeIndex:
    def __index__(self):
        return 2 ** 100


class BadLen:
    def __len__(self):
        raise Boom("__len__")

    def __iter__(self):
        return iter([[1]])


class LyingLen:
    """len() says 3, iteration gives 5 rows."""

    def __len__(self):
        return 3

    def __iter__(self):
        return iter([[i] for i in range(5)])


class BadIter:
    def __len__(self):
        return 2

    def __iter__(self):
        raise Boom("__iter__")

    def __getitem__(self, i):
        raise Boom("__getitem__")


class BadEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    def __ne__(self, other):
        raise Boom("__ne__")

    def __lt__(self, other):
        raise Boom("__lt__")

    __gt__ = __le__ = __ge__ = __lt__
    __hash__ = object.__hash__


class BadStr:
    def __str__(self):
        raise Boom("__str__")

    def __repr__(self):
        raise Boom("__repr__")


class IntSub(int):
    pass


class StrSub(str):
    pass


class StrEncodesToStr(str):
    def encode(self, *args):
        return "not bytes"


class StrEncodesNul(str):
    def encode(self, *args):
        return b"a\0b"


class StrEncodeRaises(str):
    def encode(self, *args):
        raise Boom("encode")


class DateSub(datetime.date):
    pass


HOSTILE = [
    None, True, False, 0, -1, 1, 2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1, 2 ** 32 - 1,
    2 ** 32, 2 ** 64, -2 ** 64, 2 ** 1000, 1.5, float("nan"), float("inf"), "", "x", "€",
    "a\0b", "x" * 100000, "Ж" * 300, b"bytes", b"\0", bytearray(b"ba"), [], [1, "2"], (), (1,),
    {}, {"k": 1}, object(), IntSub(7), StrSub("s"), StrEncodesToStr("t"), StrEncodesNul("n"),
    StrEncodeRaises("r"), datetime.date(2000, 1, 1), DateSub(2000, 1, 1),
    datetime.datetime(2000, 1, 1), datetime.date(1, 1, 1), datetime.date(9999, 12, 31),
    BadBool(), BadIndex(), HugeIndex(), BadLen(), BadIter(), BadEq(), BadStr(), LyingLen(),
    print, qxcore, type,
]

# What any hostile value may raise: clear exceptions of the language and of
# the driver, and whatever the hostile object raised itself.
ALLOWED = (TypeError, ValueError, OverflowError, UnicodeError, AttributeError, IndexError,
           KeyError, LookupError, NameError, ZeroDivisionError, NotImplementedError, Error, Boom)


def survive(call, *args, **kwargs):
    """Calls and returns the exception (or None); anything outside ALLOWED,
    SystemError above all, fails the test."""
    try:
        call(*args, **kwargs)
    except SystemError:
        raise
    except ALLOWED as exc:
        return exc
    return None


@pytest.fixture
def conn(double):
    c = qxcore.connect("srv", "usr", "pw")
    yield c
    c.close()


@pytest.fixture
def cur(conn, double):
    c = conn.cursor()
    yield c
    try:
        c.close()
    except ProgrammingError:
        pass


def still_works(double, conn, cur=None):
    """The connection (and the cursor) still run a query and fetch it."""
    cur = cur or conn.cursor()
    double.set_result(rs.EVERY_TYPE_COLUMNS, rs.every_type_records(3))
    cur.execute("select * from t")
    rows = cur.fetchall()
    assert len(rows) == 3 and rows[2][0] == "r0002"
    assert [d.name for d in cur.description][:2] == ["Столбец0", "Столбец1"]
    assert double.stale_calls() == []
    return cur


# -- every argument of every method ---------------------------------------

def calls_of(conn, cur):
    """(name, callable taking one hostile value) for every argument position."""
    return [
        ("connect(dsn)", lambda v: qxcore.connect(v).close()),
        ("connect(user)", lambda v: qxcore.connect("s", v).close()),
        ("connect(passwd)", lambda v: qxcore.connect("s", "u", v).close()),
        ("Connection(server, user)", lambda v: qxcore.Connection(v, v, "p").close()),
        ("Connection.connect", lambda v: qxcore.Connection().connect("s", "u", v)),
        ("cursor(err_to_user)", lambda v: conn.cursor(v).close()),
        ("Cursor(hdb)", lambda v: qxcore.Cursor(v, False).close()),
        ("Cursor(err_to_user)", lambda v: qxcore.Cursor(1, v).close()),
        ("execute(textsql)", lambda v: cur.execute(v)),
        ("execute(params)", lambda v: cur.execute("select %s", v)),
        ("execute(textsql, params) failing", lambda v: failing_execute(conn.double, cur, v)),
        ("fetchmany(size)", lambda v: (run_query(conn.double, cur), cur.fetchmany(v))),
        ("arraysize", lambda v: setattr(cur, "arraysize", v)),
        ("row_count", lambda v: setattr(cur, "row_count", v)),
        ("set_start_record", lambda v: cur.set_start_record(v)),
        ("_read_results", lambda v: list(cur._read_results(v, v))),
        ("_read_retcode", lambda v: cur._read_retcode(v)),
        ("Connection.execute", lambda v: conn.execute(v)),
        ("begin(name)", lambda v: conn.begin(v, ["A"])),
        ("begin(tables_name)", lambda v: conn.begin("T", v)),
        ("commit", lambda v: conn.commit(v)),
        ("rollback", lambda v: conn.rollback(v)),
        ("send_callback", lambda v: conn.send_callback(v)),
        ("usersend_callback", lambda v: conn.usersend_callback(v)),
        ("addrecords(table_name)", lambda v: bulk(conn, v, [[1]])),
        ("addrecords(pydata)", lambda v: bulk(conn, "T", v)),
        ("addrecords(row)", lambda v: bulk(conn, "T", [v])),
        ("addrecords(item)", lambda v: bulk(conn, "T", [[v]], fields=rs.BULK_FIELDS)),
        ("addrecords(cursor)", lambda v: bulk(conn, "T", [[1]], v)),
        ("pydate2qxdate", lambda v: qxcore.pydate2qxdate(v)),
        ("srvsendlog", lambda v: qxcore.srvsendlog(v)),
        ("srvusersendlog", lambda v: qxcore.srvusersendlog(v, v)),
        ("Field attribute, name, str", field_with),
    ]


def run_query(double, cur, n=4):
    double.set_result([colrec(rs.LONG, 4, b"N")], b"".join(struct.pack("<i", i) for i in range(n)))
    cur.execute("select n")


def failing_execute(double, cur, params):
    double.fail("qcSqlExecDirect", -9, times=1)
    try:
        cur.execute("select", params)
    finally:
        double.fail("qcSqlExecDirect", 0)


def bulk(conn, table, data, cursor=None, fields=(("N", rs.LONG, 4),)):
    rs.script_table(conn.double, fields)
    conn.addrecords(table, data, cursor)


def field_with(value):
    f = qxcore.Field()
    for name in ("type", "len", "asname", "fname"):
        setattr(f, name, value)
    survive(lambda: f.name)
    survive(str, f)
    del f.type
    assert f.type is None


@pytest.mark.parametrize("index", range(len(calls_of(None, None))),
                         ids=[name for name, _ in calls_of(None, None)])
def test_hostile_values(double, index):
    # A subclass that can carry the double for the helpers above.
    class Conn(qxcore.Connection):
        pass

    conn = Conn("srv", "usr", "pw")
    conn.double = double
    cur = conn.cursor()
    name, call = calls_of(conn, cur)[index]
    qxcore.HEAPCTRL = 64
    outcomes = set()
    for value in HOSTILE:
        exc = survive(call, value)
        outcomes.add(type(exc).__name__ if exc else "ok")
        assert double.stale_calls() == [], (name, value)
    gc.collect()
    # Both the objects survived whatever they were given.
    try:
        cur.close()
    except ProgrammingError:
        pass
    conn.close()
    conn2 = qxcore.connect("again")
    still_works(double, conn2)
    conn2.close()
    assert outcomes


# -- the C-typed conversions at their bounds -------------------------------

@pytest.mark.parametrize("value, error", [
    (2 ** 31 - 1, None), (-2 ** 31, None), (2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError),
    (True, None), (IntSub(3), None), (1.0, TypeError), ("1", TypeError), (None, TypeError),
    (BadIndex(), Boom), (HugeIndex(), OverflowError),
])
def test_signed_conversions(cur, value, error):
    for setter in (lambda v: cur.set_start_record(v), lambda v: setattr(cur, "row_count", v)):
        if error is None:
            setter(value)
        else:
            with pytest.raises(error) as info:
                setter(value)
            if error is TypeError:
                assert info.value.args == ("an integer is required",)
    assert cur.get_number_records() == (int(value) if error is None else 0) or error is None


@pytest.mark.parametrize("value, error", [
    (0, None), (2 ** 32 - 1, None), (2 ** 32, OverflowError), (-1, OverflowError),
    (False, None), (IntSub(9), None), (2.0, TypeError), (BadIndex(), Boom),
])
def test_unsigned_conversion_of_arraysize(cur, value, error):
    if error is None:
        cur.arraysize = value
        assert cur.arraysize == int(value)
    else:
        with pytest.raises(error):
            cur.arraysize = value
        assert cur.arraysize == 1


def test_deleting_c_level_attributes(cur):
    for name in ("arraysize", "row_count"):
        with pytest.raises(NotImplementedError) as info:
            delattr(cur, name)
        assert info.value.args == ("__del__",)
    with pytest.raises(AttributeError):
        del cur.description


@pytest.mark.parametrize("how", [pickle.dumps, copy.copy, copy.deepcopy,
                                 lambda c: c.__reduce__(), lambda c: c.__setstate__(None),
                                 lambda c: c.__reduce_ex__(2)])
def test_cursor_refuses_pickling(cur, how):
    with pytest.raises(TypeError) as info:
        how(cur)
    assert "no default __reduce__ due to non-trivial __cinit__" in str(info.value)


def test_internal_iterator_cannot_be_made_or_misused(double, cur):
    run_query(double, cur)
    it = cur._read_results(0, 4)
    with pytest.raises(TypeError):
        type(it)()
    with pytest.raises(TypeError):
        it.send(1)  # a just-started generator
    assert next(it) == [0]
    with pytest.raises(Boom):
        it.throw(Boom("thrown"))
    with pytest.raises(StopIteration):
        next(it)
    it2 = cur._read_results(0, 4)
    with pytest.raises(TypeError):
        it2.throw(42)
    it2.close()
    it2.close()


def test_reinitialising_live_objects(double, conn, cur):
    run_query(double, cur)
    cur.__init__(conn_handle(double), False)
    assert cur.fetchone() == [0]
    with pytest.raises(TypeError):
        cur.__init__()
    conn.__init__()
    still_works(double, conn, cur)


def conn_handle(double):
    return double.live_connections()[0]


def test_uninitialised_connection(double):
    c = qxcore.Connection.__new__(qxcore.Connection)
    with pytest.raises(ProgrammingError):
        c.cursor()
    c.close()
    c.__del__()
    assert double.stale_calls() == []


def test_subclass_overrides_returning_nonsense(double, conn):
    class Odd(qxcore.Cursor):
        def _read_results(self, buffer_size, rec_size):
            return 5

        def _read_retcode(self, n):
            raise Boom("retcode")

    cur = Odd(conn_handle(double), False)
    run_query(double, cur)
    with pytest.raises((TypeError, AttributeError)):
        cur.fetchone()
    with pytest.raises(TypeError):
        cur.fetchall()
    double.set_retval(rs.LONG, b"\1\0\0\0")
    double.set_result([colrec(rs.LONG, 4)], b"\0" * 4)
    with pytest.raises(Boom):
        cur.execute("select")
    cur.close()
    assert double.stale_calls() == []


def test_subclass_fetchone_driving_iteration(double, conn):
    class Odd(qxcore.Cursor):
        calls = 0

        def fetchone(self):
            Odd.calls += 1
            if Odd.calls > 3:
                raise Boom("enough")
            return [] if Odd.calls == 3 else [Odd.calls]

    cur = Odd(conn_handle(double), False)
    assert list(cur) == [[1], [2]]  # an empty row ends the iteration
    with pytest.raises(Boom):
        cur.next()
    cur.close()


# -- rows and data that change while they are loaded -----------------------

class MutatingRow:
    """A row whose items empty the load's data and collect garbage."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, j):
        self.data.clear()
        gc.collect()
        return 5


def test_rows_that_mutate_the_data_being_loaded(double, conn):
    data = []
    data.extend([MutatingRow(data), [1], [2]])
    qxcore.HEAPCTRL = 4
    rs.script_table(double, [("N", rs.LONG, 4)])
    conn.addrecords("T", data)
    sent = [c.args[2:] for c in double.calls("qcSqlAddRecords")]
    assert sent == [(1, 4, b"\5\0\0\0")]


def test_bulk_values_at_the_edges(double, conn):
    fields = [("S", rs.CHAR, 3), ("H", rs.ARRA, 2), ("F", rs.FLOA, 4), ("D", rs.DATE, 2)]
    rows = [["€", "00", 1.0, datetime.date(2000, 1, 1)]]
    rs.script_table(double, fields)
    with pytest.raises(UnicodeEncodeError):
        conn.addrecords("T", rows)
    for value, error in [(1e300, None), (float("nan"), None), (-1e39, None),
                         (DateSub(2000, 1, 1), ProgrammingError), (StrSub("a"), ProgrammingError)]:
        row = ["abc", "zz" * 1000, value if isinstance(value, float) else 1.0,
               value if isinstance(value, datetime.date) else datetime.date(2000, 1, 1)]
        if isinstance(value, StrSub):
            row[0] = value
        rs.script_table(double, fields)
        if error:
            with pytest.raises(error):
                conn.addrecords("T", [row])
        else:
            conn.addrecords("T", [row])
    assert double.stale_calls() == []


@pytest.mark.parametrize("fields, error", [
    ([("B", rs.BYTE, 2)], "Field length error"),
    ([("N", rs.NMBR, 4)], "Field length error"),
    ([("L", rs.LONG, 8)], "Field length error"),
    ([("D", rs.DFLT, 9)], "Field length error"),
    ([("X", 12, 4)], "Field type error"),
    ([("X", -1, 4)], "Field type error"),
    ([("X", 2 ** 31 - 1, 4)], "Field type error"),
    ([("C", rs.CHAR, 0)], None),
    # records longer than the library's unsigned size can say
    ([("C", rs.CHAR, 2 ** 31 - 1)] * 3, "Record length error"),
])
def test_table_layouts_the_loader_cannot_pack(double, conn, fields, error):
    rs.script_table(double, fields)
    qxcore.HEAPCTRL = 1 << 16
    data = [["x"] if fields[0][1] == rs.CHAR else [1]]
    if error is None:
        conn.addrecords("T", data)
        return
    with pytest.raises((ProgrammingError, MemoryError)):
        conn.addrecords("T", data)
    assert double.calls("qcSqlAddRecords") == []


# -- module names rebound to hostile objects -------------------------------

class BadLogger:
    def __getattr__(self, name):
        raise Boom("log." + name)


def raising_initlibrary():
    raise Boom("initlibrary")


REBINDINGS = [
    ("DEBUG", BadBool()), ("DEBUG", True), ("log", BadLogger()), ("HEAPCTRL", BadIndex()),
    ("HEAPCTRL", -1), ("HEAPCTRL", 2 ** 40), ("HEAPCTRL", 0), ("HEAPCTRL", 1), ("HEAPCTRL", 1.5),
    ("initlibrary", raising_initlibrary), ("QSCLI_ET_LONG", BadEq()), ("QSCLI_ET_CHAR", 7),
    ("collections", None), ("binascii", None), ("datetime", None), ("SCALLBACK", BadBool()),
    ("srvsendlog", None), ("ProgrammingError", None), ("InterfaceError", None),
]


@pytest.mark.parametrize("scenario", rs.SCENARIOS, ids=repr)
def test_operations_with_hostile_module_names(double, monkeypatch, scenario):
    for name, value in REBINDINGS:
        double.reset()
        ctx = scenario.setup(double)
        scenario.script(double, ctx)
        saved = vars(qxcore).copy()
        if value is None:
            del vars(qxcore)[name]
        else:
            setattr(qxcore, name, value)
        try:
            survive(scenario.op, ctx)
        finally:
            vars(qxcore).clear()
            vars(qxcore).update(saved)
        scenario.cleanup(ctx)
        assert double.stale_calls() == [], name
        # Whatever failed, nothing was left allocated that a user could not
        # release: an abandoned statement of a cursor that was never handed
        # out would show here.
        assert double.live_connections() == [], name
        assert double.live_statements() == [], name


# -- results the library describes inconsistently --------------------------

@pytest.mark.parametrize("columns, records, script, error", [
    # lengths that overrun the record
    ([colrec(rs.CHAR, 10)], b"x" * 4, dict(rec_size=4), "more than the record size"),
    ([colrec(rs.CHAR, 0xFFFFFFFF)], b"x" * 4, dict(rec_size=4), "more than the record size"),
    ([colrec(rs.LONG, 4), colrec(rs.LONG, 0xFFFFFFFD)], b"x" * 8, dict(rec_size=8),
     "more than the record size|Field length"),
    # fixed-width types shorter or longer than they read
    ([colrec(rs.INTR, 1)], b"x", {}, "Field length error"),
    ([colrec(rs.DFLT, 9)], b"x" * 9, {}, "Field length error"),
    ([colrec(rs.NMBR, 5)], b"x" * 5, {}, "Field length error"),
    # type codes out of range
    ([colrec(12, 4)], b"x" * 4, {}, "Field type error"),
    ([colrec(-1, 4)], b"x" * 4, {}, "Field type error"),
    ([colrec(2 ** 31 - 1, 4)], b"x" * 4, {}, "Field type error"),
    ([colrec(-2 ** 31, 4)], b"x" * 4, {}, "Field type error"),
    # record sizes of 0
    ([colrec(rs.LONG, 4)], b"x" * 8, dict(rec_size=0, row_count=2, reads=[8]), "not whole records"),
    ([colrec(rs.CHAR, 0)], b"", dict(rec_size=0, row_count=5, reads=[0]), None),
    # more columns claimed than described: the rest are zeroed records
    ([colrec(rs.LONG, 4)], b"\1\0\0\0", dict(col_count=3), None),
])
def test_inconsistent_descriptions_are_refused(double, cur, columns, records, script, error):
    double.set_result(columns, records, **script)
    cur.execute("select")
    if error is None:
        cur.fetchall()
    else:
        with pytest.raises(ProgrammingError, match=error):
            cur.fetchall()
    still_works(double, None, cur)


@pytest.mark.parametrize("col_count", [-2, -2 ** 31, 2 ** 31 - 1, 2 ** 25 + 1])
def test_column_counts_that_cannot_be(double, cur, col_count):
    double.set_result([colrec(rs.LONG, 4)], b"\0" * 4, col_count=col_count)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("select")
    assert info.value.args == ("qcSqlNumResultCols error %d:", col_count)
    assert double.calls("qcSqlOpenResults") == []
    still_works(double, None, cur)


def test_huge_but_possible_column_count(double, cur):
    # 100000 descriptors, all zero: CHAR columns of no bytes.
    double.set_result([], b"", rec_size=0, row_count=0, col_count=100000)
    cur.execute("select")
    assert len(cur.description or []) in (0, 100000)
    assert cur.fetchall() == []


@pytest.mark.parametrize("rtype, body, size", [
    (rs.CHAR, b"abc", 0), (rs.CHAR, b"x" * 64, 3), (rs.LONG, b"\1", 1), (rs.LONG, b"\1" * 9, 9),
    (rs.DFLT, b"\1" * 20, 20), (rs.ARRA, b"\xff" * 40, 40), (rs.DATE, b"\xff\xff", 2),
    (12, b"\0" * 4, 4), (-2, b"", 4), (2 ** 31 - 1, b"x", 1), (rs.CHAR, b"y" * 10, 1 << 20),
])
def test_return_values_of_any_shape(double, cur, rtype, body, size):
    double.set_retval(rtype, body, size)
    cur.execute("select")
    cur.retcode()
    still_works(double, None, cur)


@pytest.mark.parametrize("rec_size, heapctrl", [(1, 0), (1, 1 << 20), (3, 7), (1 << 20, 1),
                                                 (0xFFFFFFFF, 1), (7, 0xFFFFFFFF)])
def test_read_buffer_sizes_at_their_bounds(double, cur, rec_size, heapctrl):
    qxcore.HEAPCTRL = heapctrl
    double.set_result([colrec(rs.CHAR, min(rec_size, 8))], b"", rec_size=rec_size, row_count=1,
                      reads=[0])
    cur.execute("select")
    try:
        assert cur.fetchall() == []
    except MemoryError:
        pass
    still_works(double, None, cur)


def test_names_filling_their_whole_member(double, cur):
    double.set_result([colrec(rs.LONG, 4, fname=b"F" * 40, asname=b"", coder=b"c" * 32)],
                      b"\0" * 4)
    cur.execute("select")
    assert cur.description[0].name == "F" * 32


# -- statements and names that cannot be sent ------------------------------

@pytest.mark.parametrize("text, error", [
    ("select '€'", UnicodeEncodeError), ("a\0b", ValueError), (b"select", AttributeError),
    (StrEncodesToStr("x"), TypeError), (StrEncodesNul("x"), ValueError),
    (StrEncodeRaises("x"), Boom), ("select " + "x" * 10 ** 6, None), ("", None),
], ids=["unencodable", "nul", "bytes", "encodes-to-str", "encodes-nul", "encode-raises", "huge",
        "empty"])
def test_statements(double, conn, cur, text, error):
    for run in (cur.execute, conn.execute):
        double.clear()
        if error is None:
            run(text)
            assert [len(c.args[1]) for c in double.calls("qcSqlExecDirect")] == [len(text)]
        else:
            with pytest.raises(error):
                run(text)
            assert double.calls("qcSqlExecDirect") == []
    assert double.live_statements() == [cur_handle(double)]


def cur_handle(double):
    return double.live_statements()[0]


@pytest.mark.parametrize("args, error", [
    (("a\0b", "u", "p"), ValueError), (("s", "€", "p"), UnicodeEncodeError),
    (("s", "u", None), AttributeError), ((b"s", "u", "p"), AttributeError),
    (("s" * 10 ** 6, "u", "p"), None),
], ids=["nul", "unencodable", "none", "bytes", "huge"])
def test_logon_texts(double, args, error):
    if error is None:
        qxcore.connect(*args).close()
    else:
        with pytest.raises(error):
            qxcore.connect(*args)
    assert double.live_connections() == []


def test_connect_with_dsn_none_loads_nothing(double):
    with pytest.raises(InterfaceError) as info:
        qxcore.connect(None)
    assert info.value.args == ("dsn value should not be None",)
    assert double.calls() == []


# -- the fuzzers' seed inputs, replayed -----------------------------------

FUZZ = __import__("pathlib").Path(__file__).resolve().parents[2] / "fuzz"


@pytest.mark.parametrize("target", ["records", "retval", "bulk", "messages"])
def test_fuzz_seeds_replay(double, target):
    sys_path = __import__("sys").path
    if str(FUZZ) not in sys_path:
        sys_path.insert(0, str(FUZZ))
    import fuzz_targets
    fuzz_targets.setup(double)
    seeds = sorted((FUZZ / "seeds" / target).glob("*"))
    assert seeds
    for seed in seeds:
        fuzz_targets.CONN = qxcore.connect("fuzz")
        fuzz_targets.TARGETS[target](seed.read_bytes())


# -- the standard face ------------------------------------------------------

@pytest.fixture
def std(double):
    from pyqivrexdb import dbapi
    conn = dbapi.connect("srv", autocommit=True)
    yield conn
    conn.close()


def standard_calls(conn, cur):
    """Every argument position of the standard face, as call(value)."""
    return [
        lambda v: cur.execute("select ?", (v,)),
        lambda v: cur.execute("select :a", {"a": v}),
        lambda v: cur.execute(v),
        lambda v: cur.execute("select ?", v),
        lambda v: cur.executemany("select ?", [(v,)]),
        lambda v: cur.executemany("select ?", v),
        lambda v: cur.fetchmany(v),
        lambda v: setattr(cur, "arraysize", v),
        lambda v: conn.addrecords("t", [(v,)]),
        lambda v: conn.addrecords("t", v),
        lambda v: conn.addrecords(v, [(1,)]),
        lambda v: setattr(conn, "autocommit", v),
    ]


@pytest.mark.parametrize("index", range(12))
def test_hostile_values_on_the_standard_face(double, std, index):
    cur = std.cursor()
    call = standard_calls(std, cur)[index]
    for value in HOSTILE:
        double.offer(qxdouble.QSCLI_ATTR_NULL_FLAGS)
        rs.script_table(double, [("N", rs.LONG, 4)])
        survive(call, value)
        double.reset()
    # Nothing the values did broke the cursor or the connection.
    std.autocommit = True
    double.set_result([colrec(rs.LONG, 4, b"N")], b"\x07\0\0\0")
    assert cur.execute("select").fetchall() == [(7,)]


@pytest.mark.parametrize("rec_size, flags, result", [
    (4, b"", "more than the record size"),        # the flags missing altogether
    (3, b"", "more than the record size"),
    (5, b"\x01", None),                           # as it should be
    (5, b"\xfe", 7),                              # bits past the columns mean nothing
    (6, b"\x01\x00", 7),                          # room to spare: the flags end the record
])
def test_null_flags_the_library_gets_wrong(double, std, rec_size, flags, result):
    double.offer(qxdouble.QSCLI_ATTR_NULL_FLAGS)
    cur = std.cursor()
    double.set_result([colrec(rs.LONG, 4, b"N")], (b"\x07\0\0\0" + flags)[:rec_size] * 2, rec_size=rec_size)
    cur.execute("select")
    if isinstance(result, str):
        with pytest.raises(ProgrammingError, match=result):
            cur.fetchall()
    else:
        assert cur.fetchall() == [(result,)] * 2


@pytest.mark.parametrize("length, result", [
    (0, b""), (2, b"\x01\x00"), (3, b"\x01\x00\x03"), (4, b"\x01\x00\x03"), (0xFFFFFFFF, b"\x01\x00\x03"),
    (None, "more than the record size"),       # no room for the length at all
])
def test_binary_lengths_the_library_gets_wrong(double, std, length, result):
    # A length past the field never reads past it (into the next field or
    # the flags).
    double.offer(qxdouble.QSCLI_ATTR_NULL_FLAGS, value=2)
    cur = std.cursor()
    trailer = b"\x00" + (b"" if length is None else struct.pack("<I", length))
    double.set_result([colrec(rs.ARRA, 3, b"B"), colrec(rs.LONG, 4, b"N")],
                      (b"\x01\x00\x03" + b"\x07\0\0\0" + trailer) * 2, rec_size=7 + len(trailer))
    cur.execute("select")
    if isinstance(result, str):
        with pytest.raises(ProgrammingError, match=result):
            cur.fetchall()
    else:
        assert cur.fetchall() == [(result, 7)] * 2


@pytest.mark.parametrize("text", [b"", b"x" * 5000, b"\xff\xfe", b"a\0b"])
def test_error_texts_of_any_shape(double, std, text):
    double.offer(qxdouble.QSCLI_STMT_ERR_TEXT)
    double.set_attr_text(qxdouble.QSCLI_STMT_ERR_TEXT, text)
    cur = std.cursor()
    double.fail("qcSqlExecDirect", -1, times=1)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("x")
    # Cut to the driver's buffer of 1023 bytes, the last one the terminator.
    want = text.split(b"\0")[0][:1022].decode("cp866") or None
    assert info.value.server_text == want
