"""The qivrex dialect: URLs, types both ways, ranges, reflection, transactions, the ORM."""
import datetime
import decimal
import os
import types
from typing import List, Optional

import pytest
import sqlalchemy as sa
from sqlalchemy import exc, orm
from sqlalchemy.engine import make_url

from conftest import installed_entry_point
from pyqivrexdb import dbapi
from pyqivrexdb.dialect import QivrexDialect


# --- URLs and connecting ------------------------------------------------------

@pytest.mark.parametrize("url, dsn, user, password", [
    ("qivrex:///sales.db", os.path.abspath("sales.db"), "", ""),
    ("qivrex:////data/sales.db", "/data/sales.db", "", ""),
    ("qivrex:///:memory:", ":memory:", "", ""),
    ("qivrex://", ":memory:", "", ""),
    ("qivrex://scott:ti%40ger@/sales.db", os.path.abspath("sales.db"), "scott", "ti@ger"),
    ("qivrex+pyqivrexdb:///sales.db", os.path.abspath("sales.db"), "", ""),
])
def test_url_forms(url, dsn, user, password):
    args, kw = QivrexDialect().create_connect_args(make_url(url))
    assert args == [dsn] and kw == {"user": user, "password": password}


@pytest.mark.parametrize("url", ["qivrex://host/sales.db", "qivrex://:5432/x.db", "qivrex:///x.db?timeout=5"])
def test_url_refused(url):
    with pytest.raises(exc.ArgumentError):
        QivrexDialect().create_connect_args(make_url(url))


