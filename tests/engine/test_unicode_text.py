"""Text in UTF-8 on every face but the core: the standard face asks the
library for it, and any text goes in and comes out exactly, on both
backends, through every write and read path. The core face keeps code page
866, and a text it cannot hold is refused with the column's name."""
import pytest

import pyqivrexdb
from pyqivrexdb import dbapi

from shellrun import shell

# Each script and each character a quoting rule could trip on.
TEXTS = [
    pytest.param("Zoë café Grüße ñ Ł", id="latin"),
    pytest.param("Ωμέγα", id="greek"),
    pytest.param("Иванов Пётр", id="cyrillic"),
    pytest.param("日本語の文", id="cjk"),
    pytest.param("😀🚀x", id="emoji-4-byte"),
    pytest.param("e\u0301a\u0308", id="combining"),
    pytest.param("שלום مرحبا", id="rtl"),
    pytest.param("it's \"q\" ''", id="quotes"),
    pytest.param("C:\\ \\' a\\b", id="backslashes"),
    pytest.param("€", id="euro"),
]


def fetch(conn, sql, params=None):
    cur = conn.cursor()
    cur.execute(sql, params)
    return cur.fetchall()


def literal(text):
    return "'" + text.replace("'", "''") + "'"


def test_the_standard_face_speaks_utf8(conn):
    assert conn.text_encoding == "utf-8"


@pytest.mark.parametrize("text", TEXTS)
def test_every_write_path_stores_the_text_and_every_read_path_returns_it(conn, text):
    conn.execute("create table t (way varchar(10), v varchar(%d), w text)" % len(text))
    conn.execute("insert into t values ('execute', ?, ?)", (text, text))
    conn.cursor().executemany("insert into t values ('many', ?, ?)", [(text, text), (text, text)])
    conn.execute("insert into t values ('literal', %s, %s)" % (literal(text), literal(text)))
    conn.addrecords("t", [("bulk", text, text)])
    got = fetch(conn, "select way, v, w from t order by way")
    assert got == [(way, text, text) for way in ["bulk", "execute", "literal", "many", "many"]]
    assert fetch(conn, "select count(*) from t where v = ?", (text,)) == [(5,)]
    cur = conn.cursor()
    cur.execute("select v from t")
    assert cur.fetchone() == (text,)
    assert cur.fetchmany(2) == [(text,)] * 2
    assert [row for row in cur] == [(text,)] * 2


@pytest.mark.parametrize("text", TEXTS)
def test_names_of_tables_and_columns(conn, text):
    quoted = '"%s"' % text.replace('"', '""')
    conn.execute("create table %s (%s varchar(3))" % (quoted, quoted))
    conn.execute("insert into %s values (?)" % quoted, ("abc",))
    conn.addrecords(text, [("ДЖЯ",)])
    cur = conn.cursor()
    cur.execute("select %s from %s" % (quoted, quoted))
    assert cur.description[0][0] == text
    assert cur.fetchall() == [("abc",), ("ДЖЯ",)]
    assert conn.table_layout(text)[0][0] == text


@pytest.mark.parametrize("char", ["x", "é", "Ж", "語", "😀"])
def test_a_length_counts_characters_on_every_path(conn, char):
    conn.execute("create table t (v varchar(10))")
    conn.execute("insert into t values (?)", (char * 10,))
    conn.cursor().executemany("insert into t values (?)", [(char * 10,)])
    conn.addrecords("t", [(char * 10,)])
    assert fetch(conn, "select v from t") == [(char * 10,)] * 3
    for write in (lambda: conn.execute("insert into t values (?)", (char * 11,)),
                  lambda: conn.execute("insert into t values (%s)" % literal(char * 11)),
                  lambda: conn.addrecords("t", [(char * 11,)])):
        with pytest.raises(dbapi.DataError):
            write()


# ASCII is read, checked and copied a word (eight bytes) at a time, and
# text of two-byte characters is read by a path of its own: texts about a
# word long, a wider character first, last, or just past a word, the bounds
# of two-byte characters and of the narrowest kind a str takes.
TEXT_EDGES = ["a", "abcdefg", "abcdefgh", "abcdefghi", "a" * 15, "a" * 16, "a" * 17,
              "é" + "a" * 8, "a" * 8 + "é", "a" * 15 + "Ж", "a" * 16 + "😀", "a b\t~\x7f",
              "\x80", "\xff", "\xffĀ", "\u07ff", "Ж" * 17, "aЖ", "Жa", "Ж😀", "Ж\u0800", "é語"]


