"""The statement that runs is the one written: the library reads every
statement text by the lexical rules of its backend's dialect, so nothing
inside a literal, a quoted name or a comment is ever rewritten, bound or
run. Each test runs on an SQLite file and on a PostgreSQL server."""
import ctypes
import datetime
import os
import subprocess
import sys
import uuid

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi
from pyqivrexdb.errors import DatabaseError

import pgcluster
from hostile_texts import HOSTILE


def plain(v):
    return "'" + v.replace("'", "''") + "'"


def escaped(v):
    return "E'" + v.replace("\\", "\\\\").replace("'", "\\'") + "'"


def dollar(tag):
    def spell(v):
        quote = "$" + tag + "$"
        return None if quote in v or v.endswith("$") else quote + v + quote
    return spell


def unicode_escaped(v):
    return "U&'" + v.replace("\\", "\\\\").replace("'", "''") + "'"


def national(v):
    # N'...' is character(n), whose trailing blanks do not count
    return None if v.endswith(" ") else "N" + plain(v)


def blob(to_text):
    return lambda v: to_text % v.encode().hex()


# Every form of string literal each dialect has; None: the value has no
# spelling in that form.
FORMS = {
    "sqlite": {"plain": plain, "blob": blob("cast(X'%s' as text)")},
    "postgresql": {"plain": plain, "escape": escaped, "dollar": dollar(""), "tagged": dollar("q"),
                   "unicode": unicode_escaped, "national": national, "blob": blob("convert_from(X'%s', 'UTF8')")},
}
ALL_FORMS = sorted({(b, f) for b in FORMS for f in FORMS[b]})


@pytest.fixture
def conn(dsn):
    c = pyqivrexdb.connect(dsn)
    yield c
    try:
        c.close()
    except DatabaseError:
        pass


def fetch(cur, sql, params=None):
    if params is None:
        cur.execute(sql)
    else:
        cur.execute(sql, params)
    return cur.fetchall()


def text(v):
    return v.split("\0")[0] if isinstance(v, str) else v


def setup_tables(conn):
    conn.execute("create table t(id integer, v text)")
    conn.execute("create table victim(id integer)")
    conn.execute("insert into victim values (1)")


@pytest.mark.parametrize("backend, form", ALL_FORMS)
def test_hostile_literals_are_stored_and_read_as_written(conn, backend, form):
    spell = FORMS[backend][form]
    setup_tables(conn)
    cur = conn.cursor()
    wrong = []
    for k, value in enumerate(HOSTILE):
        lit = spell(value)
        if lit is None:
            continue
        shapes = [
            (f"insert into t values ({k}, {lit})", f"select v from t where id = {k}"),
            (None, f"select {lit}"),
            (None, f"select v from t where id = {k} and v = {lit}"),
            (None, f"select {lit} as v from t where id = {k}"),
        ]
        for change, query in shapes:
            try:
                if change:
                    cur.execute(change)
                got = [text(r[0]) for r in fetch(cur, query)]
            except DatabaseError as e:
                wrong.append((value, query, repr(e)))
                continue
            if got != [value]:
                wrong.append((value, query, got))
    assert wrong == []
    assert fetch(cur, "select count(*) from victim") == [[1]]


@pytest.mark.parametrize("autocommit", [True, False])
def test_a_value_naming_a_crafted_table_is_stored_as_text(dsn, autocommit):
    # Were QXTBLSTRUCT("T") read inside the literal, T's name would end it.
    crafted = " as y; drop table victim; --"
    value = 'a QXTBLSTRUCT("%s") b' % crafted
    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        setup_tables(conn)
        conn.execute('create table "%s"(id integer)' % crafted)
        cur = conn.cursor()
        cur.execute("insert into t values (?, ?)", (1, value))
        cur.execute("select ?", (value,))
        assert cur.fetchall() == [(value,)]
        cur.execute("select v from t")
        assert cur.fetchall() == [(value,)]
        cur.execute("select count(*) from victim")
        assert cur.fetchall() == [(1,)]


