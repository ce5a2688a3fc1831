"""Alembic on qivrex:// URLs: autogenerate, upgrade, a batch migration of a
table that another refers to (foreign keys enforced), and downgrade, with
the rows kept throughout."""
import importlib.metadata
import os
import shutil
import subprocess
import sys

import pytest

alembic = pytest.importorskip("alembic")
sa = pytest.importorskip("sqlalchemy")

from alembic import command  # noqa: E402
from alembic.config import Config  # noqa: E402

import pyqivrexdb.dialect_alembic  # noqa: E402,F401  what the entry point does when installed

ENV = '''
from alembic import context
config = context.config
engine = config.attributes["engine"]
with engine.connect() as connection:
    context.configure(connection=connection, target_metadata=config.attributes["metadata"])
    with context.begin_transaction():
        context.run_migrations()
'''

BATCH = '''"""batch"""
from alembic import op
import sqlalchemy as sa
revision = "b2"
down_revision = "{down}"


def upgrade():
    with op.batch_alter_table("parent") as batch:
        batch.add_column(sa.Column("code", sa.Integer, server_default="7"))
        batch.alter_column("name", existing_type=sa.String(20), type_=sa.String(40), nullable=False)
        batch.drop_column("legacy")


def downgrade():
    with op.batch_alter_table("parent") as batch:
        batch.add_column(sa.Column("legacy", sa.String(10)))
        batch.alter_column("name", existing_type=sa.String(40), type_=sa.String(20), nullable=True)
        batch.drop_column("code")
'''


def schema():
    md = sa.MetaData()
    sa.Table("parent", md, sa.Column("id", sa.Integer, primary_key=True), sa.Column("name", sa.String(20)),
             sa.Column("legacy", sa.String(10)))
    sa.Table("child", md, sa.Column("id", sa.Integer, primary_key=True),
             sa.Column("parent_id", sa.Integer, sa.ForeignKey("parent.id"), nullable=False))
    return md


@pytest.fixture
def alembic_cfg(tmp_path, engine):
    scripts = tmp_path / "migrations"
    (scripts / "versions").mkdir(parents=True)
    (scripts / "env.py").write_text(ENV)
    template = importlib.resources.files("alembic") / "templates" / "generic" / "script.py.mako"
    shutil.copy(str(template), scripts / "script.py.mako")
    cfg = Config()
    cfg.set_main_option("script_location", str(scripts))
    cfg.attributes["engine"] = engine
    cfg.attributes["metadata"] = schema()
    return cfg


def columns(engine, table):
    return [c["name"] for c in sa.inspect(engine).get_columns(table)]


def rows(engine, sql):
    with engine.connect() as c:
        return c.exec_driver_sql(sql).all()


def test_autogenerate_upgrade_batch_and_downgrade_keep_the_rows(alembic_cfg, engine, tmp_path):
    first = command.revision(alembic_cfg, "create", autogenerate=True, rev_id="a1")
    assert "create_table('parent'" in open(first.path).read()
    command.upgrade(alembic_cfg, "head")
    with engine.begin() as c:
        c.exec_driver_sql("insert into parent values (1, 'one', 'x'), (2, 'two', 'y')")
        c.exec_driver_sql("insert into child values (10, 1), (20, 2)")

    (tmp_path / "migrations" / "versions" / "b2_batch.py").write_text(BATCH.format(down="a1"))
    command.upgrade(alembic_cfg, "head")
    assert sorted(columns(engine, "parent")) == ["code", "id", "name"]
    assert rows(engine, "select id, name, code from parent order by id") == [(1, "one", 7), (2, "two", 7)]
    assert rows(engine, "select id, parent_id from child order by id") == [(10, 1), (20, 2)]
    assert rows(engine, "pragma foreign_key_check") == []

    command.downgrade(alembic_cfg, "a1")
    assert sorted(columns(engine, "parent")) == ["id", "legacy", "name"]
    assert rows(engine, "select id, name, legacy from parent order by id") == [(1, "one", None), (2, "two", None)]
    assert rows(engine, "select count(*) from child") == [(2,)]
    command.downgrade(alembic_cfg, "base")
    assert sa.inspect(engine).get_table_names() == ["alembic_version"]


def test_foreign_keys_are_back_on_when_the_migration_connection_returns(alembic_cfg, engine):
    command.revision(alembic_cfg, "create", autogenerate=True, rev_id="a1")
    command.upgrade(alembic_cfg, "head")
    # The pool hands the migration's own connection out again.
    assert rows(engine, "pragma foreign_keys") == [(1,)]
    with pytest.raises(sa.exc.IntegrityError):
        with engine.begin() as c:
            c.exec_driver_sql("insert into child values (1, 99)")


def test_the_plugin_entry_point_names_the_module():
    from pyqivrexdb import dialect_alembic
    from alembic.ddl.impl import DefaultImpl

    assert DefaultImpl.get_by_dialect(sa.create_engine("qivrex://").dialect) is dialect_alembic.QivrexImpl


def test_the_plugin_module_imports_first_in_a_fresh_interpreter(tmp_path):
    # Importing alembic loads its plugins, this module among them: an import
    # of the module itself must survive meeting itself half-made.
    where = os.path.dirname(os.path.dirname(pyqivrexdb.dialect_alembic.__file__))
    subprocess.run([sys.executable, "-c", "import pyqivrexdb.dialect_alembic"], check=True,
                   env=dict(os.environ, PYTHONPATH=where), cwd=tmp_path)
