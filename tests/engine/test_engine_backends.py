"""What a program sees on either backend: every test runs on an SQLite file
and on a PostgreSQL server (the `dsn` fixture), with the same expectations."""
import datetime
import struct

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi, qxcore
from pyqivrexdb.errors import DatabaseError, ProgrammingError

from conftest import ET

MISMATCH = -20  # QSCLI_E_MISMATCH

BLOB = {"sqlite": "blob", "postgresql": "bytea"}


@pytest.fixture
def conn(dsn):
    c = pyqivrexdb.connect(dsn)
    yield c
    c.close()


def fetch(cur, sql, params=None):
    cur.execute(sql, params)
    return cur.fetchall()


def code_of(excinfo):
    return excinfo.value.error_code_qivrex


# ---- element types ----

LAYOUT = ("c varchar(6), i smallint, l integer, d date, m money, x double precision, b boolean, t text, "
          "n numeric(12,2), big bigint, y {blob}")
ROWS = [
    ["Привет", -32767, -2147483647, datetime.date(1900, 1, 1), 0.01, -1e300, 1, "длинный текст", -12.5,
     -9007199254740992.0, b"00ab"],
    ["abc", 32767, 2147483647, datetime.date(2078, 12, 31), 12345.67, 2.5, 0, "", 0.0, 9007199254740992.0, b""],
]


def test_every_element_type_round_trips(conn, cur, backend):
    conn.execute("create table t(" + LAYOUT.format(blob=BLOB[backend]) + ")")
    conn.addrecords("t", ROWS)
    cur.execute("select * from t order by l")
    types = [(f.type_code, f.internal_size) for f in cur.description]
    assert types == [(0, 6), (3, 2), (7, 4), (5, 2), (10, 8), (11, 8), (2, 1), (0, 13), (11, 8), (11, 8), (1, 255)]
    got = cur.fetchall()
    assert [r[0].split("\0")[0] for r in got] == ["Привет", "abc"]
    assert [r[1:7] for r in got] == [row[1:7] for row in ROWS]
    assert [r[7].split("\0")[0] for r in got] == ["длинный текст", ""]
    assert [r[8:10] for r in got] == [row[8:10] for row in ROWS]
    assert got[0][10][:4] == b"00ab"


EURO = {"sqlite": "char(8364)", "postgresql": "chr(8364)"}


@pytest.mark.parametrize("value,sql_type", [
    ("EURO", "text"),                  # no CP866 character
    ("'1899-12-31'", "date"),          # before the packed range
    ("'2079-01-01'", "date"),
    ("9007199254740993", "bigint"),    # no exact double
])
def test_a_value_that_does_not_fit_fails(conn, cur, backend, value, sql_type):
    conn.execute(f"create table w(v {sql_type})")
    value = EURO[backend] if value == "EURO" else value
    # Refused when written; a bigint is stored (it is int64 to a reader that
    # asks) and the core face's read refuses it.
    insert = f"insert into w values ({value})"
    if sql_type != "bigint":
        with pytest.raises(ProgrammingError) as e:
            conn.execute(insert)
    else:
        conn.execute(insert)
        with pytest.raises(ProgrammingError) as e:
            cur.execute("select v from w")
    assert code_of(e) == -20


def test_null_reads_as_zero_bytes(conn, cur):
    conn.execute("create table t(i integer, c varchar(3), d date, x double precision)")
    conn.execute("insert into t values (null, null, null, null)")
    assert fetch(cur, "select * from t") == [[0, "\0\0\0", None, 0.0]]


# ---- return values and changed rows ----

@pytest.mark.parametrize("sql,value", [
    ("return 7;", 7),
    ("return 2.5;", 2.5),
    ("return 'abc';", "abc"),
    ("return 7 as smallint;", 7),
    ("return 7 as double;", 7.0),
    ("return 'x' as varchar(3);", "x"),
    ("return null;", None),
])
def test_return_value(cur, sql, value):
    cur.execute(sql)
    assert cur.retcode() == value
    assert cur.fetchall() == []


