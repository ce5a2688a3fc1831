"""The standard face through the test double: what reaches the library, and
how it copes with a library that offers the optional capabilities or not."""
import datetime
import decimal
import gc
import struct

import pytest

import qxdouble
from pyqivrexdb import dbapi, qxcore
from pyqivrexdb.errors import CommitOutcomeUnknown, DatabaseError, DataError, IntegrityError, OperationalError, ProgrammingError
from qxdouble import (QSCLI_ATTR_NULL_FLAGS, QSCLI_CONN_ERR_TEXT, QSCLI_ET_ARRA, QSCLI_ET_CHAR, QSCLI_ET_DATE,
                      QSCLI_ET_LONG, QSCLI_STMT_CHANGES, QSCLI_STMT_ERR_TEXT, QSCLI_STMT_LAST_ROWID, colrec)


class Money(decimal.Decimal):
    """Prints as a bookkeeper would: a comma would be a second column."""
    def __str__(self):
        return "{:,.2f}".format(decimal.Decimal(self))

    def is_finite(self):
        return True


class Hostile(decimal.Decimal):
    def __str__(self):
        return "1; drop table t; --"


class OddDatetime(datetime.datetime):
    def isoformat(self, *args):
        return 5


@pytest.fixture
def conn(double):
    c = dbapi.connect("srv", autocommit=True)
    double.clear()
    yield c
    c.close()


def sent(double):
    return [c.args[1] for c in double.calls("qcSqlExecDirect")]


@pytest.mark.parametrize("sql, params, text", [
    ("select ?", ("O'Brien",), b"select 'O''Brien'"),
    ("select ?", ("x'; drop table t; --",), b"select 'x''; drop table t; --'"),
    ("select ?", ("Жук",), "select 'Жук'".encode("cp866")),
    ("select 7-?", (-2,), b"select 7- -2"),
    ("select 7-?", (-2.5,), b"select 7- -2.5"),
    ("select ?", (1e16,), b"select 1e+16"),
    ("select ?", (3.0,), b"select 3.0"),
    ("select ?", (decimal.Decimal("-1.50"),), b"select  -1.50"),
    ("select ?, ?", (True, False), b"select TRUE, FALSE"),
    ("select ?", (None,), b"select NULL"),
    ("select ?", (b"\x00\xab'",), b"select X'00AB27'"),
    ("select ?", (datetime.date(2024, 5, 1),), b"select '2024-05-01'"),
    ("select ?", (datetime.datetime(2024, 5, 1, 1, 2, 3, 4),), b"select '2024-05-01 01:02:03.000004'"),
    ("select ?", (datetime.time(1, 2),), b"select '01:02:00'"),
    ("select '?', \"?\", `?`, [?] -- ?\n/* ? */ ?", (1,), b"select '?', \"?\", `?`, [?] -- ?\n/* ? */ 1"),
    ("select :a, ':a', :b, :a", {"a": 1, "b": "x"}, b"select 1, ':a', 'x', 1"),
    ("select a::text, :a", {"a": 2}, b"select a::text, 2"),
    ("select ? -- unterminated '", (1,), b"select 1 -- unterminated '"),
    ("select 'open ?", (), b"select 'open ?"),
    ("select '?', :: -- ?", None, b"select '?', :: -- ?"),
    ("select ?, ?", (float("inf"), float("-inf")), b"select 9e999,  -9e999"),
    ("select 7-?", (float("-inf"),), b"select 7- -9e999"),
    ("select ?, ?", (Money("1234.5"), 2), b"select 1234.5, 2"),
    ("select ?", (Hostile("3"),), b"select 3"),
])
def test_values_become_exactly_one_literal(double, conn, sql, params, text):
    double.fail("qcSqlExecDirect", 0)
    conn.cursor().execute(sql, params)
    assert sent(double) == [text]


@pytest.mark.parametrize("sql, marks", [
    ("insert into t values (?)", 1), ("select ?, ?", 2), ("select :a", 1), ("select ?1", 1), ("select x::int, :a", 1)])
