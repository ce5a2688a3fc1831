"""A failing statement inside a transaction takes back only itself, whatever
the kind of failure and whatever savepoints of the user's own surround it, on
both backends."""
import threading
import time

import pytest

from pyqivrexdb import dbapi


@pytest.fixture
def conn(dsn):
    c = dbapi.connect(dsn)
    c.execute("create table t(id integer primary key, n integer check (n >= 0))")
    c.commit()
    yield c
    c.close()


def ids(dsn):
    with dbapi.connect(dsn) as other:
        return [r[0] for r in other.execute("select id from t order by id").fetchall()]


FAILURES = [
    ("insert into t valuez (9, 0)", dbapi.ProgrammingError),  # the server cannot parse it
    ("select nothing from t", dbapi.OperationalError),  # nor plan it
    ("insert into t values (1, 0)", dbapi.IntegrityError),  # a key taken
    ("insert into t values (9, -1)", dbapi.IntegrityError),  # a check
    ("insert into t values (?, ?)", dbapi.IntegrityError),  # prepared, a key taken
    ("select 1;;", None),  # trailing empty statements are one statement
    ("select 1; -- and a comment", None),
]


@pytest.mark.parametrize("sql, error", FAILURES, ids=[f[0] for f in FAILURES])
def test_a_failing_statement_between_two_rows_takes_back_only_itself(conn, dsn, sql, error):
    conn.execute("insert into t values (1, 0)")
    params = (1, 0) if "?" in sql else None
    if error is None:
        conn.execute(sql)
    else:
        with pytest.raises(dbapi.Error):
            conn.execute(sql, params)
    conn.execute("insert into t values (2, 0)")
    conn.commit()
    assert ids(dsn) == [1, 2]


@pytest.mark.parametrize("bad", ["insert into t values (1, 0)", "insert into t valuez (1)"])
def test_the_users_own_savepoints_among_failures(conn, dsn, bad):
    conn.execute("insert into t values (1, 0)")
    conn.execute("savepoint a")
    conn.execute("insert into t values (2, 0)")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("rollback to savepoint a")  # takes back row 2
    conn.execute("insert into t values (3, 0)")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("release savepoint a")
    conn.execute("insert into t values (4, 0)")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("savepoint b")
    with pytest.raises(dbapi.Error):
        conn.execute(bad)
    conn.execute("insert into t values (5, 0)")
    conn.execute("rollback to b")
    conn.commit()
    assert ids(dsn) == [1, 3, 4]


def test_the_transactions_own_settings_may_come_first(conn, dsn, backend):
    if backend == "sqlite":
        pytest.skip("a server's setting")
    conn.execute("begin")
    conn.execute("set transaction isolation level serializable")
    assert conn.execute("show transaction_isolation").fetchone() == ("serializable",)
    conn.execute("insert into t values (1, 0)")
    conn.commit()
    assert ids(dsn) == [1]
