"""An int written into a PostgreSQL numeric column reads back as that int on
every path, as the row path stores it."""
import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn


# a double holds each value exactly; for the first two its shortest text is another number
VALUES = [2 ** 62, 123456789012344832, 2 ** 60 + 2 ** 10, -(2 ** 53)]


@pytest.mark.parametrize("value, rows", [(v, rows) for rows in (1, 70) for v in VALUES])
def test_an_int_in_a_numeric_column_reads_back_equal(pg_cluster, value, rows):
    with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as conn:
        conn.execute("create table big (id int, v numeric(30,0))")
        try:
            conn.cursor().executemany("insert into big values (?, ?)", [(i, value) for i in range(rows)])
        except dbapi.DataError:
            return  # refused is fine; changed is not
        assert conn.execute("select distinct v from big").fetchall() == [(value,)]