# The library's bytes, alike on both backends: text ends with its NUL, bytes
# keep their declared width.
@pytest.mark.parametrize("sql,etype,body", [
    ("return 'abc';", "CHAR", b"abc\0"),
    ("return 'abc' as char(3);", "CHAR", b"abc\0"),
    ("return 'ab' as char(5);", "CHAR", b"ab\0"),
    ("return null as char(5);", "CHAR", b"\0"),
    ("return 12 as char(5);", "CHAR", b"12\0"),
    ("return x'0a' as binary(3);", "ARRA", b"\x0a\0\0"),
    ("return 254 as byte;", "BYTE", b"\xfe"),
    ("return '2078-12-31' as date;", "DATE", struct.pack("<H", 65379)),
    ("return 0.5 as float;", "FLOA", struct.pack("<f", 0.5)),
    ("return 'abcd' as char(3);", None, None),
    ("return 256 as byte;", None, None),
])
def test_return_value_bytes(eng, dsn, sql, etype, body):
    hdb = eng.open(dsn)
    try:
        hs = eng.stmt(hdb)
        rc = eng.exec(hs, sql)
        if etype is None:
            assert rc == MISMATCH and eng.retval(hs) is None
        else:
            assert rc == 0 and eng.retval(hs) == (ET[etype], body)
    finally:
        eng.close(hdb)


def test_changed_rows_are_the_return_value(conn, cur):
    conn.execute("create table t(id integer primary key, v integer)")
    cur.execute("insert into t values (1, 1), (2, 2), (3, 3)")
    assert cur.retcode() == 3
    cur.execute("update t set v = v + 1 where id > 1")
    assert cur.retcode() == 2
    cur.execute("delete from t")
    assert cur.retcode() == 3
    cur.execute("return count(*) from t;")
    assert cur.retcode() == 0


# ---- transactions ----

def test_named_transactions(conn, cur, dsn):
    conn.execute("create table t(id integer)")
    conn.begin("T1", ["t"])
    conn.execute("insert into t values (1)")
    conn.begin("T2", ["t"])
    conn.execute("insert into t values (2)")
    conn.rollback("T2")
    conn.commit("T1")
    assert fetch(cur, "select id from t") == [[1]]
    conn.begin("T3", ["t"])
    conn.execute("insert into t values (3)")
    with pytest.raises(DatabaseError) as e:
        conn.commit("NOPE")
    assert code_of(e) == -64
    with pyqivrexdb.connect(dsn) as other:
        assert fetch(other.cursor(), "select count(*) from t") == [[1]]  # T3 not committed yet
    conn.rollback("T3")
    assert fetch(cur, "select id from t") == [[1]]


def test_a_commit_of_a_transaction_an_error_spoiled_reports_its_rollback(conn, cur, backend):
    if backend != "postgresql":
        pytest.skip("SQLite ends such a transaction itself")
    conn.execute("create table t(id integer)")
    conn.begin("T", ["t"])
    conn.execute("insert into t values (1)")
    with pytest.raises(DatabaseError):
        conn.execute("savepoint 1")  # a savepoint runs without a savepoint of its own
    with pytest.raises(DatabaseError) as e:
        conn.commit("T")
    assert code_of(e) == -4
    assert fetch(cur, "select count(*) from t") == [[0]]
    conn.begin("T", ["t"])  # the name went with the transaction
    conn.execute("insert into t values (2)")
    conn.commit("T")
    assert fetch(cur, "select id from t") == [[2]]


def test_a_failing_statement_inside_a_transaction_takes_back_only_itself(conn, cur):
    conn.execute("create table t(id integer primary key)")
    conn.begin("T", ["t"])
    conn.execute("insert into t values (1)")
    with pytest.raises(DatabaseError) as e:
        conn.execute("insert into t values (1)")
    assert code_of(e) == -19
    conn.execute("insert into t values (2)")
    conn.commit("T")
    assert fetch(cur, "select id from t order by id") == [[1], [2]]


# ---- statements ----

