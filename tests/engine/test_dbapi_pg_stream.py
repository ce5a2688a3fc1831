"""Query results on a PostgreSQL server read as they arrive: the first rows
come before the rest has been made, other statements on the connection
still run, and ending a result early leaves the transaction as the user had
it."""
import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn

ROWS = 20000
# Fails at its middle row: the rows before it can be read first.
FAILS_HALFWAY = f"select id, 1 / (id - {ROWS // 2}) from t order by id"


@pytest.fixture
def dsn(pg_cluster):
    d = pg_dsn(pg_cluster)
    with dbapi.connect(d, autocommit=True) as c:
        c.execute("create table t(id integer primary key, s text, b bytea)")
        c.execute(f"insert into t select g, 'row ' || g, decode(lpad(to_hex(g), 8, '0'), 'hex') "
                  f"from generate_series(1, {ROWS}) g")
    return d


def other_connection_can_alter(dsn):
    """Whether another session gets the table's exclusive lock at once (no
    query of ours still holds the table)."""
    with dbapi.connect(dsn, autocommit=True) as other:
        other.execute("set lock_timeout = '500ms'")
        try:
            other.execute("alter table t add column z integer")
        except dbapi.OperationalError:
            return False
        other.execute("alter table t drop column z")
        return True


@pytest.mark.parametrize("autocommit", [True, False])
def test_the_first_rows_come_before_a_failing_row_is_made(dsn, autocommit):
    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        cur = conn.execute(FAILS_HALFWAY)
        assert cur.fetchone() == (1, 0)  # 1 / -9999 truncates to 0
        assert cur.rowcount == -1
        with pytest.raises(dbapi.DataError, match="division by zero"):
            cur.fetchall()
        assert conn.execute("select count(*) from t").fetchone() == (ROWS,)


@pytest.mark.parametrize("sql, params", [
    ("select id, s, b from t order by id", None),
    ("select id, s, b from t where id > ? order by id", (0,)),  # prepared
    ("select id, s, b from t where id > 0 order by id", None),  # literal as a parameter
])
def test_a_stream_and_another_cursor_take_turns(dsn, sql, params):
    with dbapi.connect(dsn) as conn:
        a, b = conn.cursor(), conn.cursor()
        a.execute(sql, params)
        got = [a.fetchone()]
        b.execute("select s from t where id = ?", (7,))
        assert b.fetchall() == [("row 7",)]
        got += a.fetchmany(100)
        b.execute("insert into t values (?, 'new', null)", (ROWS + 1,))
        got += a.fetchall()
        assert [r[0] for r in got] == list(range(1, ROWS + 1))
        assert got[-1] == (ROWS, f"row {ROWS}", ROWS.to_bytes(4, "big"))
        assert a.rowcount == ROWS
        conn.commit()


ENDINGS = {
    "close": lambda cur, sql: cur.close(),
    "execute again": lambda cur, sql: cur.execute("select 1"),
}


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("sql, params", [
    ("select * from t order by id", None),
    ("select * from t where id > ? order by id", (0,)),
])
def test_ending_a_stream_early_inside_a_transaction_keeps_the_transaction(dsn, ending, sql, params):
    with dbapi.connect(dsn) as conn:
        conn.execute("insert into t values (?, 'mine', null)", (ROWS + 1,))
        for _ in range(2):  # the second time prepared, where it may be
            cur = conn.cursor()
            cur.execute(sql, params)
            assert cur.fetchone()[0] == 1
            ENDINGS[ending](cur, sql)
        assert conn.in_transaction
        assert conn.execute("select s from t where id = ?", (ROWS + 1,)).fetchone() == ("mine",)
        conn.rollback()
        assert conn.execute("select count(*) from t").fetchone() == (ROWS,)


@pytest.mark.parametrize("ending", ENDINGS)
def test_ending_a_stream_early_in_autocommit_ends_its_query(dsn, ending):
    with dbapi.connect(dsn, autocommit=True) as conn:
        cur = conn.cursor()
        cur.execute("select * from t order by id")
        assert cur.fetchone()[0] == 1
        assert not conn.in_transaction
        ENDINGS[ending](cur, None)
        assert not conn.in_transaction
        assert other_connection_can_alter(dsn)
        assert conn.execute("select count(*) from t").fetchone() == (ROWS,)


@pytest.mark.parametrize("sql", [FAILS_HALFWAY, FAILS_HALFWAY.replace("id - ", "id - 0 - ")])
def test_an_error_mid_stream_takes_back_only_the_query(dsn, sql):
    with dbapi.connect(dsn) as conn:
        conn.execute("insert into t values (?, 'mine', null)", (ROWS + 1,))
        cur = conn.execute(sql)
        with pytest.raises(dbapi.DataError):
            cur.fetchall()
        assert conn.execute("select s from t where id = ?", (ROWS + 1,)).fetchone() == ("mine",)
        conn.commit()
    with dbapi.connect(dsn) as conn:
        assert conn.execute("select count(*) from t").fetchone() == (ROWS + 1,)


@pytest.mark.parametrize("autocommit", [True, False])
def test_point_queries_read_their_row(dsn, autocommit):
    # Prepared, and inside a transaction pipelined after their savepoint.
    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        cur = conn.cursor()
        for k in (1, 2, 3, ROWS, ROWS + 5, 4):
            cur.execute("select id, s from t where id = ?", (k,))
            assert cur.fetchall() == ([(k, f"row {k}")] if k <= ROWS else [])
            assert cur.rowcount == (1 if k <= ROWS else 0)