def test_placeholders_without_values_are_refused_before_sending(double, conn, sql, marks):
    # The engine would bind NULL to each.
    double.fail("qcSqlExecDirect", 0)
    with pytest.raises(ProgrammingError, match="has %d placeholders but no values were given" % marks):
        conn.cursor().execute(sql)
    assert sent(double) == []


@pytest.mark.parametrize("value, cls", [
    (float("nan"), DataError),
    (decimal.Decimal("1e400"), DataError),  # finite, beyond a double
    (decimal.Decimal("-1e400"), DataError),
    (decimal.Decimal("Infinity"), DataError),
    (OddDatetime(2024, 1, 1), TypeError),
])
def test_a_refused_value_sends_nothing(double, conn, value, cls):
    cur = conn.cursor()
    double.clear()
    with pytest.raises(cls):
        cur.execute("select ?, ?", (1, value))
    assert double.names() == []


def scripted(double, rows, types=(QSCLI_ET_LONG, QSCLI_ET_CHAR, QSCLI_ET_ARRA, QSCLI_ET_DATE),
             lens=(4, 4, 2, 2), flags=None, rec_size=None):
    """A result of `rows`, each a tuple of raw field bytes, with optional
    null-flag bytes after each record."""
    cols = [colrec(t, n, fname=b"c%d" % i) for i, (t, n) in enumerate(zip(types, lens))]
    records = b""
    for k, row in enumerate(rows):
        records += b"".join(row) + (flags[k] if flags else b"")
    size = sum(lens) + (len(flags[0]) if flags else 0)
    double.set_result(cols, records, rec_size=size if rec_size is None else rec_size)


RAW = (struct.pack("<i", 7), b"ab\0 ", b"\x01\x02", struct.pack("<H", qxdouble.pack_date(datetime.date(2024, 5, 1))))
ZERO = (b"\0" * 4, b"\0" * 4, b"\0\0", b"\0\0")


def test_without_null_flags_values_read_as_the_core_reads_them(double, conn):
    cur = conn.cursor()
    assert not cur.null_flags
    scripted(double, [RAW, ZERO])
    cur.execute("select")
    assert cur.fetchall() == [(7, "ab", b"\x01\x02", datetime.date(2024, 5, 1)), (0, "", b"\0\0", None)]


def test_rows_are_left_out_of_garbage_collection_and_the_core_faces_lists_are_not(double, conn):
    # A million fetched tuples must add nothing to the next collection; a
    # list is the caller's to fill, so it may take part in a cycle.
    scripted(double, [RAW, ZERO])
    cur = conn.cursor()
    cur.execute("select")
    assert [gc.is_tracked(row) for row in cur.fetchall()] == [False, False]
    core = qxcore.connect("srv", "user", "pw").cursor()
    scripted(double, [RAW])
    core.execute("select")
    assert gc.is_tracked(core.fetchone())


def test_null_flags_make_none(double, conn):
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    cur = conn.cursor()
    assert cur.null_flags
    asked = [c.args[1:] for c in double.calls("qcSqlSetStmtAttr") if c.args[1] == QSCLI_ATTR_NULL_FLAGS]
    assert asked[-1] == (QSCLI_ATTR_NULL_FLAGS, 1, 0)
    scripted(double, [RAW, ZERO, ZERO], flags=[b"\x00", b"\x0f", b"\x05"])
    cur.execute("select")
    assert cur.fetchall() == [RAW_VALUES, (None,) * 4, (None, "", None, None)]


RAW_VALUES = (7, "ab", b"\x01\x02", datetime.date(2024, 5, 1))

from pyqivrexdb._qxstandard import QSCLI_ATTR_INT64, QSCLI_ET_INT64  # noqa: E402
INT64_BOUNDS = [-(2**63), -1, 2**53 + 1, 2**63 - 1]