def test_connects_by_url_forms(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for url in ("qivrex:///rel.db", f"qivrex:///{tmp_path}/abs.db", "qivrex:///:memory:",
                "qivrex://scott:tiger@/rel.db"):
        eng = sa.create_engine(url)
        with eng.connect() as conn:
            assert conn.exec_driver_sql("select 40 + 2").scalar() == 42
        eng.dispose()
    assert sorted(os.listdir(tmp_path)) == ["abs.db", "rel.db"]


def test_dialect_identity(engine):
    with engine.connect() as conn:
        version = conn.exec_driver_sql("select sqlite_version()").scalar()
    assert engine.dialect.server_version_info == tuple(int(p) for p in version.split("."))
    assert engine.dialect.name == "qivrex" and engine.dialect.driver == "pyqivrexdb"
    assert engine.dialect.dbapi is dbapi
    assert QivrexDialect.supports_statement_cache is True
    assert engine.dialect.insert_returning and engine.dialect.use_insertmanyvalues


def test_entry_point_registered():
    if not installed_entry_point():
        pytest.skip("the package is not installed (a development tree): no entry points")
    assert sa.engine.url.make_url("qivrex://").get_dialect() is QivrexDialect


# --- types, both ways ---------------------------------------------------------

# SQLAlchemy type, declared type, reflected type, a value that comes back equal
TYPES = [
    (sa.Integer(), "INTEGER", sa.INTEGER, -(2**31 - 1)),  # the declared bounds: -2**31 is never written
    (sa.SmallInteger(), "SMALLINT", sa.SMALLINT, -32767),
    (sa.BigInteger(), "BIGINT", sa.BIGINT, 2**53),
    (sa.Float(precision=24), "FLOAT", sa.FLOAT, 0.5),
    (sa.Float(), "DOUBLE", sa.DOUBLE, 0.1),
    (sa.Double(), "DOUBLE", sa.DOUBLE, -1e300),
    (sa.Numeric(10, 2), "NUMERIC(10, 2)", sa.NUMERIC, decimal.Decimal("12345678.91")),
    (sa.String(5), "VARCHAR(5)", sa.VARCHAR, "Жук  "),
    (sa.CHAR(3), "CHAR(3)", sa.CHAR, "ab"),
    (sa.Text(), "TEXT", sa.TEXT, "Привет, 'мир'"),
    (sa.Date(), "DATE", sa.DATE, datetime.date(2078, 12, 31)),
    (sa.DateTime(), "DATETIME", sa.DATETIME, datetime.datetime(1850, 1, 2, 3, 4, 5, 6)),
    (sa.Time(), "TIME", sa.TIME, datetime.time(23, 59, 58, 999)),
    (sa.Boolean(), "BOOLEAN", sa.BOOLEAN, False),
    (sa.LargeBinary(), "BLOB", sa.BLOB, b"\x00ab\x00"),
]


@pytest.mark.parametrize("type_, ddl, reflected, value", TYPES, ids=[t[1] for t in TYPES])
def test_type_round_trip(engine, type_, ddl, reflected, value):
    assert type_.compile(dialect=engine.dialect) == ddl
    t = sa.Table("t", sa.MetaData(), sa.Column("id", sa.Integer, primary_key=True), sa.Column("v", type_))
    with engine.begin() as conn:
        t.create(conn)
        conn.execute(t.insert(), [{"v": value}, {"v": None}])
    with engine.connect() as conn:
        got = conn.execute(sa.select(t.c.v).order_by(t.c.id)).scalars().all()
        column = sa.inspect(conn).get_columns("t")[1]
    assert got == [value, None] and type(got[0]) is type(value)
    assert type(column["type"]) is reflected


@pytest.mark.parametrize("type_, values", [
    # a result's binary field is as wide as its longest value
    (sa.LargeBinary(), [b"", b"\x00", b"a\x00", b"\x00" * 300, None, bytes(range(256))]),
    # and a fixed one as wide as declared
    (sa.BINARY(8), [b"", b"\x00", b"a\x00", b"\x00" * 8, None, b"\xff" * 8]),
])
def test_blobs_keep_their_lengths(engine, type_, values):
    t = sa.Table("b", sa.MetaData(), sa.Column("id", sa.Integer, primary_key=True), sa.Column("v", type_))
    with engine.begin() as conn:
        t.create(conn)
        conn.execute(t.insert(), [{"v": v} for v in values])
        assert conn.execute(sa.select(t.c.v).order_by(t.c.id)).scalars().all() == values


@pytest.mark.parametrize("declared, reflected", [
    ("LONG", sa.INTEGER), ("INTR", sa.SMALLINT), ("BYTE", sa.SMALLINT), ("DWORD", sa.BIGINT),
    ("DFLT", sa.DOUBLE), ("CURR", sa.DOUBLE), ("FLOA", sa.FLOAT), ("FLOAT", sa.FLOAT),
    ("STRING", sa.TEXT), ("BINARY(8)", sa.BINARY), ("CHARACTER(4)", sa.CHAR),
])
def test_engine_type_names_reflect(engine, declared, reflected):
    with engine.begin() as conn:
        conn.exec_driver_sql(f"create table t (v {declared})")
        column = sa.inspect(conn).get_columns("t")[0]
    assert type(column["type"]) is reflected
    if reflected is sa.FLOAT:  # the engine keeps FLOAT in four bytes
        assert column["type"].precision == 24


@pytest.mark.parametrize("type_, fits, too_big", [
    (sa.SmallInteger, -(2**15 - 1), -2**15),
    (sa.Integer, 2**31 - 1, 2**31),
    (sa.BigInteger, -2**63, 2**63),
])
def test_integers_beyond_their_width_are_refused(engine, type_, fits, too_big):
    t = sa.Table("t", sa.MetaData(), sa.Column("v", type_))
    with engine.begin() as conn:
        t.create(conn)
        conn.execute(t.insert(), {"v": fits})
        assert conn.execute(sa.select(t.c.v)).scalar() == fits
        # refused when written, never cut or rounded
        with pytest.raises(exc.DataError):
            with conn.begin_nested():
                conn.execute(t.insert(), {"v": too_big})
        assert conn.execute(sa.select(t.c.v)).scalars().all() == [fits]


def test_big_integer_expressions_come_back_as_int(engine):
    with engine.connect() as conn:
        got = conn.execute(sa.select(sa.literal(2**40, sa.BigInteger) + 1)).scalar()
        assert got == 2**40 + 1 and type(got) is int
        assert conn.execute(sa.select(sa.func.count())).scalar() == 1


# --- reflection of plain SQL --------------------------------------------------

PLAIN_SQL = [
    """create table customers (
         id integer primary key,
         name varchar(40) not null,
         code char(6),
         balance money default 0,
         unique (code))""",
    """create table orders (
         id integer,
         line smallint,
         customer integer not null,
         placed date,
         constraint pk_orders primary key (id, line),
         foreign key (customer) references customers (id) on delete cascade,
         constraint uq_orders unique (customer, placed))""",
    "create index ix_orders_placed on orders (placed desc)",
]


def test_reflection_of_plain_sql(engine):
    with engine.begin() as conn:
        for sql in PLAIN_SQL:
            conn.exec_driver_sql(sql)
    insp = sa.inspect(engine)
    assert insp.get_table_names() == ["customers", "orders"]
    cols = {c["name"]: c for c in insp.get_columns("customers")}
    assert [type(c["type"]) for c in cols.values()] == [sa.INTEGER, sa.VARCHAR, sa.CHAR, sa.DOUBLE]
    assert cols["name"]["type"].length == 40 and not cols["name"]["nullable"]
    assert cols["balance"]["default"] == "0"
    assert insp.get_pk_constraint("customers")["constrained_columns"] == ["id"]
    assert insp.get_pk_constraint("orders") == {"constrained_columns": ["id", "line"], "name": "pk_orders"}
    [fk] = insp.get_foreign_keys("orders")
    assert (fk["constrained_columns"], fk["referred_table"], fk["referred_columns"], fk["options"]) == (
        ["customer"], "customers", ["id"], {"ondelete": "CASCADE"})
    assert [(u["name"], u["column_names"]) for u in insp.get_unique_constraints("orders")] == [
        ("uq_orders", ["customer", "placed"])]
    assert [u["column_names"] for u in insp.get_unique_constraints("customers")] == [["code"]]
    [ix] = insp.get_indexes("orders")
    assert (ix["name"], ix["column_names"], ix["unique"]) == ("ix_orders_placed", ["placed"], False)

    # the reflected tables work
    meta = sa.MetaData()
    meta.reflect(engine)
    customers, orders = meta.tables["customers"], meta.tables["orders"]
    with engine.begin() as conn:
        conn.execute(customers.insert(), {"name": "Петрова", "code": "P1"})
        conn.execute(orders.insert(), {"id": 1, "line": 1, "customer": 1, "placed": datetime.date(2024, 5, 1)})
        assert conn.execute(sa.select(customers.c.name, orders.c.placed).join(orders)).all() == [
            ("Петрова", datetime.date(2024, 5, 1))]


# --- transactions ---------------------------------------------------------------

def test_transactions_and_savepoints(engine):
    t = sa.Table("t", sa.MetaData(), sa.Column("v", sa.Integer))
    with engine.begin() as conn:
        t.create(conn)

    def values(conn):
        return conn.execute(sa.select(t.c.v).order_by(t.c.v)).scalars().all()

    with engine.connect() as conn, engine.connect() as other:
        with conn.begin():
            conn.execute(t.insert(), {"v": 1})
            with conn.begin_nested():
                conn.execute(t.insert(), {"v": 2})
            inner = conn.begin_nested()
            conn.execute(t.insert(), {"v": 3})
            inner.rollback()
            assert values(conn) == [1, 2]
            assert values(other) == []  # not committed yet
            other.rollback()
        assert values(other) == [1, 2]
        other.rollback()
        with conn.begin() as trans:
            conn.execute(t.insert(), {"v": 4})
            trans.rollback()
        assert values(conn) == [1, 2]


def test_autocommit_isolation_level(engine):
    t = sa.Table("t", sa.MetaData(), sa.Column("v", sa.Integer))
    with engine.begin() as conn:
        t.create(conn)
    with engine.connect().execution_options(isolation_level="AUTOCOMMIT") as conn:
        assert conn.get_isolation_level() == "AUTOCOMMIT"
        conn.execute(t.insert(), {"v": 1})
    with engine.connect() as conn:
        assert conn.get_isolation_level() == "SERIALIZABLE"
        assert conn.execute(sa.select(t.c.v)).scalar() == 1


def test_executemany_and_insertmanyvalues(engine):
    t = sa.Table("t", sa.MetaData(), sa.Column("id", sa.Integer, primary_key=True), sa.Column("v", sa.String(12)))
    rows = [{"v": f"значение{i}"} for i in range(2500)]
    with engine.begin() as conn:
        t.create(conn)
        assert conn.execute(t.insert(), rows).rowcount == 2500
        # RETURNING for many rows goes through insertmanyvalues batches
        ids = conn.execute(t.insert().returning(t.c.id, sort_by_parameter_order=True), rows[:1500]).scalars().all()
        assert ids == list(range(2501, 4001))
        assert conn.execute(sa.select(sa.func.count()).select_from(t)).scalar() == 4000
        assert conn.execute(t.update().where(t.c.id > 3000), {"v": "x"}).rowcount == 1000


@pytest.mark.parametrize("error, closed, gone", [
    (dbapi.ProgrammingError("the connection is closed"), True, True),
    (dbapi.ProgrammingError("cursor is already closed"), True, True),
    (dbapi.ProgrammingError('relation "connection is closed" does not exist'), False, False),  # a text is no state
    (dbapi.OperationalError("the connection is closed"), True, False),
])
def test_a_disconnect_is_a_closed_connection_not_a_text(error, closed, gone):
    dialect = QivrexDialect()
    dialect.loaded_dbapi = dbapi
    assert dialect.is_disconnect(error, types.SimpleNamespace(closed=closed), None) is gone
    assert dialect.is_disconnect(error, None, None) is False


def test_a_connection_closed_under_the_pool_is_replaced(engine):
    with engine.connect() as conn:
        conn.connection.dbapi_connection.close()
        with pytest.raises(exc.DBAPIError) as info:
            conn.execute(sa.text("select 1"))
        assert info.value.connection_invalidated
    with engine.connect() as conn:
        assert conn.execute(sa.text("select 1")).scalar() == 1


# --- the ORM --------------------------------------------------------------------

class Base(orm.DeclarativeBase):
    pass


class Customer(Base):
    __tablename__ = "customers"
    id: orm.Mapped[int] = orm.mapped_column(primary_key=True)
    name: orm.Mapped[str] = orm.mapped_column(sa.String(40))
    joined: orm.Mapped[Optional[datetime.date]]
    orders: orm.Mapped[List["Order"]] = orm.relationship(back_populates="customer")


class Order(Base):
    __tablename__ = "orders"
    id: orm.Mapped[int] = orm.mapped_column(primary_key=True)
    customer_id: orm.Mapped[int] = orm.mapped_column(sa.ForeignKey("customers.id"))
    amount: orm.Mapped[float]
    customer: orm.Mapped[Customer] = orm.relationship(back_populates="orders")


def test_orm_session(engine):
    Base.metadata.create_all(engine)
    with orm.Session(engine) as session:
        ivanov = Customer(name="Иванов", joined=datetime.date(2020, 2, 29),
                          orders=[Order(amount=12.5), Order(amount=3.0)])
        session.add(ivanov)
        session.flush()
        assert ivanov.id == 1 and [o.customer_id for o in ivanov.orders] == [1, 1]
        session.commit()

        session.add(Customer(name="Петрова"))
        session.flush()
        q = sa.select(Customer.name, sa.func.sum(Order.amount)).outerjoin(Order).group_by(Customer.id).order_by(
            Customer.id)
        assert session.execute(q).all() == [("Иванов", 15.5), ("Петрова", None)]
        session.rollback()

        assert session.scalars(sa.select(Customer.name)).all() == ["Иванов"]
        loaded = session.get(Customer, 1)
        assert loaded.joined == datetime.date(2020, 2, 29) and sorted(o.amount for o in loaded.orders) == [3.0, 12.5]


def test_a_pooled_connection_stays_usable_after_a_failed_commit(engine):
    """A COMMIT the engine refuses (a deferred foreign key) keeps the
    transaction open; the pool's reset rolls it back, so the next checkout
    neither inherits it nor finds the database locked."""
    with engine.begin() as c:
        c.exec_driver_sql("create table parent (id integer primary key)")
        c.exec_driver_sql("create table child (pid integer references parent (id) deferrable initially deferred)")
        c.exec_driver_sql("create table t (id integer)")
    with pytest.raises(sa.exc.IntegrityError):
        with engine.begin() as c:
            c.exec_driver_sql("insert into t values (1)")
            c.exec_driver_sql("insert into child values (99)")
    for n in (2, 3):
        with engine.begin() as c:
            c.exec_driver_sql("insert into t values (%d)" % n)
    other = sa.create_engine(engine.url)
    try:
        with other.connect() as c:
            assert c.exec_driver_sql("select id from t order by id").fetchall() == [(2,), (3,)]
    finally:
        other.dispose()
