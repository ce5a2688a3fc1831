"""Statement texts through the standard face: splitting, completeness, the
placeholder scanner in each dialect the library may name, and the refusal of
several statements in one execute()."""
import decimal

import pytest

import qxdouble
from pyqivrexdb import dbapi
from pyqivrexdb.errors import Error, ProgrammingError
from qxdouble import QSCLI_DIALECT_ENGINE, QSCLI_DIALECT_PG

TRIGGER = ("create trigger keep after insert on t begin\n"
           "  insert into log values (new.id);\n"
           "  update t set n = case when new.id > 1 then 'many;' else 'one' end;\n"
           "  delete from cache;\n"
           "end;")
PG_FUNCTION = ("create function f() returns trigger language plpgsql as $body$\n"
               "begin delete from cache; return new; end; $body$;")
ATOMIC = "create or replace function g() returns int language sql begin atomic select 1; select 2; end;"


@pytest.mark.parametrize("dialect, text, statements", [
    ("engine", "select 1; select 2;", ["select 1;", "select 2;"]),
    ("engine", "select 1;;  ; select 2", ["select 1;", "select 2"]),
    ("engine", "select 'a;b', \"c;\", [d;], `e;` ; x", ["select 'a;b', \"c;\", [d;], `e;` ;", "x"]),
    ("engine", "select 1 -- ; no\n; /* ; */ select 2;", ["select 1 -- ; no\n;", "/* ; */ select 2;"]),
    ("engine", "select 1; -- trailing\n", ["select 1;"]),
    ("engine", "select 1; /* open", ["select 1;", "/* open"]),
    ("engine", "select 'open;", ["select 'open;"]),
    ("engine", TRIGGER + " select 3;", [TRIGGER, "select 3;"]),
    ("engine", "create temp trigger x before delete on t begin select raise(abort, 'no;'); end; select 4;",
     ["create temp trigger x before delete on t begin select raise(abort, 'no;'); end;", "select 4;"]),
    ("engine", "begin; insert into t values (1); end;", ["begin;", "insert into t values (1);", "end;"]),
    ("engine", "create table t (a, b); select case when 1 then 2 end;",
     ["create table t (a, b);", "select case when 1 then 2 end;"]),
    # the engine knows no backslashes, no $ quotes, no nested comments
    ("engine", r"select E'\'; select 2;", [r"select E'\';", "select 2;"]),
    ("engine", "select $$;$$;", ["select $$;", "$$;"]),
    ("postgresql", r"select E'it\'s; fine'; select 2;", [r"select E'it\'s; fine';", "select 2;"]),
    ("postgresql", "select 'a\\'; select 2;", ["select 'a\\';", "select 2;"]),
    ("postgresql", "select $$;$$, $q$ $$; $q$; select 2;", ["select $$;$$, $q$ $$; $q$;", "select 2;"]),
    ("postgresql", "select a$b$ from t; select 2;", ["select a$b$ from t;", "select 2;"]),
    ("postgresql", "select 1 /* a /* ; */ ; */; select 2;", ["select 1 /* a /* ; */ ; */;", "select 2;"]),
    ("postgresql", "select U&'d;' , U&\"e;\"; select 2;", ["select U&'d;' , U&\"e;\";", "select 2;"]),
    ("postgresql", "select $1; select 2;", ["select $1;", "select 2;"]),
    ("postgresql", PG_FUNCTION + "\nselect 3;", [PG_FUNCTION, "select 3;"]),
    ("postgresql", ATOMIC + " select 3;", [ATOMIC, "select 3;"]),
    ("postgresql", "create rule r as on insert to t do also (insert into a values (1); delete from b); select 2;",
     ["create rule r as on insert to t do also (insert into a values (1); delete from b);", "select 2;"]),
    ("engine", "select (1; select 2);", ["select (1;", "select 2);"]),
    # a line comment ends at \r on a server, at \n only on the engine
    ("postgresql", "select 1 -- x\r; delete from t;", ["select 1 -- x\r;", "delete from t;"]),
    ("engine", "select 1 -- x\r; delete from t;\nselect 2;", ["select 1 -- x\r; delete from t;\nselect 2;"]),
])
def test_split_statements(dialect, text, statements):
    assert dbapi.split_statements(text, dialect) == statements
    assert all(dbapi.complete_statement(s, dialect) for s in statements[:-1])


