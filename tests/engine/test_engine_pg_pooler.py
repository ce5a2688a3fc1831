"""The driver through pgbouncer pooling by transaction, where each
transaction may run on another server session: statements prepared on the
server are detected as unsafe there and not used (or turned off by the
name's prepared_statements=off), and transactions keep their meaning."""
import os
import shutil
import threading

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi


@pytest.fixture(scope="module")
def bouncer(pg_cluster):
    import pgcluster
    if not shutil.which("pgbouncer") and not os.path.exists("/usr/sbin/pgbouncer"):
        why = "pgbouncer is not installed; tools/setup installs it"
        if os.environ.get("CI") == "true":
            pytest.fail("CI must run the pooler's tests: " + why)
        pytest.skip(why)
    b = pgcluster.Bouncer(pg_cluster, pool_size=2).start()
    yield b
    b.stop()


@pytest.fixture
def table(pg_cluster):
    import uuid
    name = "p" + uuid.uuid4().hex[:12]
    pg_cluster.psql(f"create table {name}(k integer, v text)")
    return name


def interleaved(dsn, table, clients=4, rows=100):
    """Clients whose statements differ in order, so the same statement name
    means another text in each: a statement run on a server session where
    another client prepared it runs the wrong text."""
    errors = []

    def work(i):
        try:
            conn = pyqivrexdb.connect(dsn)
            cur = conn.cursor()
            if i % 2:
                cur.execute(f"select v from {table} where k = -1 and v = 'y'")
            for k in range(i * 1000, i * 1000 + rows):
                cur.execute(f"insert into {table} values ({k}, 'x')")
                cur.execute(f"select v from {table} where k = {k} and v = 'x'")
                got = cur.fetchall()
                if got != [["x"]]:
                    errors.append((i, k, got))
                    break
            conn.close()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append((i, repr(e)))
    threads = [threading.Thread(target=work, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


@pytest.mark.parametrize("params", [{}, {"prepared_statements": "off"}])
def test_clients_sharing_server_sessions_get_their_own_statements(bouncer, table, params):
    assert interleaved(bouncer.dsn(**params), table) == []


def prepared_on_server(dsn):
    with dbapi.connect(dsn, autocommit=True) as c:
        cur = c.cursor()
        for k in range(3):
            cur.execute(f"select relname from pg_class where oid = {1259 + k}")
        return cur.execute("select count(*) from pg_prepared_statements").fetchone()[0]


@pytest.mark.parametrize("params, prepared", [
    ({}, True),
    ({"prepared_statements": "off"}, False),
    ({"prepared_statements": "on"}, True),
    ({"connect_timeout": 5, "prepared_statements": "off"}, False),
    ({"prepared_statements": "off", "connect_timeout": 5}, False),
])
def test_direct_connections_prepare_unless_told_not_to(pg_cluster, params, prepared):
    assert (prepared_on_server(pg_cluster.dsn(**params)) > 0) is prepared


def test_the_setting_in_a_keyword_name(pg_cluster):
    import pgcluster
    dsn = (f"host=127.0.0.1 port={pg_cluster.port} prepared_statements = 'off' "
           f"user={pgcluster.USER} password={pgcluster.PASSWORD} dbname={pgcluster.USER}")
    assert prepared_on_server(dsn) == 0
    assert prepared_on_server(dsn.replace("'off'", "on")) > 0


def test_a_wrong_setting_is_refused_by_name(pg_cluster):
    with pytest.raises(dbapi.OperationalError, match="prepared_statements must be on or off"):
        dbapi.connect(pg_cluster.dsn(prepared_statements="maybe"))


def test_transactions_through_the_pooler(bouncer, table):
    with dbapi.connect(bouncer.dsn()) as c:
        c.execute(f"insert into {table} values (1, 'kept')")
        with pytest.raises(dbapi.ProgrammingError):
            c.execute("select * from no_such_table")  # takes back only itself
        c.execute(f"insert into {table} values (2, 'kept')")
        c.commit()
        c.execute(f"insert into {table} values (3, 'dropped')")
        c.rollback()
        rows = c.execute(f"select k, v from {table} order by k").fetchall()
        loaded = c.addrecords(table, [[4, "loaded"]])
        c.commit()
        assert c.execute(f"select count(*) from {table}").fetchone()[0] == 3
    assert rows == [(1, "kept"), (2, "kept")] and loaded == 1


def test_failures_inside_transactions_of_clients_sharing_server_sessions(bouncer, table):
    # Each failing statement goes after a savepoint of its own in the same
    # flight; the pooler must hand every answer back to its own client.
    errors = []

    def work(i):
        try:
            with dbapi.connect(bouncer.dsn()) as c:
                for k in range(i * 100, i * 100 + 20):
                    c.execute(f"insert into {table} values (?, 'kept')", (k,))
                    for bad in ("select * from no_such_table", "insert into t valuez (1)", "select 1/0"):
                        try:
                            c.execute(bad)
                        except dbapi.Error:
                            pass
                        else:
                            errors.append((i, k, bad, "no error"))
                    if k % 3 == 0:
                        c.commit()
                c.commit()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append((i, repr(e)))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    with dbapi.connect(bouncer.dsn()) as c:
        got = [r[0] for r in c.execute(f"select k from {table} order by k").fetchall()]
    assert got == [k for i in range(4) for k in range(i * 100, i * 100 + 20)]