@pytest.mark.parametrize("text", TEXT_EDGES, ids=repr)
def test_texts_about_a_word_long_round_trip_on_every_path(conn, text):
    conn.execute("create table t (v varchar(17), w text)")
    conn.execute("insert into t values (?, ?)", (text, text))
    conn.execute("insert into t values (%s, %s)" % (literal(text), literal(text)))
    conn.cursor().executemany("insert into t values (?, ?)", [(text, text)] * 70)
    conn.addrecords("t", [(text, text)])
    assert fetch(conn, "select v, w from t") == [(text, text)] * 73


@pytest.mark.parametrize("n", [8, 9, 17])
def test_an_ascii_text_a_character_too_long_is_refused(conn, n):
    conn.execute("create table t (v varchar(%d))" % (n - 1))
    for write in (lambda: conn.execute("insert into t values (?)", ("a" * n,)),
                  lambda: conn.execute("insert into t values (%s)" % literal("a" * n)),
                  lambda: conn.cursor().executemany("insert into t values (?)", [("a" * n,)] * 70),
                  lambda: conn.addrecords("t", [("a" * n,)])):
        with pytest.raises(dbapi.DataError):
            write()
    assert fetch(conn, "select count(*) from t") == [(0,)]


@pytest.mark.parametrize("at", [0, 7, 8, 16])
def test_a_nul_in_any_word_of_ascii_is_refused(conn, at):
    text = "a" * at + "\0" + "a" * (16 - at)
    conn.execute("create table t (v varchar(17))")
    for write in (lambda: conn.execute("insert into t values (?)", (text,)),
                  lambda: conn.addrecords("t", [(text,)])):
        with pytest.raises(dbapi.DataError, match="NUL"):
            write()


# A result's ASCII is copied a word at a time in either encoding: a NUL in
# any word of a text SQLite hands over is still found.
@pytest.mark.parametrize("encoding", ["utf-8", "cp866"])
@pytest.mark.parametrize("at", [0, 7, 8, 15, 16])
def test_a_nul_in_any_word_of_a_read_text_is_refused(tmp_path, encoding, at):
    with dbapi.connect(str(tmp_path / "n.db"), text_encoding=encoding) as c:
        with pytest.raises(dbapi.DataError, match="has a NUL character"):
            c.execute("select cast(x'%s' as text)" % ("61" * at + "00" + "61" * (16 - at))).fetchall()
        assert c.execute("select cast(x'%s' as text)" % ("61" * 17)).fetchall() == [("a" * 17,)]


def test_a_lone_surrogate_is_refused_by_name(conn):
    conn.execute("create table t (v text)")
    with pytest.raises(dbapi.DataError, match="parameter 1.*lone surrogate"):
        conn.execute("insert into t values (?)", ("a\ud800",))
    with pytest.raises(dbapi.ProgrammingError, match="lone surrogate"):
        conn.execute("select 'a\ud800'")
    with pytest.raises(dbapi.DataError, match="lone surrogate"):
        conn.addrecords("t", [("a\udfff",)])
    assert fetch(conn, "select count(*) from t") == [(0,)]


def test_a_nul_keeps_its_rule(conn):
    conn.execute("create table t (v text)")
    with pytest.raises(dbapi.DataError, match="NUL"):
        conn.execute("insert into t values (?)", ("a\0b",))


def test_the_file_name_is_utf8(tmp_path):
    path = tmp_path / "данные€.db"
    with dbapi.connect(str(path)) as c:
        c.execute("create table t (v text)")
        c.commit()
    assert path.exists()


@pytest.fixture
def core_table(dsn):
    """A table in ASCII names with one row the code page holds and one it
    does not, written through the standard face."""
    with dbapi.connect(dsn) as c:
        c.execute("create table cp (id integer, name varchar(10))")
        c.execute("insert into cp values (1, ?), (2, ?)", ("Пётр", "5 €"))
        c.commit()


def core_connect(dsn):
    try:
        return pyqivrexdb.connect(dsn)
    except TypeError:
        return pyqivrexdb.connect(dsn, "", "")


