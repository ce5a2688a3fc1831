"""Dialect tests: SQLAlchemy and pandas over pyqivrexdb.dbapi on the embedded
engine, in a pytest process of their own (tests/dialect_suite holds
SQLAlchemy's own compliance suite)."""
import importlib.metadata
import os
import sys

import pytest

# The test modules import the helpers below as `conftest`.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

sa = pytest.importorskip("sqlalchemy")

from sqlalchemy.dialects import registry  # noqa: E402


def installed_entry_point():
    return any(ep.name == "qivrex" for ep in importlib.metadata.entry_points(group="sqlalchemy.dialects"))


# An installed package registers the dialect through its entry point; a
# development tree is not installed.
if not installed_entry_point():
    registry.register("qivrex", "pyqivrexdb.dialect", "QivrexDialect")


@pytest.fixture
def engine(tmp_path):
    eng = sa.create_engine(f"qivrex:///{tmp_path}/test.db")
    yield eng
    eng.dispose()


@pytest.fixture(scope="session")
def pg_cluster():
    """A throw-away PostgreSQL cluster (tests/pgcluster.py) for the session."""
    import pgcluster
    if not pgcluster.bindir():
        why = "PostgreSQL's server programs (initdb) are not installed; tools/setup installs them"
        if os.environ.get("CI") == "true":
            pytest.fail("CI must run the PostgreSQL half: " + why)
        pytest.skip(why)
    cluster = pgcluster.Cluster().start()
    yield cluster
    cluster.remove()


@pytest.fixture
def pg_engine(pg_cluster):
    if not any(ep.name == "postgresql.qivrex"
               for ep in importlib.metadata.entry_points(group="sqlalchemy.dialects")):
        registry.register("postgresql.qivrex", "pyqivrexdb.dialect_pg", "QivrexPGDialect")
    eng = sa.create_engine(pg_cluster.dsn().replace("postgresql://", "postgresql+qivrex://", 1))
    yield eng
    with eng.begin() as c:
        c.exec_driver_sql("drop schema public cascade")
        c.exec_driver_sql("create schema public")
    eng.dispose()
