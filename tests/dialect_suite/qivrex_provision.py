"""How the suite sets up a qivrex database: as SQLite's own provisioning does.

The second schema the suite uses is a database file attached to every new
connection of every engine the suite makes.
"""
import os

from sqlalchemy import event
from sqlalchemy.testing.provision import (
    post_configure_engine, post_configure_testing_engine, stop_test_class_outside_fixtures,
    temp_table_keyword_args, upsert)

ATTACHED = "qivrex_test_schema.db"


@post_configure_testing_engine.for_db("qivrex")
def _attach_test_schema(url, engine, options, scope):
    @event.listens_for(engine, "connect")
    def connect(dbapi_connection, connection_record):
        # SQLite attaches only outside a transaction
        autocommit, dbapi_connection.autocommit = dbapi_connection.autocommit, True
        cursor = dbapi_connection.cursor()
        cursor.execute(f"ATTACH DATABASE '{ATTACHED}' AS test_schema")
        cursor.close()
        dbapi_connection.autocommit = autocommit


@post_configure_engine.for_db("qivrex")
def _remove_files(url, engine, follower_ident):
    @event.listens_for(engine, "engine_disposed")
    def dispose(engine):
        for path in (ATTACHED, engine.url.database):
            if os.path.exists(path):
                os.remove(path)


@stop_test_class_outside_fixtures.for_db("qivrex")
def _dispose(config, db, cls):
    db.dispose()


@temp_table_keyword_args.for_db("qivrex")
def _temp_table_keyword_args(cfg, eng):
    return {"prefixes": ["TEMPORARY"]}


@upsert.for_db("qivrex")
def _upsert(cfg, table, returning, *, set_lambda=None, sort_by_parameter_order=False,
            index_elements=None):
    from sqlalchemy.dialects.sqlite import insert

    stmt = insert(table)
    if set_lambda:
        stmt = stmt.on_conflict_do_update(set_=set_lambda(stmt.excluded))
    else:
        stmt = stmt.on_conflict_do_nothing()
    return stmt.returning(*returning, sort_by_parameter_order=sort_by_parameter_order)