def test_the_core_face_refuses_a_text_its_code_page_lacks_by_column(dsn, core_table):
    core = core_connect(dsn)
    try:
        cur = core.cursor()
        cur.execute("select name from cp where id = 1")
        assert [list(r) for r in cur.fetchall()][0][0].rstrip("\0 ") == "Пётр"
        with pytest.raises(pyqivrexdb.Error) as refused:
            cur.execute("select name from cp where id = 2")
            cur.fetchall()
        assert refused.value.error_code_qivrex == -20
        assert "column name" in refused.value.server_text and "code page 866" in refused.value.server_text
        with pytest.raises(UnicodeEncodeError):
            cur.execute("select '€'")
    finally:
        core.close()


def test_a_table_of_a_utf8_connection_takes_any_text_and_older_ones_keep_their_check(dsn, conn, backend):
    """On the engine the check is the writing connection's; on a server a
    table made through the core face keeps its code page check."""
    core = core_connect(dsn)
    try:
        cur = core.cursor()
        cur.execute("create table old (v varchar(5))")
    finally:
        core.close()
    if backend == "postgresql":
        with pytest.raises(dbapi.DataError):
            conn.execute("insert into old values (?)", ("€",))
    else:
        conn.execute("insert into old values (?)", ("€",))
        assert fetch(conn, "select v from old") == [("€",)]


