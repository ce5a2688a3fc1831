"""The driver on the embedded engine: what a program sees end to end."""
import datetime
import gc
import logging

import pytest

import pyqivrexdb
from pyqivrexdb import qxcore
from pyqivrexdb.errors import IntegrityError, ProgrammingError


@pytest.fixture
def conn():
    c = pyqivrexdb.connect(":memory:")
    yield c
    c.close()


def fetch(cur, sql, params=None):
    cur.execute(sql, params)
    return cur.fetchall()


def test_connect_and_information(tmp_path):
    path = tmp_path / "sales.db"
    with pyqivrexdb.connect(str(path), "клерк", "пароль") as c:
        assert c.server_version().startswith("SQLite 3.")  # test_engine_sqlite.py
        assert c.server_address() == "in-process"
        assert " pid " in c.client_address()
    assert path.exists()


def test_connect_failure_is_a_database_error(tmp_path):
    with pytest.raises(pyqivrexdb.DatabaseError) as e:
        pyqivrexdb.connect(str(tmp_path / "missing" / "dir" / "x.db"))
    assert e.value.args == ("qcSqlConnect error %d:", -14)


@pytest.mark.parametrize("args, error", [
    (("x\0y", "", ""), ValueError),
    ((None, "", ""), AttributeError),
    (("/nonexistent/dir/x.db", "", ""), pyqivrexdb.DatabaseError),
])
def test_a_failed_reconnect_keeps_the_session_and_its_cursors(conn, cur, args, error):
    # An in-memory database lives as long as its session: the rows prove it.
    cur.execute("create table t(n integer)")
    cur.execute("insert into t values (1)")
    with pytest.raises(error):
        conn.connect(*args)
    cur.execute("insert into t values (2)")
    assert fetch(conn.cursor(), "select n from t order by n") == [[1], [2]]


def test_a_reconnect_replaces_the_session(conn, cur, tmp_path):
    cur.execute("create table t(n integer)")
    conn.connect(str(tmp_path / "other.db"), "", "")
    with pytest.raises(pyqivrexdb.ProgrammingError):
        cur.execute("select 1")  # the old session's statement is gone
    assert fetch(conn.cursor(), "select count(*) from sqlite_master") == [[0]]


# ---- every element type through addrecords and fetchall ----

LAYOUT = ("c char(6), a binary(3), b byte, i smallint, w word, d date, n nmbr, l integer, u dword, f float, "
          "m money, x double")
ROWS = [
    ["Привет", "00ab10", 0, -32767, 0, datetime.date(1900, 1, 1), 0, -2147483647, 0, 0.5, 0.01, -1e300],
    ["abc", b"ff", 254, 32767, 65534, datetime.date(2078, 12, 31), 16777214, 2147483647, 4294967294, -2.25,
     12.5, 3.0],
    [b"\x8f\xe0", "", 1, -2, 1, datetime.date(2024, 2, 29), 65537, -1, 1, 1e30, -0.5, 0.1],
]
EXPECTED = [
    ["Привет", b"00ab10", 0, -32767, 0, datetime.date(1900, 1, 1), 0, -2147483647, 0, 0.5, 0.01, -1e300],
    ["abc\0  ", b"ff0000", 254, 32767, 65534, datetime.date(2078, 12, 31), 16777214, 2147483647, 4294967294,
     -2.25, 12.5, 3.0],
    ["Пр\0   ", b"000000", 1, -2, 1, datetime.date(2024, 2, 29), 65537, -1, 1, 1.0000000150474662e30, -0.5, 0.1],
]


def test_every_element_type_round_trips(conn, cur):
    conn.execute(f"create table t({LAYOUT})")
    conn.addrecords("t", ROWS)
    assert fetch(cur, "select * from t") == EXPECTED
    assert [(d.name, d.type_code, d.internal_size) for d in cur.description] == [
        ("c", 0, 6), ("a", 1, 3), ("b", 2, 1), ("i", 3, 2), ("w", 4, 2), ("d", 5, 2), ("n", 6, 3), ("l", 7, 4),
        ("u", 8, 4), ("f", 9, 4), ("m", 10, 8), ("x", 11, 8)]
    # the database holds plain values other tools read: UTF-8 text, ISO dates
    assert fetch(cur, "select length(c), d || '', typeof(d) from t where b = 254") == [[3, "2078-12-31", "text"]]


def test_addrecords_in_many_batches_and_a_refused_one(conn, cur):
    conn.execute("create table t(id integer primary key, s varchar(4))")
    qxcore.HEAPCTRL = 8 * 5  # five records a batch
    conn.addrecords("t", [[k, "r%d" % k] for k in range(23)])
    assert fetch(cur, "select count(*), sum(id) from t") == [[23, sum(range(23))]]
    with pytest.raises(pyqivrexdb.Error):
        conn.addrecords("t", [[100, "a"], [101, "b"], [5, "dup"]])
    assert fetch(cur, "select count(*) from t where id >= 100") == [[0]]  # the batch went whole or not at all


