"""Converters by declared type on PostgreSQL: an array or network column is
found under its own type's name, as table_layout() names it."""
import pytest

from pyqivrexdb import dbapi
from conftest import pg_dsn


@pytest.fixture
def registered():
    saved = dict(dbapi.converters)
    yield dbapi.register_converter
    dbapi.converters.clear()
    dbapi.converters.update(saved)


@pytest.mark.parametrize("declared, literal, name", [
    ("int[]", "'{1,2}'", "INTEGER[]"),
    ("varchar(5)[]", "'{a}'", "CHARACTER"),
    ("timestamptz[]", "'{}'", "TIMESTAMP"),
    ("jsonb[]", "'{}'", "JSONB[]"),
    ("inet", "'10.0.0.1'", "INET"),
    ("cidr", "'10.0.0.0/8'", "CIDR"),
    ("macaddr", "'08:00:2b:01:02:03'", "MACADDR"),
])
def test_a_converter_is_found_by_the_columns_own_type(pg_cluster, registered, declared, literal, name):
    registered(name, lambda text: ("mine", text))
    registered("TYPE", lambda text: ("another's", text))
    with dbapi.connect(pg_dsn(pg_cluster), detect_types=dbapi.PARSE_DECLTYPES) as conn:
        conn.execute("create table t (v %s)" % declared)
        conn.execute("insert into t values (%s)" % literal)
        layout_name = conn.table_layout("t")[0][3].split("(")[0].split()[0].upper()
        assert layout_name == name
        assert conn.execute("select v from t").fetchone()[0][0] == "mine"