def test_int64_columns_read_exactly_when_the_library_offers_them(double, conn):
    double.offer(QSCLI_ATTR_INT64)
    cur = conn.cursor()
    assert (QSCLI_ATTR_INT64, 1, 0) in [c.args[1:] for c in double.calls("qcSqlSetStmtAttr")]
    scripted(double, [(v.to_bytes(8, "little", signed=True),) for v in INT64_BOUNDS], types=(QSCLI_ET_INT64,),
             lens=(8,))
    cur.execute("select")
    assert cur.fetchall() == [(v,) for v in INT64_BOUNDS]
    assert cur.description[0][1] == dbapi.NUMBER


def test_a_library_without_int64_is_asked_once_a_session(double, conn):
    conn.cursor()
    conn.cursor()
    asked = [c for c in double.calls("qcSqlSetStmtAttr") if c.args[1] == QSCLI_ATTR_INT64]
    assert len(asked) == 1


def test_the_core_face_never_takes_int64(double):
    import pyqivrexdb
    double.offer(QSCLI_ATTR_INT64)
    core = pyqivrexdb.connect("srv")
    cur = core.cursor()
    scripted(double, [((5).to_bytes(8, "little"),)], types=(QSCLI_ET_INT64,), lens=(8,))
    cur.execute("select")
    with pytest.raises(ProgrammingError, match="Field type error"):
        cur.fetchall()
    assert all(c.args[1] != QSCLI_ATTR_INT64 for c in double.calls("qcSqlSetStmtAttr"))
    core.close()


@pytest.mark.parametrize("rec_size", [12, 11])
def test_short_null_flags_are_refused_not_read_past(double, conn, rec_size):
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    cur = conn.cursor()
    scripted(double, [RAW], flags=[b"\x00"], rec_size=rec_size)
    cur.execute("select")
    with pytest.raises(ProgrammingError):
        cur.fetchall()


def test_nine_columns_take_two_flag_bytes(double, conn):
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    cur = conn.cursor()
    scripted(double, [(b"\x01",) * 9], types=(2,) * 9, lens=(1,) * 9, flags=[b"\x00\x01"])
    cur.execute("select")
    assert cur.fetchall() == [(1,) * 8 + (None,)]


def null_flag_settings(double):
    return [c.args[2] for c in double.calls("qcSqlSetStmtAttr") if c.args[1] == QSCLI_ATTR_NULL_FLAGS]


@pytest.mark.parametrize("offer, setting, asked", [
    (None, 0, [2, 1]),   # the vendor's library: asked once a session, then never again
    (1, 1, [2, 1]),      # flags without lengths: binary values read as wide as the field
    (2, 2, [2]),
])
def test_null_flags_ask_for_arra_lengths_first_and_remember_a_refusal(double, conn, offer, setting, asked):
    if offer:
        double.offer(QSCLI_ATTR_NULL_FLAGS, value=offer)
    cur = conn.cursor()
    assert cur.null_flags == setting and null_flag_settings(double) == asked
    lengths = [struct.pack("<I", 1), struct.pack("<I", 0)] if setting == 2 else [b"", b""]
    flags = [b"\x00" + lengths[0], b"\x04" + lengths[1]] if setting else None
    scripted(double, [RAW[:2] + (b"\x05\x00",) + RAW[3:], RAW], flags=flags)
    cur.execute("select")
    blob = b"\x05" if setting == 2 else b"\x05\x00"
    assert cur.fetchall() == [(7, "ab", blob, datetime.date(2024, 5, 1)),
                              RAW_VALUES[:2] + ((None if setting else b"\x01\x02"),) + RAW_VALUES[3:]]
    double.clear()
    assert conn.cursor().null_flags == setting
    assert null_flag_settings(double) == ([setting] if setting else [])