@pytest.mark.parametrize("decl, value, error, message", [
    ("date", datetime.date(1899, 12, 31), pyqivrexdb.ProgrammingError,
     "1899-12-31 - does not include the date range 01-01-1900 to 31-12-2078"),
    ("date", datetime.date(2079, 1, 1), pyqivrexdb.ProgrammingError,
     "2079-01-01 - does not include the date range 01-01-1900 to 31-12-2078"),
    ("float", float("nan"), pyqivrexdb.ProgrammingError, ("qcSqlAddRecords error %d:", -20)),
    ("money", float("nan"), pyqivrexdb.ProgrammingError, ("qcSqlAddRecords error %d:", -20)),
    ("double", float("-nan"), pyqivrexdb.ProgrammingError, ("qcSqlAddRecords error %d:", -20)),
])
def test_a_value_the_table_cannot_keep_stores_nothing_of_its_batch(conn, cur, decl, value, error, message):
    # Regressions: such a date was stored as no date, a NaN as NULL (read
    # back as 0.0), and the load reported success.
    conn.execute(f"create table t(id integer, v {decl})")
    conn.addrecords("t", [[1, datetime.date(2000, 1, 1) if decl == "date" else 1.5]])
    with pytest.raises(error) as info:
        conn.addrecords("t", [[2, datetime.date(2000, 1, 2) if decl == "date" else 2.5], [3, value]])
    assert info.value.args == (message if isinstance(message, tuple) else (message,))
    assert info.value.rows_sent == 0
    assert fetch(cur, "select id from t") == [[1]]


def test_null_reads_as_zero_bytes(conn, cur):
    conn.execute("create table t(s char(2), d date, l integer, m money)")
    conn.execute("insert into t default values")
    assert fetch(cur, "select * from t") == [["\0\0", None, 0, 0.0]]


# ---- return values ----

@pytest.mark.parametrize("sql,value", [
    ("return 'текст';", "текст"),
    ("return x'0a0b';", b"0a0b"),
    ("return 254 as byte;", 254),
    ("return -2 as smallint;", -2),
    ("return 65534 as word;", 65534),
    ("return '2024-02-29' as date;", datetime.date(2024, 2, 29)),
    ("return null as date;", None),
    ("return 65537 as nmbr;", 65537),
    ("return -5;", -5),
    ("return 4294967294 as dword;", 4294967294),
    ("return 0.1 as float;", 0.10000000149011612),
    ("return 12.5 as money;", 12.5),
    ("return 1e100;", 1e100),
    ("return null;", None),
])
def test_return_value_of_every_type(cur, sql, value):
    cur.execute(sql)
    assert cur.retcode() == value
    assert cur.description is None
    assert cur.fetchone() is None


def test_changed_rows_as_return_value(conn, cur):
    conn.execute("create table t(a integer)")
    cur.execute("insert into t values (%s), (%s), (%s)", (1, 2, 3))
    assert cur.retcode() == 3
    cur.execute("update t set a = 0 where a > %s", (1,))
    assert cur.retcode() == 2
    cur.execute("select * from t")
    assert cur.retcode() is None


# ---- statements, parameters, description ----

def test_parameters_and_description(conn, cur):
    conn.execute("create table items(id integer, name varchar(10), price money)")
    for k in range(5):
        cur.execute("insert into items values (%s, '%s', %s)", (k, "item%d" % k, k * 1.5))
    cur.execute("select id, name as title, price * 2 from items where id = %s or name = '%s'", (1, "item3"))
    assert cur.fetchall() == [[1, "item1\0    ", 3.0], [3, "item3\0    ", 9.0]]
    assert [(d.name, d.type_code, d.internal_size) for d in cur.description] == [
        ("id", 7, 4), ("title", 0, 10), ("price * 2", 11, 8)]
    assert cur.get_number_records() == 2
    # a percent sign needs no escaping without parameters
    assert fetch(cur, "select count(*) from items where name like 'item%'") == [[5]]


def test_same_statement_with_other_literals(conn, cur):
    conn.execute("create table t(id integer, s char(3))")
    for k in range(50):
        conn.execute(f"insert into t values ({k}, 'v{k % 10}')")
    for k in (0, 7, 49, 50):
        assert fetch(cur, f"select s from t where id = {k}") == ([[f"v{k % 10}" + "\0" * (2 - len(str(k % 10)))]]
                                                                 if k < 50 else [])
    assert fetch(cur, "select id from t where s = 'v3' order by 1 desc limit 2") == [[43], [33]]