def test_table_structure(conn, cur, backend):
    conn.execute(f"create table t(id integer, name varchar(10), day date, note text, y {BLOB[backend]})")
    rows = fetch(cur, 'select * from QXTBLSTRUCT("t")')
    assert [(r[1], r[2].rstrip("\0 "), r[3], r[4], r[5]) for r in rows] == [
        (0, "id", 7, 4, 0), (1, "name", 0, 10, 4), (2, "day", 5, 2, 14), (3, "note", 0, 255, 16),
        (4, "y", 1, 255, 271)]
    assert fetch(cur, "select count(*) from QXTBLSTRUCT('t') where len = 255") == [[2]]
    with pytest.raises(ProgrammingError) as e:
        cur.execute('select * from QXTBLSTRUCT("nowhere")')
    assert code_of(e) == -1


DECLARED = {"sqlite": ["integer", "varchar(10)"], "postgresql": ["integer", "character varying(10)"]}


@pytest.mark.parametrize("sql", [
    'select * from QXTBLSTRUCT("t")',
    "select * from QXTBLSTRUCT('t') as f where 1 = 1",
    'select q.* from victim, QXTBLSTRUCT("t") q',
])
def test_table_structure_reads_alike_in_any_place(conn, cur, backend, sql):
    conn.execute("create table t(id integer, name varchar(10))")
    conn.execute("create table victim(v integer)")
    conn.execute("insert into victim values (1)")
    cur.execute(sql)
    assert [d[0].lower() for d in cur.description] == ["tbl", "fieldno", "fname", "type", "len", "off", "decl"]
    rows = cur.fetchall()
    assert [(r[0].rstrip("\0 "), r[6].rstrip("\0 ").lower()) for r in rows] == [
        ("t", d) for d in DECLARED[backend]]


def test_several_statements_in_one_text_leave_the_last_result(conn, cur):
    cur.execute("create table t(id integer); insert into t values (1); insert into t values (2); "
                "select id from t order by id")
    assert cur.fetchall() == [[1], [2]]


def test_large_result_read_in_many_buffers(conn, cur):
    conn.execute("create table t(id integer, name varchar(12))")
    rows = [[k, f"name {k}"] for k in range(30000)]
    conn.addrecords("t", rows)
    qxcore.HEAPCTRL = 1000
    cur.execute("select id, name from t order by id")
    got = cur.fetchall()
    assert len(got) == 30000
    assert [r[0] for r in got] == list(range(30000))
    assert got[-1][1].split("\0")[0] == "name 29999"


def test_errors_carry_the_same_codes(conn, cur):
    conn.execute("create table t(id integer primary key)")
    conn.execute("insert into t values (1)")
    with pytest.raises(ProgrammingError) as e:
        cur.execute("insert into t values (1)")
    assert code_of(e) == -19
    with pytest.raises(ProgrammingError) as e:
        cur.execute("select * from nowhere")
    assert code_of(e) == -1


def test_err_to_user_hands_the_error_to_the_message_callback(dsn):
    got = []
    with pyqivrexdb.connect(dsn) as conn:
        conn.send_callback(got.append)
        cur = conn.cursor()
        cur.execute("err_to_user(1);")
        with pytest.raises(ProgrammingError):
            cur.execute("select * from nowhere")
    assert len(got) == 1 and got[0].startswith("error -1: ") and "nowhere" in got[0]


# ---- loading ----

def test_a_refused_batch_leaves_nothing_of_itself(conn, cur):
    conn.execute("create table t(id integer primary key, v integer)")
    qxcore.HEAPCTRL = 80  # ten records of 8 bytes a batch
    rows = [[k, k] for k in range(25)] + [[3, 0]] + [[k, k] for k in range(100, 110)]
    with pytest.raises(ProgrammingError) as e:
        conn.addrecords("t", rows)
    assert e.value.rows_sent == 20
    assert fetch(cur, "select count(*) from t") == [[20]]


@pytest.mark.parametrize("face", ["core", "standard"])
@pytest.mark.parametrize("heap", [None, 800])
def test_batches_are_larger_on_a_server_for_the_standard_face_unless_heapctrl_asks_for_small_ones(
        conn, cur, dsn, backend, face, heap):
    # Each batch on a server is a COPY of its own: the standard face sends a
    # 96 KB load there whole. The core face hands over HEAPCTRL bytes a call.
    conn.execute("create table t(id integer primary key, v integer)")
    if heap:
        qxcore.HEAPCTRL = heap
    rows = [[k, k] for k in range(12000)] + [[5, 0]]
    if face == "core":
        with pytest.raises(ProgrammingError) as e:
            conn.addrecords("t", rows)
        per_batch = (heap or 65536) // 8
        assert e.value.rows_sent == 12000 // per_batch * per_batch
        assert fetch(cur, "select count(*) from t") == [[e.value.rows_sent]]
        return
    with dbapi.connect(dsn, autocommit=True) as std:
        with pytest.raises(dbapi.DatabaseError) as e:
            std.cursor().executemany("insert into t values (?, ?)", rows)
    # The standard face's executemany is whole or nothing; the batch that
    # failed began after rows_sent rows.
    whole = backend == "postgresql" and not heap
    assert (e.value.rows_sent == 0) == whole