def write_csv(tmp_path, data, name="rows.csv"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def test_shell_load_reads_utf8_and_names_a_bad_line(dsn, tmp_path):
    r = shell(dsn, 'create table "ld€" (id integer, "имя" varchar(6));')
    assert r.returncode == 0, r.stderr
    good = "".join("%d,%s\n" % (i, t.values[0][:6].replace('"', '""').join('""'))
                   for i, t in enumerate(TEXTS)).encode()
    path = write_csv(tmp_path, b"id,\xd0\xb8\xd0\xbc\xd1\x8f\n" + good)
    r = shell(dsn, '.load "ld€" %s' % path, ".mode csv", ".headers off", 'select "имя" from "ld€" order by id;')
    assert r.returncode == 0, r.stderr
    assert "loaded %d rows" % len(TEXTS) in r.stdout
    with dbapi.connect(dsn) as c:
        assert [r[0] for r in fetch(c, 'select "имя" from "ld€" order by id')] == [t.values[0][:6] for t in TEXTS]
    bad = write_csv(tmp_path, b"100,ok\n101,bad \xff here\n", "bad.csv")
    r = shell(dsn, '.load "ld€" %s' % bad)
    assert "line 2" in r.stderr and "UTF-8" in r.stderr


def test_shell_load_takes_another_encoding_by_name(dsn, tmp_path):
    r = shell(dsn, "create table le (id integer, name varchar(5));")
    assert r.returncode == 0, r.stderr
    path = write_csv(tmp_path, "1,Grüße\n2,Zoë\n".encode("latin-1"))
    r = shell(dsn, ".load --encoding latin-1 le %s" % path)
    assert r.returncode == 0, r.stderr
    with dbapi.connect(dsn) as c:
        assert fetch(c, "select name from le order by id") == [("Grüße",), ("Zoë",)]
    r = shell(dsn, ".load --encoding no-such-thing le %s" % path)
    assert "unknown encoding" in r.stderr


def test_pandas_names_and_values(dsn):
    pd = pytest.importorskip("pandas")
    sa = pytest.importorskip("sqlalchemy")
    pg = dsn.startswith("postgres")
    engine = sa.create_engine(dsn.replace("postgresql://", "postgresql+qivrex://", 1) if pg else "qivrex:///" + dsn)
    texts = [t.values[0] for t in TEXTS]
    frame = pd.DataFrame({"名前€": texts})
    frame.to_sql("pd€", engine, index=False)
    back = pd.read_sql('select * from "pd€"', engine)
    assert list(back.columns) == ["名前€"] and list(back["名前€"]) == texts


def test_asyncio_and_the_pool_carry_any_text(dsn):
    import asyncio

    from pyqivrexdb import aio
    from pyqivrexdb.pool import ConnectionPool
    texts = [t.values[0] for t in TEXTS]

    async def run():
        async with await aio.connect(dsn) as conn:
            await conn.execute("create table a (v text)")
            cur = conn.cursor()
            await cur.executemany("insert into a values (?)", [(t,) for t in texts])
            await cur.execute("select v from a")
            return [r[0] for r in await cur.fetchall()]
    assert asyncio.run(run()) == texts
    with ConnectionPool(dsn, max_size=1) as pool:
        with pool.connection() as conn:
            assert [r[0] for r in fetch(conn, "select v from a where v = ?", ("日本語の文",))] == ["日本語の文"]


@pytest.mark.parametrize("hook", ["adapter", "converter"])
def test_a_core_face_call_inside_a_standard_face_call_keeps_its_code_page(dsn, conn, hook):
    """The UTF-8 choice is kept per call on the calling thread: a core-face
    connection used from an adapter or a converter of a standard-face call
    still speaks code page 866 (it stored UTF-8 bytes as code page text)."""
    core = core_connect(dsn)
    try:
        cc = core.cursor()
        cc.execute("create table k (v varchar(10))")
        seen = []

        def use_core(value):
            cc.execute("insert into k values ('Жук')")
            cc.execute("select v from k")
            seen.append([list(r)[0].rstrip("\0 ") for r in cc.fetchall()])
            with pytest.raises(UnicodeEncodeError):
                cc.execute("select '€'")
            return 1

        if hook == "adapter":
            class Mark:
                pass
            conn.adapters[Mark] = use_core
            fetch(conn, "select ?", (Mark(),))
        else:
            conn.execute("create table m (x integer)")
            conn.execute("insert into m values (1)")
            conn.commit()
            cur = conn.cursor()
            cur._detect_types = dbapi.PARSE_DECLTYPES
            saved = dict(dbapi.converters)
            dbapi.register_converter("INTEGER", use_core)
            try:
                cur.execute("select x from m")
                cur.fetchall()
            finally:
                dbapi.converters.clear()
                dbapi.converters.update(saved)
        assert seen == [["Жук"]]
        cc.execute("select v from k")
        assert [list(r)[0].rstrip("\0 ") for r in cc.fetchall()] == ["Жук"]
    finally:
        core.close()


@pytest.mark.parametrize("text", ["x" * 1000, "😀" * 100])
def test_a_text_column_takes_the_same_texts_below_and_above_64_rows(conn, text):
    conn.execute("create table lt (v text)")
    cur = conn.cursor()
    cur.executemany("insert into lt values (?)", [(text,)] * 3)
    cur.executemany("insert into lt values (?)", [(text,)] * 100)
    assert fetch(conn, "select count(*) from lt where v = ?", (text,)) == [(103,)]


# Regression: such a connection was told the library speaks only code page
# 866, though the library offered UTF-8.
@pytest.mark.parametrize("error, write", [
    (dbapi.DataError, lambda c: c.execute("select ?", ("€",))),
    (dbapi.ProgrammingError, lambda c: c.execute("select '€'")),
])
def test_a_code_page_connection_by_choice_is_told_it_chose_the_page(dsn, error, write):
    with dbapi.connect(dsn, text_encoding="cp866") as c:
        with pytest.raises(error, match=r"code page 866 lacks \(the connection chose code page 866\)"):
            write(c)


def test_connect_texts_outside_a_chosen_code_page_say_it_was_chosen(tmp_path):
    with pytest.raises(dbapi.InterfaceError, match=r"^the connection chose code page 866, which has no '€' \(in the dsn\)"):
        dbapi.connect(str(tmp_path / "€.db"), text_encoding="cp866")


# A column record holds 31 bytes of a name; longer ones come whole however
# the result reaches the reader.
LONG_NAMES = [
    "наименование_товара",          # 19 characters, 38 bytes
    "ц" * 15 + "x",                 # 31 bytes: fills the record exactly
    "x" + "ц" * 15,                 # the cut would split the 16th character
    "品" * 12,                       # 3-byte characters
    "😀" * 9,                        # 4-byte characters
    "a_plain_ascii_name_of_forty_characters_",
]


@pytest.mark.parametrize("name", LONG_NAMES)
def test_a_result_names_a_long_column_whole(conn, name):
    conn.execute('create table n ("%s" integer, short integer)' % name)
    conn.execute("insert into n values (1, 2)")
    for sql in ("select * from n", 'select short as "%s", 3 as "%s" from n' % (name, name[::-1])):
        cur = conn.cursor()
        cur.execute(sql)
        expect = [name, "short"] if sql == "select * from n" else [name, name[::-1]]
        assert [d[0] for d in cur.description] == expect
        assert len(cur.fetchall()) == 1


def test_arrow_and_table_layout_name_a_long_column_whole(conn):
    name = LONG_NAMES[0]
    conn.execute('create table n ("%s" integer)' % name)
    assert [f[0] for f in conn.table_layout("n")] == [name]
    pa = pytest.importorskip("pyarrow")
    cur = conn.cursor()
    cur.execute("select * from n")
    assert cur.fetch_arrow_table().schema.names == [name]