def test_large_result_read_in_many_buffers(conn, cur):
    conn.execute("create table t(n integer, s varchar(30))")
    conn.addrecords("t", [[k, "строка %d" % k] for k in range(30000)])
    qxcore.HEAPCTRL = 1000  # 29 records a read
    cur.execute("select n, s from t order by n")
    assert cur.get_number_records() == 30000
    rows = cur.fetchall()
    assert len(rows) == 30000
    assert rows[12345] == [12345, "строка 12345" + "\0" + " " * 17]
    cur.execute("select n from t where n >= 29990 order by n")
    cur.set_start_record(5)
    assert [r[0] for r in cur] == [29995, 29996, 29997, 29998, 29999]


# ---- transactions ----

def test_commit_rollback_and_unknown_name(conn, cur):
    conn.execute("create table t(a integer)")
    conn.begin("T1", ["t"])
    conn.execute("insert into t values (1)")
    conn.commit("T1")
    conn.begin("T2", ["t"])
    conn.execute("insert into t values (2)")
    conn.rollback("T2")
    assert fetch(cur, "select a from t") == [[1]]
    with pytest.raises(ProgrammingError) as e:
        conn.rollback("T2")
    assert 'transaction named "T2" does not exist' in str(e.value)
    with pytest.raises(ProgrammingError) as e:
        conn.commit("T3")
    assert e.value.args == ("qcSqlExecDirect error %d:", -64)


def test_two_connections_to_one_file(tmp_path):
    path = str(tmp_path / "shared.db")
    with pyqivrexdb.connect(path) as a, pyqivrexdb.connect(path) as b:
        a.execute("create table t(a integer)")
        a.begin("W", ["t"])
        a.execute("insert into t values (1)")
        cb = b.cursor()
        assert fetch(cb, "select count(*) from t") == [[0]]
        a.commit("W")
        assert fetch(cb, "select count(*) from t") == [[1]]


# ---- errors ----

def test_errors_carry_the_engines_codes(conn, cur):
    conn.execute("create table t(id integer primary key)")
    conn.execute("insert into t values (1)")
    with pytest.raises(ProgrammingError) as e:
        cur.execute("insert into t values (1)")
    assert e.value.args == ("execute() error %d:", -19)
    with pytest.raises(IntegrityError) as e:
        cur.execute("insert into t values (%s)", ("1",))
    assert e.value.error_code_qivrex == -19
    with pytest.raises(ProgrammingError) as e:
        cur.execute("select * from nowhere")
    assert e.value.error_code_qivrex == -1
    conn.execute("create table w(b byte)")
    with pytest.raises(ProgrammingError) as e:
        cur.execute("insert into w values (300)")
    assert e.value.error_code_qivrex == -20


def test_closed_cursor_and_connection(conn):
    cur = conn.cursor()
    cur.execute("select 1")
    conn.close()
    with pytest.raises(ProgrammingError) as e:
        cur.execute("select 1")
    assert e.value.args == ("Cursor closed, error=%d:", -97)
    cur.close()  # closing after the connection is still clean


# ---- messages ----

def test_messages_reach_the_callables(conn, cur):
    got = []

    def on_server(message):
        gc.collect()
        got.append(("srv", message))

    def on_user(message, usertype):
        gc.collect()
        got.append(("usr", message, usertype))

    conn.send_callback(on_server)
    conn.usersend_callback(on_user)
    long_text = "сообщение " * 70
    cur.execute("select message('%s'), user_message(7, 'для вас')" % long_text)
    assert got == [("srv", long_text), ("usr", "для вас", 7)]


def test_err_to_user_delivers_the_error_text(conn):
    got = []
    conn.send_callback(got.append)
    cur = conn.cursor(err_to_user=True)
    with pytest.raises(ProgrammingError):
        cur.execute("select * from nowhere")
    assert got == ["error -1: no such table: nowhere"]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_callback_that_raises_does_not_disturb_the_statement(conn, cur):
    def broken(message):
        raise RuntimeError("boom")

    conn.send_callback(broken)
    assert fetch(cur, "select message('x'), 5") == [[0, 5]]


def test_default_logger_gets_messages_in_debug(caplog):
    qxcore.DEBUG = True
    try:
        with caplog.at_level(logging.DEBUG, logger="pyqivrexdb.qxcore"):
            with pyqivrexdb.connect(":memory:") as c:
                c.cursor().execute("select message('к сведению')")
    finally:
        qxcore.DEBUG = False
    assert "SrvSend(к сведению)" in caplog.text


def test_callback_may_use_the_connection(conn, cur):
    conn.execute("create table log(m varchar(20))")
    other = conn.cursor()

    def on_server(message):
        other.execute("insert into log values ('%s')" % message)

    conn.send_callback(on_server)
    cur.execute("select message('one'), message('two')")
    assert fetch(cur, "select m from log") == [["one" + "\0" + " " * 16], ["two" + "\0" + " " * 16]]


def test_table_structure_for_addrecords(conn, cur):
    conn.execute("create table t(id integer, name varchar(12), day date)")
    rows = fetch(cur, 'select * from QXTBLSTRUCT("t");')
    assert [(r[3], r[4]) for r in rows] == [(7, 4), (0, 12), (5, 2)]