@pytest.mark.parametrize("sql, value", [
    # a ? inside a literal next to a literal that becomes a parameter
    ("select 'ok?' from t where id = 1", "ok?"),
    ("select v || '?' from t where id = 1 and v = 'Why?'", "Why??"),
    ("select lower('Why?') from t where id = 1", "why?"),
    # the words of the library's own statements inside literals and comments
    ("select 'QXTBLSTRUCT(\"t\")' from t where id = 1", 'QXTBLSTRUCT("t")'),
    ("select v from t where id = 1 -- QXTBLSTRUCT(\"nowhere\")\n", "Why?"),
    ("select v from t where id = 1 /* QXTBLSTRUCT('nowhere') */", "Why?"),
    ("select v as \"QXTBLSTRUCT('nowhere')\" from t where id = 1", "Why?"),
    ("select 'return 1; commit work x;' from t where id = 1", "return 1; commit work x;"),
    # a name with $ in it and a later literal that looks like a dollar string
    ("select 'p $b$ x''41'' q' as a$b$ from t where id = 1", "p $b$ x'41' q"),
])
def test_literals_inside_statements_are_left_alone(conn, sql, value):
    conn.execute("create table t(id integer, v text)")
    conn.execute("insert into t values (1, 'Why?')")
    assert [text(r[0]) for r in fetch(conn.cursor(), sql)] == [value]


@pytest.mark.parametrize("backend, sql, value", [
    ("postgresql", "select v from t where id = 1 /* a /* it's */ ? */", "Why?"),
    ("postgresql", "select E'it\\'s ?' from t where id = 1", "it's ?"),
    ("postgresql", "select $$it's ?$$ from t where id = 1", "it's ?"),
    ("postgresql", "select $a$ $$ ? $a$ from t where id = 1", " $$ ? "),
    ("postgresql", "select U&'d\\0061t\\+000061 ?' from t where id = 1", "data ?"),
    ("postgresql", "select b'101'::text from t where id = 1", "101"),
    ("postgresql", "select 'a'\n'b?' from t where id = 1", "ab?"),
    ("postgresql", "select v from t where id = 1 and v = 'Wh' || 'y?'", "Why?"),
    ("sqlite", "select [x?] from (select v as [x?] from t where id = 1)", "Why?"),
    ("sqlite", "select `x?` from (select v as `x?` from t where id = 1)", "Why?"),
    ("sqlite", "select v from t where id = 1 /* a comment SQLite reads to the end: ? 'x", "Why?"),
    ("sqlite", "select cast(x'3f' as text) || v from t where id = 1", "?Why?"),
])
def test_each_dialects_own_literals(conn, sql, value):
    conn.execute("create table t(id integer, v text)")
    conn.execute("insert into t values (1, 'Why?')")
    assert [text(r[0]) for r in fetch(conn.cursor(), sql)] == [value]


def test_a_name_holding_dollars_does_not_derail_the_blob_spelling(conn, backend):
    blob = {"sqlite": "blob", "postgresql": "bytea"}[backend]
    conn.execute(f"create table b(a$b$ integer, v text, y {blob})")
    conn.execute("insert into b (a$b$, v, y) values (1, 'p $b$ x''41'' q', X'4142')")
    rows = fetch(conn.cursor(), "select a$b$, v, y from b")
    assert [(r[0], text(r[1]), bytes(r[2])) for r in rows] == [(1, "p $b$ x'41' q", b"4142")]  # the core face shows bytes in hex


def test_table_structure_only_where_a_table_stands(conn, cur):
    conn.execute("create table t(id integer, name varchar(10))")
    conn.execute("create table victim(id integer)")
    assert [r[2].rstrip("\0 ") for r in fetch(cur, "select * from QXTBLSTRUCT(\"t\")")] == ["id", "name"]
    conn.execute("insert into victim values (7)")
    assert fetch(cur, "select count(*) from victim, QXTBLSTRUCT('t') as f") == [[2]]
    joined = fetch(cur, "select f.fname from victim v join QXTBLSTRUCT('t') f on 1 = 1 order by f.fieldno")
    assert [r[0].rstrip("\0 ") for r in joined] == ["id", "name"]
    # Anywhere else the word is a name like any other (no such function).
    with pytest.raises(DatabaseError):
        cur.execute("select QXTBLSTRUCT('t') from victim")


@pytest.mark.parametrize("sql", [
    "commit work x; delete from victim",
    "rollback work x; delete from victim",
    "begin work x table victim; delete from victim",
    "return 1; delete from victim",
    "err_to_user(0); delete from victim",
    "err_to_user(1) delete from victim",
    "commit work x delete from victim",
])
def test_the_librarys_own_statements_are_recognised_only_alone(conn, cur, sql):
    conn.execute("create table victim(id integer)")
    conn.execute("insert into victim values (1)")
    with pytest.raises(DatabaseError) as e:
        cur.execute(sql)
    assert e.value.error_code_qivrex == -1
    assert fetch(cur, "select count(*) from victim") == [[1]]