def test_a_batch_inside_a_named_transaction_stays_part_of_it(conn, cur):
    conn.execute("create table t(id integer primary key)")
    conn.begin("T", ["t"])
    conn.addrecords("t", [[1], [2]])
    with pytest.raises(ProgrammingError):
        conn.addrecords("t", [[3], [1]])
    conn.rollback("T")
    assert fetch(cur, "select count(*) from t") == [[0]]


def test_two_connections_share_committed_data(dsn):
    with pyqivrexdb.connect(dsn) as a, pyqivrexdb.connect(dsn) as b:
        a.execute("create table t(id integer)")
        a.addrecords("t", [[1], [2]])
        assert fetch(b.cursor(), "select count(*) from t") == [[2]]


@pytest.mark.parametrize("decl", ["real", "double precision", "numeric(12,2)", "money"])
def test_a_nan_refuses_its_batch_naming_the_field(conn, cur, decl):
    conn.execute(f"create table t(id integer, v {decl})")
    with pytest.raises(ProgrammingError) as e:
        conn.addrecords("t", [[1, 1.5], [2, float("nan")]])
    assert code_of(e) == -20
    assert "field v: NaN" in e.value.server_text
    assert fetch(cur, "select count(*) from t") == [[0]]


@pytest.mark.parametrize("again, value", [
    ("v integer", 7),              # same record size, another type
    ("v varchar(4)", "abcd"),      # same size, text
    ("w double precision", 2.25),  # another size
])
def test_a_table_made_anew_between_loads_is_loaded_by_its_new_layout(conn, cur, again, value):
    conn.execute("create table t(id integer, v real)")
    conn.addrecords("t", [[1, 1.5]])
    conn.execute("drop table t")
    conn.execute(f"create table t(id integer, {again})")
    conn.addrecords("t", [[2, value]])
    assert fetch(cur, "select * from t") == [[2, value]]
    conn.execute("drop table t")
    with pytest.raises(ProgrammingError):
        conn.addrecords("t", [[3, value]])


# (how the value is written, what the core face reads from a char(5))
CHAR_N = [
    ("'AB'", "AB\0  "),
    ("' AB'", " AB\0 "),
    ("'ABCDE'", "ABCDE"),
    ("''", "\0    "),
]


@pytest.mark.parametrize("written, read", CHAR_N, ids=[c[0] for c in CHAR_N])
def test_a_char_n_reads_the_same_on_both_backends(conn, cur, written, read):
    conn.execute("create table t(v char(5))")
    cur.execute("insert into t values (%s)" % written)
    assert fetch(cur, "select v from t") == [[read]]
    cur.execute("insert into t values (%s)" % written)
    assert fetch(cur, "select v from t where v = %s" % written) == [[read], [read]]
    conn.addrecords("t", [[read]])
    assert fetch(cur, "select count(*) from t where v = %s" % written) == [[3]]


def test_a_char_n_written_with_blanks_reads_without_them_on_postgresql(pg_cluster):
    from conftest import pg_dsn
    conn = pyqivrexdb.connect(pg_dsn(pg_cluster))
    try:
        cur = conn.cursor()
        cur.execute("create table t(v char(5), w varchar(5))")
        cur.execute("insert into t values ('AB   ', 'AB   ')")
        # char(n) compares without its blanks; varchar keeps them
        assert fetch(cur, "select v, w, 'AB'::char(5), 'AB '::bpchar from t where v = 'AB'") == \
            [["AB\0  ", "AB   ", "AB\0  ", "AB"]]
    finally:
        conn.close()