@pytest.mark.parametrize("dialect, text, complete", [
    ("engine", "", False),
    ("engine", "select 1", False),
    ("engine", "select 1;", True),
    ("engine", ";", True),
    ("engine", "select 1; -- c", True),
    ("engine", "select 1; /* c", False),
    ("engine", "select 1; select", False),
    ("engine", "select ';", False),
    ("engine", "create trigger x after insert on t begin delete from c;", False),
    ("engine", "create trigger x after insert on t begin delete from c; end", False),
    ("engine", "create trigger x after insert on t begin delete from c; end;", True),
    ("postgresql", "select $$ ;", False),
    ("postgresql", "select $$ ; $$;", True),
    ("postgresql", r"select E'\';", False),
    ("postgresql", "/* /* */ select 1;", False),
    ("postgresql", "/* /* */ */ select 1;", True),
])
def test_complete_statement(dialect, text, complete):
    assert dbapi.complete_statement(text, dialect) is complete


def test_an_unknown_dialect_is_refused():
    with pytest.raises(ValueError, match="dialect"):
        dbapi.split_statements("select 1;", "oracle")


@pytest.fixture
def conn_in(double):
    """A connection to a library that speaks the dialect given."""
    opened = []

    def connect(dialect):
        double.set_dialect(dialect)
        c = dbapi.connect("srv", autocommit=True)
        opened.append(c)
        double.clear()
        return c
    yield connect
    for c in opened:
        c.close()


def sent(double):
    return [c.args[1] for c in double.calls("qcSqlExecDirect")]


@pytest.mark.parametrize("dialect, sql, text", [
    (None, "select $$?$$, ?", b"select $$1$$, 2"),
    (QSCLI_DIALECT_ENGINE, "select E'\\', ?", b"select E'\\', 1"),
    (QSCLI_DIALECT_PG, "select $$?$$, ?", b"select $$?$$, 1"),
    (QSCLI_DIALECT_PG, "select $t$ $$ ? $t$, ?", b"select $t$ $$ ? $t$, 1"),
    (QSCLI_DIALECT_PG, "select E'\\'?', ?", b"select E'\\'?', 1"),
    (QSCLI_DIALECT_PG, "select a$b$, ?, $c$", b"select a$b$, 1, $c$"),
    (QSCLI_DIALECT_PG, "select /* /* ? */ ? */ ?", b"select /* /* ? */ ? */ 1"),
    (QSCLI_DIALECT_PG, "select U&'?', U&\"?\", ?", b"select U&'?', U&\"?\", 1"),
    (QSCLI_DIALECT_PG, "select arr[?]", b"select arr[1]"),
    (QSCLI_DIALECT_PG, "select :a::text, ':a'", b"select 1::text, ':a'"),
])
def test_placeholders_follow_the_library_s_dialect(double, conn_in, dialect, sql, text):
    conn = conn_in(dialect)
    params = {"a": 1} if ":a" in sql else (1, 2)[:sql.count("?") - text.count(b"?")]
    conn.cursor().execute(sql, params)
    assert sent(double) == [text]


@pytest.mark.parametrize("dialect", [None, QSCLI_DIALECT_PG])
def test_the_dialect_is_asked_once_per_connection(double, conn_in, dialect):
    conn = conn_in(dialect)
    assert conn.dialect == ("postgresql" if dialect == QSCLI_DIALECT_PG else "engine")
    double.set_dialect(QSCLI_DIALECT_ENGINE if dialect else QSCLI_DIALECT_PG)
    assert conn.dialect == ("postgresql" if dialect == QSCLI_DIALECT_PG else "engine")


