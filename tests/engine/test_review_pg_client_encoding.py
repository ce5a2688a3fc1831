"""Text is UTF-8 both ways on a PostgreSQL connection: a user's change of
client_encoding would have the server read every text sent (the literals,
the bound values, the COPY rows) and write every text read in another
encoding, storing 'é' as 'Ã©' without a word. It is set back and the
statement that changed it says so; nothing is stored garbled."""
import pytest

from pyqivrexdb import dbapi

pa = pytest.importorskip("pyarrow")


@pytest.fixture
def pg_dsn(dsn, backend):
    if backend != "postgresql":
        pytest.skip("a server's setting")
    return dsn


def write(cur, path, k):
    if path == "literal":
        cur.execute("insert into e values (%d, 'é')" % k)
    elif path == "bound":
        cur.execute("insert into e values (?, ?)", (k, "é"))
    elif path == "executemany":
        cur.executemany("insert into e values (?, ?)", [(k, "é")])
    elif path == "addrecords":
        cur.connection.addrecords("e", [(k, "é")])
    else:
        cur.adbc_ingest("e", pa.table({"k": pa.array([k], pa.int32()), "v": pa.array(["é"])}), mode="append")


CHANGES = [
    "set client_encoding = 'LATIN1'",
    "set session client_encoding to 'WIN1251'",
    "set client_encoding = 'SQL_ASCII'",
    "select set_config('client_encoding', 'LATIN1', false)",
]


@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
@pytest.mark.parametrize("path", ["literal", "bound", "executemany", "addrecords", "adbc_ingest"])
@pytest.mark.parametrize("change", CHANGES)
def test_a_change_of_client_encoding_is_refused_and_texts_stay_utf8(pg_dsn, autocommit, path, change):
    with dbapi.connect(pg_dsn, autocommit=autocommit) as conn:
        cur = conn.cursor()
        cur.execute("create table e (k integer, v text)")
        conn.commit()
        if change.startswith("set"):
            with pytest.raises(dbapi.ProgrammingError, match="client_encoding was set to"):
                cur.execute(change)
        else:
            # Read from a query's rows, the change fails the next statement
            # before its text is sent (a load may then go on by another way).
            cur.execute(change).fetchall()
            try:
                write(cur, path, 0)
            except dbapi.ProgrammingError as exc:
                assert "client_encoding was set to" in str(exc)
        write(cur, path, 1)
        conn.commit()
        assert cur.execute("show client_encoding").fetchall() == [("UTF8",)]
        assert cur.execute("select distinct v, octet_length(v) from e").fetchall() == [("é", 2)]
        assert cur.execute("select count(*) from e where k = 1").fetchall() == [(1,)]


def test_utf8_under_another_spelling_is_taken(pg_dsn):
    with dbapi.connect(pg_dsn, autocommit=True) as conn:
        cur = conn.cursor()
        cur.execute("set client_encoding = 'unicode'")
        cur.execute("set client_encoding to 'utf-8'")
        assert cur.execute("select 'é'").fetchall() == [("é",)]
