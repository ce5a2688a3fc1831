"""A column of unbounded text takes a text of any length on every path:
execute(), executemany of few rows (one statement each), executemany of many
rows and addrecords (the bulk path, whose records give such a column a field
of its own width); a declared length is held on every path alike."""
import pytest

from pyqivrexdb import dbapi

# Characters of one, two, three and four UTF-8 bytes.
MIXED = "aя€😀"


def text(n):
    return (MIXED * (n // len(MIXED) + 1))[:n]


def rows_of(count):
    """Texts of 0, 255, 256 and 1000 characters in turn, one of 100000 in
    the middle."""
    rows = [(i, text((0, 255, 256, 1000)[i % 4])) for i in range(count)]
    rows[count // 2] = (count // 2, text(100000))
    return rows


def load(conn, way, sql, table, rows):
    if way == "addrecords":
        conn.addrecords(table, rows)
    elif way == "execute":
        cur = conn.cursor()
        for row in rows:
            cur.execute(sql, row)
    else:
        conn.cursor().executemany(sql, rows if way == "executemany" else iter(rows))


@pytest.mark.parametrize("count", [1, 63, 64, 200])
@pytest.mark.parametrize("way", ["executemany", "executemany of an iterator", "addrecords"])
def test_an_unbounded_text_takes_any_length(dsn, count, way):
    rows = rows_of(count)
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t (id integer, v text)")
        load(conn, way, "insert into t values (?, ?)", "t", rows)
        assert conn.execute("select id, v from t order by id").fetchall() == rows


def test_the_load_keeps_the_order_of_rows_and_counts_them(dsn):
    rows = [(i, "x" * (300 if i % 3 else 3)) for i in range(100)]
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t (v text, id integer)")
        cur = conn.cursor()
        cur.executemany("insert into t (v, id) values (?, ?)", [(v, i) for i, v in rows])
        assert cur.rowcount == 100
        assert cur.lastrowid is None
        # The engine's row ids (and a server's order of arrival) follow the rows.
        got = conn.execute("select id, v from t" + (" order by rowid" if "sqlite" in dsn else "")).fetchall()
        assert got == rows


@pytest.mark.parametrize("count", [1, 64])
@pytest.mark.parametrize("way", ["execute", "executemany", "executemany of an iterator", "addrecords"])
def test_a_declared_length_is_held_on_every_path(dsn, count, way):
    rows = [(i, text(10)) for i in range(count)]
    rows[-1] = (count - 1, text(11))
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t (id integer, v varchar(10))")
        with pytest.raises(dbapi.DataError):
            load(conn, way, "insert into t values (?, ?)", "t", rows)


@pytest.mark.parametrize("count", [1, 64])
def test_a_long_row_is_held_to_the_types_of_its_other_fields(dsn, count):
    # A row that goes alone for its long text is checked as the bulk path
    # checks the rest: a str is no integer.
    rows = [(i, "short") for i in range(count)]
    rows[-1] = ("7", text(1000))
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t (id integer, v text)")
        with pytest.raises(dbapi.ProgrammingError if count >= 64 else dbapi.Error):
            conn.cursor().executemany("insert into t values (?, ?)", rows)


def test_a_long_row_that_fails_names_its_row_and_keeps_the_rows_before(tmp_path):
    with dbapi.connect(str(tmp_path / "db.sqlite")) as conn:
        conn.execute("create table t (id integer primary key, v text)")
        rows = [(i, "s") for i in range(70)] + [(3, text(1000))]
        with pytest.raises(dbapi.IntegrityError) as caught:
            conn.addrecords("t", rows)
        assert caught.value.rows_sent == 70
        assert "row 70" in str(caught.value)


@pytest.mark.parametrize("count", [1, 64, 200])
def test_documents_and_arrays_into_text_fields_take_any_length(dsn, backend, count):
    if backend != "postgresql":
        pytest.skip("documents and arrays are PostgreSQL's")
    doc = dbapi.Json({"k": text(1000)})
    tags = [text(300), text(5)]
    with dbapi.connect(dsn) as conn:
        conn.execute("create table t (id integer, doc json, tags text[])")
        conn.execute("insert into t values (?, ?, ?)", (-1, doc, tags))
        conn.cursor().executemany("insert into t values (?, ?, ?)", [(i, doc, tags) for i in range(count)])
        got = conn.execute("select doc::text, tags::text from t order by id").fetchall()
    assert len(got) == count + 1
    assert len(got[0][0]) > 1000 and len(got[0][1]) > 300
    assert got[1:] == got[:1] * count
