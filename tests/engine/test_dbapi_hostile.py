"""Hostile texts through the standard face and the shell on either backend:
bound (by position, by name, inside a function call), spelled as literals,
loaded by executemany's bulk path and typed into the shell, each is stored
exactly as passed, and the statement that runs is the one written. The
library's side, each dialect's literal forms, is test_engine_sql_text."""
import pytest

from hostile_texts import HOSTILE
from pyqivrexdb import dbapi
from shellrun import shell


def literal(text):
    # standard_conforming_strings on both: only a quote is doubled
    return "'" + text.replace("'", "''") + "'"


def bound(conn):
    for i, v in enumerate(HOSTILE):
        conn.execute("insert into t values (?, ?)", (i, v))


def named(conn):
    for i, v in enumerate(HOSTILE):
        conn.execute("insert into t values (:i, :v)", {"i": i, "v": v})


def in_a_call(conn):
    for i, v in enumerate(HOSTILE):
        conn.execute("insert into t values (?, coalesce(?, '?'))", (i, v))


def spelled(conn):
    for i, v in enumerate(HOSTILE):
        conn.execute("insert into t values (%d, %s) -- ? ;" % (i, literal(v)))


def bulk(conn):
    cur = conn.cursor()
    cur.executemany('insert into "t" (id, v) values (?, ?) ; -- ?', list(enumerate(HOSTILE)))
    assert cur.rowcount == len(HOSTILE)


def typed_into_the_shell(conn, dsn):
    conn.commit()
    script = "".join("insert into t values (%d, %s);\n" % (i, literal(v)) for i, v in enumerate(HOSTILE))
    r = shell(dsn, stdin=script)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("write", [bound, named, in_a_call, spelled, bulk, typed_into_the_shell],
                         ids=lambda f: f.__name__)
def test_a_hostile_text_is_stored_as_passed(dsn, write):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t (id integer, v text)")
        conn.execute("create table victim (id integer)")
        conn.execute("insert into victim values (1)")
        if write is typed_into_the_shell:
            write(conn, dsn)
        else:
            write(conn)
        conn.commit()
        assert [r[0] for r in conn.execute("select v from t order by id").fetchall()] == HOSTILE
        # each reads back through a bound comparison too
        for i, v in enumerate(HOSTILE):
            assert conn.execute("select id from t where v = ?", (v,)).fetchall() == [(i,)]
        assert conn.execute("select count(*) from victim").fetchall() == [(1,)]


# A table name the library's text cannot carry is the face's own error,
# naming the name, on every call that takes one; in code page 866 so is a
# character that page lacks.
@pytest.mark.parametrize("name, encoding, why", [
    ("t\udc80", "utf-8", "lone surrogate"),
    ("t\ud800x", "utf-8", "lone surrogate"),
    ("t\x00x", "utf-8", "NUL"),
    ("t\x00x", "cp866", "NUL"),
    ("t\u20ac", "cp866", "code page 866 lacks"),
])
@pytest.mark.parametrize("call", [
    lambda conn, name: conn.addrecords(name, [(1,)]),
    lambda conn, name: conn.table_layout(name),
    lambda conn, name: conn.cursor().executemany('insert into "%s" values (?)' % name, [(1,)] * 100),
], ids=["addrecords", "table_layout", "executemany"])
def test_a_table_name_the_library_cannot_carry_is_refused_by_name(dsn, name, encoding, why, call):
    with dbapi.connect(dsn, text_encoding=encoding) as conn:
        conn.execute("create table t (id integer)")
        with pytest.raises(dbapi.ProgrammingError, match=why) as e:
            call(conn, name)
        assert "\n" not in str(e.value)
        assert conn.execute("select count(*) from t").fetchone()[0] == 0


def test_the_lexer_reads_a_lone_surrogate_as_a_character():
    text = "select '\udc80'; select \"\ud800\" -- \udfff\n;"
    assert dbapi.split_statements(text) == ["select '\udc80';", "select \"\ud800\" -- \udfff\n;"]
    assert dbapi.complete_statement(text)