@pytest.mark.parametrize("sql, value", [
    ("/* first */ return 5;", 5),
    ("-- first\nreturn 5 ; ;", 5),
    ("return 'a;b' as char(10);", "a;b"),
    ("return 'as long'", "as long"),
    # Blanks and capitals before the first word: a text is only taken as
    # plain by its first letter when that cannot start one of these.
    (" \t\r\nRETURN 6", 6),
    ("Return 7;", 7),
])
def test_return_reads_its_expression_by_tokens(cur, sql, value):
    cur.execute(sql)
    assert text(cur.retcode()) == value


@pytest.mark.parametrize("sql", [
    "select 'abc", "select \"abc", "select $$abc", "select $q$abc$", "select E'abc\\", "select /* abc",
    "select /* a /* b */", "select [abc", "select x'41", "select U&'abc", "select 1 where 'a' = 'a",
])
def test_unterminated_texts_fail_cleanly_and_the_connection_goes_on(conn, cur, sql):
    try:
        cur.execute(sql)
    except DatabaseError:
        pass
    assert fetch(cur, "select 1") == [[1]]


# ---- the dialect the library reports ----

def test_the_library_reports_its_dialect(eng, dsn, backend):
    eng.lib.qcSqlDialect.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    hdb = eng.open(dsn.encode("cp866"))
    try:
        d = ctypes.c_int(-1)
        assert eng.lib.qcSqlDialect(hdb, ctypes.byref(d)) == 0
        assert d.value == {"sqlite": 0, "postgresql": 1}[backend]
        assert eng.lib.qcSqlDialect(hdb, None) == -95
    finally:
        eng.close(hdb)
    assert eng.lib.qcSqlDialect(hdb, ctypes.byref(d)) == -96


# ---- message receivers that use the connection ----

RECEIVER = """
import sys, pyqivrexdb
conn = pyqivrexdb.connect(sys.argv[1])
conn.execute("create table log(m varchar(20))")
other = conn.cursor()
def receiver(message):
    other.execute("insert into log values ('%s')" % message)
conn.send_callback(receiver)
conn.cursor().execute(sys.argv[2])
cur = conn.cursor()
cur.execute("select m from log order by m")
print([r[0].split(chr(0))[0] for r in cur.fetchall()])
conn.close()
"""


def test_a_message_receiver_may_run_a_statement_on_its_own_connection(dsn, backend):
    said = {"sqlite": "select message('one'), message('two')",
            "postgresql": "do $$ begin raise notice 'one'; raise notice 'two'; end $$"}[backend]
    # A process of its own: a connection that hangs cannot hold up the tests.
    try:
        out = subprocess.run([sys.executable, "-c", RECEIVER, dsn, said], capture_output=True, text=True,
                             timeout=60, cwd=os.path.dirname(__file__))
    except subprocess.TimeoutExpired:
        pytest.fail("the statement never came back")
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.strip() == "['one', 'two']"


# ---- PostgreSQL: strings mean what the library's dialect says ----

def role_dsn(pg_cluster, *settings):
    """A DSN of a new role whose sessions begin with `settings`, in a schema
    of its own."""
    role, schema = "r" + uuid.uuid4().hex[:12], "s" + uuid.uuid4().hex[:12]
    pg_cluster.psql(f"create role {role} superuser login; " + "".join(f"alter role {role} set {s}; " for s in settings)
                    + f"create schema {schema}")
    return (f"host={pg_cluster.dir} port={pg_cluster.port} dbname={pgcluster.USER} user={role} "
            f"options='-csearch_path={schema}'")


def test_a_role_whose_sessions_start_with_standard_strings_off_is_refused(pg_cluster):
    # The library could not read its texts as the server would.
    dsn = role_dsn(pg_cluster, "standard_conforming_strings = off")
    with pytest.raises(dbapi.ProgrammingError, match="starts with standard_conforming_strings off"):
        dbapi.connect(dsn)


