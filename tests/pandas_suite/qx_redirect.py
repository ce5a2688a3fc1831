"""pytest plugin: pandas' own SQL tests (pandas/tests/io/test_sql.py), their
SQLAlchemy SQLite cases, run against the qivrex dialect instead:

    P=$(python -c 'import os, pandas; print(os.path.dirname(pandas.__file__))')
    PYTHONPATH=tests/pandas_suite:build/dev/stage python -P -m pytest -p qx_redirect \\
        --rootdir=$P -c /dev/null $P/tests/io/test_sql.py --no-strict-data-files \\
        -k "sqlite_engine or sqlite_conn or sqlite_str"

Every sqlite:// engine the tests create becomes a qivrex:// one."""
import sqlalchemy as sa
from sqlalchemy.dialects import registry

# Imported now: pytest puts pandas' parent folder (site-packages) first on
# the path for its conftest, where an installed copy would be found instead.
import pyqivrexdb  # noqa: F401

registry.register("qivrex", "pyqivrexdb.dialect", "QivrexDialect")
_create_engine = sa.create_engine


def create_engine(url, *args, **kwargs):
    u = sa.engine.make_url(url)
    if u.drivername.startswith("sqlite"):
        u = u.set(drivername="qivrex", database=u.database or ":memory:")
    return _create_engine(u, *args, **kwargs)


sa.create_engine = create_engine