def test_rowcount_and_lastrowid_with_and_without_the_capabilities(double, conn):
    cur = conn.cursor()
    cur.execute("update")
    assert (cur.rowcount, cur.lastrowid) == (-1, None)
    double.offer(QSCLI_STMT_CHANGES, value=3)
    double.offer(QSCLI_STMT_LAST_ROWID, value=42)
    cur.execute("insert")
    assert (cur.rowcount, cur.lastrowid) == (3, 42)
    double.offer(QSCLI_STMT_LAST_ROWID, value=0)
    cur.execute("update")
    assert (cur.rowcount, cur.lastrowid) == (3, None)
    scripted(double, [RAW, RAW])
    cur.execute("select")
    assert cur.rowcount == 2


@pytest.mark.parametrize("type_, body, value", [
    (QSCLI_ET_ARRA, b"\x00\xab\x00", b"\x00\xab\x00"),  # whole, not hexadecimal text cut at a NUL
    (QSCLI_ET_CHAR, "Итог\0хвост".encode("cp866"), "Итог"),
    (QSCLI_ET_LONG, b"\xfe\xff\xff\xff", -2),
    (QSCLI_ET_DATE, b"\0\0", None),
    (-1, b"\1\2\3\4", None),
])
def test_return_value_of_each_statement(double, conn, type_, body, value):
    cur = conn.cursor()
    double.set_retval(type_, body)
    cur.execute("call f()")
    assert cur.retcode() == value and type(cur.retcode()) is type(value)
    cur.execute("call g()")  # no return value this time
    assert cur.retcode() is None


@pytest.mark.parametrize("rc, cls", [
    (-19, IntegrityError), (-1, ProgrammingError), (-5, OperationalError), (-9, OperationalError),
    (-10, OperationalError), (-13, OperationalError), (-20, DataError), (-11, DatabaseError),
    (-12345, DatabaseError), (-98, CommitOutcomeUnknown),
])
@pytest.mark.parametrize("text", [None, "the server's own words"])
def test_errors_by_cause(double, conn, rc, cls, text):
    cur = conn.cursor()
    if text:
        double.offer(QSCLI_STMT_ERR_TEXT)
        double.set_attr_text(QSCLI_STMT_ERR_TEXT, text.encode("cp866"))
    double.fail("qcSqlExecDirect", rc, times=1)
    with pytest.raises(cls) as info:
        cur.execute("x")
    assert type(info.value) is cls
    assert str(info.value) == (text or "qcSqlExecDirect error %d" % rc)
    assert (info.value.code, info.value.server_text) == (rc, text)


def test_the_cores_exceptions_get_the_text_and_keep_their_args(double):
    double.offer(QSCLI_STMT_ERR_TEXT)
    double.set_attr_text(QSCLI_STMT_ERR_TEXT, "нет такой таблицы".encode("cp866"))
    qxcore.initlibrary()
    cur = qxcore.Cursor(1, False)
    double.fail("qcSqlExecDirect", -1, times=2)
    with pytest.raises(ProgrammingError) as info:
        cur.execute("select x")
    assert info.value.args == ("execute() error %d:", -1)
    assert info.value.server_text == "нет такой таблицы"
    with pytest.raises(IntegrityError) as info:
        cur.execute("select %s", (1,))
    assert info.value.args == ("execute() error=%d: params=[$%]", (-1, "1"))
    assert info.value.server_text == "нет такой таблицы"
    conn = qxcore.connect("srv")
    double.fail("qcSqlExecDirect", -1, times=1)
    with pytest.raises(ProgrammingError) as info:
        conn.execute("commit work T1")
    assert info.value.args == ("qcSqlExecDirect error %d:", -1)
    assert info.value.server_text == "нет такой таблицы"
    conn.close()


def test_connect_errors_by_cause_with_the_servers_text(double):
    double.offer(QSCLI_CONN_ERR_TEXT)
    double.set_attr_text(QSCLI_CONN_ERR_TEXT, b"unable to open database file")
    double.fail("qcSqlConnect", -14)
    with pytest.raises(OperationalError, match="^unable to open database file$") as info:
        dbapi.connect("srv")
    assert info.value.code == -14
    assert double.live_connections() == []