@pytest.mark.parametrize("reset", ["reset all", "discard all"])
def test_a_backslash_never_ends_a_literal_after_the_settings_are_reset(pg_cluster, reset):
    dsn = role_dsn(pg_cluster, "datestyle = 'German, DMY'")
    hostile = ("C:\\", "); delete from victim; --")
    with dbapi.connect(dsn, autocommit=True) as conn:
        setup_tables(conn)
        cur = conn.cursor()
        cur.execute(reset)
        cur.execute("insert into t values (?, ?), (?, ?)", (1, hostile[0], 2, hostile[1]))
        # One text is read whole before any of it runs (the core face sends
        # several statements as one text; the standard face refuses them).
        conn._core.execute(reset.replace("discard all", "reset all") + "; insert into t values (3, 'D:\\')")
        cur.execute(reset)
        cur.execute("insert into t values (4, 'E:\\')")
        cur.execute("select id, v from t order by id")
        assert cur.fetchall() == [(1, "C:\\"), (2, hostile[1]), (3, "D:\\"), (4, "E:\\")]
        cur.execute("select count(*) from victim")
        assert cur.fetchall() == [(1,)]
        # The other settings the records are read by come back with it.
        cur.execute(reset)
        cur.execute("select date '2024-05-01', X'4142'")
        assert cur.fetchall() == [(datetime.date(2024, 5, 1), b"AB")]


@pytest.mark.parametrize("end, kept", [
    ("commit work INNER", [1, 2]),
    ("rollback work INNER", [1]),
])
def test_a_named_transaction_ends_by_its_name_in_any_case(conn, cur, end, kept):
    # The savepoint of an inner one was once ended by the name as the ending
    # spelled it, which PostgreSQL took for another savepoint.
    conn.execute("create table t(id integer)")
    cur.execute("begin work Outer")
    cur.execute("insert into t values (1)")
    cur.execute("begin work Inner")
    cur.execute("insert into t values (2)")
    cur.execute(end)
    cur.execute("commit work outer")
    cur.execute("select id from t order by id")
    assert [r[0] for r in cur.fetchall()] == kept


# ---- parameter marks with no values ----

@pytest.mark.parametrize("sql", [
    "insert into t values (?, 'x')", "insert into t values (?1, 'x')", "insert into t values (:a, 'x')",
    "insert into t values (@a, 'x')", "select * from t where id = ?", "return ?",
    "insert into t values (1, 'x'); insert into t values (?, 'y')",
])
def test_the_engine_refuses_a_mark_it_has_no_value_for(eng, tmp_path, sql):
    # Through qcSqlExecDirect no value is ever bound: SQLite alone would run
    # each mark as NULL.
    hdb = eng.open(str(tmp_path / "marks.db").encode())
    try:
        hs = eng.stmt(hdb)
        assert eng.exec(hs, "create table t(id integer, v text)") == 0
        for _ in range(2):  # the second time from the statement cache
            assert eng.exec(hs, sql) == -1
        assert eng.exec(hs, "select count(*) from t where id is null") == 0
        assert eng.rows(hs) == [[0]]
    finally:
        eng.close(hdb)


def test_a_text_executemany_prepared_is_still_refused_without_values(tmp_path):
    # executemany leaves the text's prepared statement, marks and all, in the
    # statement cache under the same text.
    with dbapi.connect(str(tmp_path / "cached.db"), autocommit=True) as conn:
        conn.execute("create table t(id integer)")
        conn.cursor().executemany("insert into t values (?)", [(1,), (2,)])
        with pytest.raises(DatabaseError) as refused:
            conn._core.cursor().execute("insert into t values (?)")
        assert refused.value.error_code_qivrex == -1
        assert conn.execute("select count(*) from t where id is null").fetchall() == [(0,)]


def test_the_core_face_refuses_a_mark_without_parameters(tmp_path):
    conn = pyqivrexdb.connect(str(tmp_path / "core.db"))
    cur = conn.cursor()
    cur.execute("create table t(id integer)")
    with pytest.raises(DatabaseError) as refused:
        cur.execute("insert into t values (?)")
    assert refused.value.error_code_qivrex == -1
    assert fetch(cur, "select count(*) from t") == [[0]]
    conn.close()


@pytest.mark.parametrize("at", [0, 1, 7, 8, 9, 15, 16, 17])
def test_a_text_reads_back_whatever_eight_byte_run_its_letters_fall_in(conn, at):
    # ASCII is taken eight bytes at a time; a letter of the page anywhere
    # in such a run is still seen
    cur = conn.cursor()
    for tail in ("", "x", "0123456789abcdef"):
        value = "a" * at + "ж" + tail
        assert [text(r[0]) for r in fetch(cur, "select %s" % plain(value))] == [value]
        plain_ascii = "b" * (at + len(tail))
        assert [text(r[0]) for r in fetch(cur, "select %s" % plain(plain_ascii))] == [plain_ascii]