@pytest.mark.parametrize("sql", [
    "select 1; select 2",
    "insert into t values (1); delete from t",
    "select 1;;select 2",
    "select ?; select ?",
])
def test_several_statements_in_one_execute_are_refused(double, conn_in, sql):
    conn = conn_in(None)
    cur = conn.cursor()
    with pytest.raises(ProgrammingError, match="one statement at a time"):
        cur.execute(sql, (1, 2) if "?" in sql else None)
    with pytest.raises(ProgrammingError, match="one statement at a time"):
        cur.executemany(sql, [(1, 2)] if "?" in sql else [()])
    assert sent(double) == [b"begin deferred", b"rollback"]  # executemany's own transaction


@pytest.mark.parametrize("dialect, sql", [
    (None, "select 1;"),
    (None, "select 1; ; -- done\n /* really */ ;"),
    (None, "select 'a; b'; "),
    (None, TRIGGER),
    (QSCLI_DIALECT_PG, PG_FUNCTION),
    (QSCLI_DIALECT_PG, "select $$a; b$$"),
])
def test_one_statement_with_trailing_semicolons_and_comments_runs(double, conn_in, dialect, sql):
    conn = conn_in(dialect)
    conn.cursor().execute(sql)
    assert sent(double) == [sql.encode()]


def test_the_core_face_still_sends_several_statements(double):
    from pyqivrexdb import qxcore
    qxcore.initlibrary()
    cur = qxcore.Cursor(1, False)
    double.clear()
    cur.execute("select 1; select 2")
    assert sent(double) == [b"select 1; select 2"]


def test_executemany_bulk_path_reads_the_insert_with_the_lexer(double, conn_in):
    conn = conn_in(None)
    cur = conn.cursor()
    assert cur._bulk_table("insert into t values (?, ?)", [()] * 64) == (None, None)  # the double knows no table
    from pyqivrexdb.dbapi import _plain_insert, _standard
    cases = {
        'insert into "a""b" values (?, ?);': ('a"b', None, 2),
        "INSERT INTO [t] ([x], `y`) VALUES (?,?) -- done": ("t", ["x", "y"], 2),
        "insert into t /* (a) */ values (?)": ("t", None, 1),
        "insert into t values (?, '?')": None,
        "insert into t values (?); delete from t": None,
        "insert into t select ?": None,
        "insert into t (a values (?)": None,
        "insert into t values (?,)": None,
    }
    for sql, expected in cases.items():
        assert _plain_insert(_standard.tokens(sql, 0)) == expected, sql
    assert qxdouble.QSCLI_DIALECT_PG == 1


@pytest.mark.parametrize("dialect", ["engine", "postgresql"])
def test_any_text_splits_into_pieces_of_itself(dialect):
    import random
    rng = random.Random(7)
    alphabet = ["'", '"', "`", "[", "]", "$", "$q$", "--", "/*", "*/", "\n", ";", "\\", "E'", "U&'", "x'",
                "begin", "end", "case", "create trigger", "create function", "(", ")", " ", "a", "?", ":n", "Ж"]
    for _ in range(5000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(14)))
        pieces = dbapi.split_statements(text, dialect)
        at = 0
        for piece in pieces:
            found = text.find(piece, at)
            assert found >= 0 and piece == piece.strip(), (text, pieces)
            at = found + len(piece)
        assert all(dbapi.complete_statement(p, dialect) for p in pieces[:-1]), (text, pieces)
        if pieces and dbapi.complete_statement(text, dialect):
            assert dbapi.complete_statement(pieces[-1], dialect), (text, pieces)


# A text bound before is not read again: each later binding of it, with
# values of other types, counts or kinds, or on a connection of the other
# dialect, must send or refuse exactly what a first binding would.
REBOUND = [
    ((1,), b"select '?' where a = 1 -- ?"),
    ((2.5,), b"select '?' where a = 2.5 -- ?"),
    (("it's",), b"select '?' where a = 'it''s' -- ?"),
    ((None,), b"select '?' where a = NULL -- ?"),
    ((b"\x01",), b"select '?' where a = X'01' -- ?"),
    ((1, 2), "the statement has 1 placeholders but 2 values were given"),
    ((), "the statement has 1 placeholders but 0 values were given"),
    ({"a": 1}, r"uses \? but the values are a mapping"),
    ((float("nan"),), "(?i)nan"),
    ((7,), b"select '?' where a = 7 -- ?"),
    ((float("inf"),), {None: b"select '?' where a = 9e999 -- ?",
                       QSCLI_DIALECT_PG: b"select '?' where a = 'Infinity'::float8 -- ?"}),
]


