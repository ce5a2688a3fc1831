"""A negative number bound into a PostgreSQL statement that reads a signed
number where no expression may stand: the server takes it as written."""
import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn


@pytest.mark.parametrize("sql, values, check, want", [
    ("create sequence s increment by ? minvalue ? start with ?", (-1, -100, -5), "select nextval('s')", -5),
    ("create sequence s minvalue -100; alter sequence s restart with ?", (-50,), "select nextval('s')", -50),
    ("create table st(a int); alter table st alter column a set statistics ?", (-1,),
     "select attstattarget is null or attstattarget = -1 from pg_attribute where attrelid = 'st'::regclass "
     "and attname = 'a'", True),
    ("drop role if exists neg_r; create role neg_r; alter role neg_r set extra_float_digits = ?", (-3,),
     "select setconfig from pg_db_role_setting where setrole = 'neg_r'::regrole", ["extra_float_digits=-3"]),
], ids=["create sequence", "alter sequence", "set statistics", "alter role"])
def test_a_negative_number_where_the_server_reads_a_signed_number(pg_cluster, sql, values, check, want):
    with dbapi.connect(pg_dsn(pg_cluster), autocommit=True) as conn:
        *before, last = sql.split("; ")
        for statement in before:
            conn.execute(statement)
        conn.execute(last, values)
        assert conn.execute(check).fetchone() == (want,)
