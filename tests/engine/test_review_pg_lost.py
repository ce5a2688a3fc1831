"""A PostgreSQL server gone under the standard face: a call that needs a
new statement says so as plainly as one on a cursor made before."""
import subprocess
import time

import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn


@pytest.mark.parametrize("call", [
    lambda conn: conn.cursor(),
    lambda conn: conn.execute("select 1"),
    lambda conn: conn.tables(),
    lambda conn: conn.table_layout("t"),
    lambda conn: conn.addrecords("t", [(1,)]),
], ids=["cursor", "execute", "tables", "table_layout", "addrecords"])
def test_a_new_statement_after_the_server_went_names_the_server(pg_cluster, call):
    conn = dbapi.connect(pg_dsn(pg_cluster))
    try:
        pid = conn.execute("select pg_backend_pid()").fetchone()[0]
        subprocess.run(["kill", "-KILL", str(pid)], check=True)
        time.sleep(0.2)
        with pytest.raises(dbapi.OperationalError, match="was lost"):
            conn.execute("select 1")  # the library finds it gone
        with pytest.raises(dbapi.OperationalError) as e:
            call(conn)
        assert "was lost" in str(e.value) and "127.0.0.1:" in str(e.value), str(e.value)
    finally:
        conn.close()
        pg_cluster.wait()  # a killed server process restarts them all