@pytest.mark.parametrize("dialect", [None, QSCLI_DIALECT_PG])
def test_a_text_bound_again_binds_as_the_first_time(double, conn_in, dialect):
    cur = conn_in(dialect).cursor()
    sql = "select '?' where a = ? -- ?"
    for params, want in REBOUND:
        if isinstance(want, dict):
            want = want[dialect]
        double.clear()
        text = sql[:6] + sql[6:]  # a new str of the same text, then the same str again
        for operation in (text, text, sql):
            if isinstance(want, bytes):
                cur.execute(operation, params)
                assert sent(double)[-1] == want
            else:
                with pytest.raises(Error, match=want):
                    cur.execute(operation, params)


def test_a_named_text_bound_again_looks_each_name_up(double, conn_in):
    cur = conn_in(None).cursor()
    sql = "select :a, :b, :a"
    cur.execute(sql, {"a": 1, "b": "x"})
    cur.execute(sql, {"a": None, "b": 2.0})
    with pytest.raises(ProgrammingError, match="no value was given for :b"):
        cur.execute(sql, {"a": 1})
    with pytest.raises(ProgrammingError, match="uses :a but the values are a sequence"):
        cur.execute(sql, (1, 2, 3))
    assert sent(double) == [b"select 1, 'x', 1", b"select NULL, 2.0, NULL"]


def test_an_adapter_that_binds_another_text_leaves_the_first_intact(double, conn_in):
    conn = conn_in(None)
    cur, other = conn.cursor(), conn.cursor()

    class Mine:
        pass

    def adapt(value):
        # Fills every remembered text with others while the first is bound.
        for k in range(8):
            other.execute("select %d, ?" % k, (k,))
        return 5
    conn.adapters[Mine] = adapt
    for _ in range(2):
        cur.execute("select ?, ?", (Mine(), "z"))
        assert sent(double)[-1] == b"select 5, 'z'"


@pytest.mark.parametrize("value", [0, 9, 10, -1, -10, 1234567890123, 2 ** 63 - 1, -2 ** 63])
def test_integers_are_written_in_full_at_their_bounds(double, conn_in, value):
    conn_in(None).cursor().execute("select ?", (value,))
    assert sent(double) == [b"select " + (b" " if value < 0 else b"") + str(int(value)).encode()]


@pytest.mark.parametrize("dialect", [None, QSCLI_DIALECT_PG])
def test_executemany_without_records_from_the_library_runs_a_text_a_row(double, conn_in, dialect):
    # The double refuses qcSqlExecRecords as a library without it would.
    conn = conn_in(dialect)
    cur = conn.cursor()
    cur.executemany("insert or abort into t values (?, ?)", [(1, "a"), (2, None), (3, 2.5)])
    assert len(double.calls("qcSqlExecRecords")) == 1
    assert sent(double) == [b"begin deferred", b"insert or abort into t values (1, 'a')",
                            b"insert or abort into t values (2, NULL)", b"insert or abort into t values (3, 2.5)",
                            b"commit"]
    assert cur.rowcount == -1  # the double tells no changed rows


@pytest.mark.parametrize("sql, rows", [
    ("insert into t values (:a, :b)", [{"a": 1, "b": 2}]),
    ("insert into t values (?1, ?2)", [(1, 2)]),
    ("update t set v = 1", [()]),
    ("insert into t values (?, ?)", [(1, decimal.Decimal("1.00000000000000000001"))]),
    ("insert into t values (?, ?)", [(1, 2 ** 64)]),
])
def test_executemany_sends_no_records_for_what_only_a_text_carries(double, conn_in, sql, rows):
    cur = conn_in(None).cursor()
    try:
        cur.executemany(sql, rows)
    except Error:
        pass
    assert not double.calls("qcSqlExecRecords")