def test_transactions_open_deferred_before_the_first_statement(double):
    c = dbapi.connect("srv")
    cur = c.cursor()
    c.commit()
    c.rollback()
    assert sent(double) == []
    cur.execute("select 1")
    cur.execute("select 2")
    c.commit()
    c.commit()
    cur.execute("select 3")
    c.rollback()
    c.close()
    assert sent(double) == [b"begin deferred", b"select 1", b"select 2", b"commit", b"begin deferred",
                            b"select 3", b"rollback"]
    assert double.live_statements() == [] and double.live_connections() == []


def test_autocommit_sends_no_transaction_statements(double, conn):
    cur = conn.cursor()
    cur.execute("select 1")
    conn.commit()
    conn.rollback()
    assert sent(double) == [b"select 1"]


def test_close_rolls_back_an_open_transaction(double):
    c = dbapi.connect("srv")
    c.cursor().execute("insert")
    c.close()
    assert sent(double)[-1] == b"rollback"
    assert double.live_connections() == []


def test_a_library_without_null_flags_refuses_none_in_bulk_loads(double, conn):
    double.set_result([colrec(QSCLI_ET_CHAR, 8, b"T"), colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_CHAR, 8),
                       colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_LONG, 4)],
                      b"t\0      " + struct.pack("<i", 0) + b"n\0      " + struct.pack("<ii", QSCLI_ET_LONG, 4))
    with pytest.raises(dbapi.NotSupportedError, match="row 0, field n: the client library cannot load NULL"):
        conn.addrecords("t", [(None,)])
    assert double.names()[-1] != "qcSqlAddRecords"


def test_bulk_records_carry_null_flags(double, conn):
    double.offer(QSCLI_ATTR_NULL_FLAGS)
    # The structure query's own records end with their null flags too.
    double.set_result([colrec(QSCLI_ET_CHAR, 8, b"T"), colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_CHAR, 8),
                       colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_LONG, 4)],
                      b"t\0      " + struct.pack("<i", 0) + b"n\0      " + struct.pack("<ii", QSCLI_ET_LONG, 4)
                      + b"\0", rec_size=29)
    assert conn.addrecords("t", [(None,), (5,)]) == 2
    call = double.calls("qcSqlAddRecords")[0]
    assert call.args[1:4] == (b"t", 2, 5)
    assert call.args[4] == b"\0\0\0\0\x01" + struct.pack("<i", 5) + b"\0"


def test_autocommit_turned_off_opens_a_transaction_at_the_next_statement(double, conn):
    cur = conn.cursor()
    cur.execute("select 1")
    conn.autocommit = False
    cur.execute("select 2")
    conn.autocommit = True
    cur.execute("select 3")
    assert sent(double) == [b"select 1", b"begin deferred", b"select 2", b"commit", b"select 3"]


@pytest.mark.parametrize("args, kwargs, outcome", [
    (("select ?", (1,)), {}, b"select 1"),
    (("select ?", (1,), None), {}, b"select 1"),
    (("select ?",), {"parameters": (1,)}, b"select 1"),
    ((), {"operation": "select ?", "parameters": (1,), "adapters": None}, b"select 1"),
    ((), {}, "missing required argument 'operation'"),
    (("select 1",), {"bogus": 1}, "'bogus' is an invalid keyword argument"),
    (("select 1", None, None, None), {}, "takes at most 3 arguments"),
    (("select 1",), {"operation": "x"}, "given by name"),
])
def test_the_native_execute_takes_its_arguments_by_position_or_name(double, conn, args, kwargs, outcome):
    cur = conn.cursor()
    if isinstance(outcome, bytes):
        dbapi._standard.Cursor.execute(cur, *args, **kwargs)
        assert sent(double) == [outcome]
    else:
        with pytest.raises(TypeError, match=outcome):
            dbapi._standard.Cursor.execute(cur, *args, **kwargs)
        assert sent(double) == []
