"""postgresql+qivrex://: SQLAlchemy's PostgreSQL dialect over the driver, on
a throw-away cluster. SQLAlchemy's compliance suite covers the rest
(tests/dialect_suite/run_pg.py)."""
import datetime
import decimal
import uuid

import pytest

sa = pytest.importorskip("sqlalchemy")

from pyqivrexdb.dialect_pg import _array, _library_check  # noqa: E402


@pytest.mark.parametrize("text, items", [
    ("{}", []),
    ("{a,b}", ["a", "b"]),
    ('{"a b","c,d",NULL,"NULL",""}', ["a b", "c,d", None, "NULL", ""]),
    (r'{"x\"y\\z"}', ['x"y\\z']),
    ("{{1,2},{3,4}}", [["1", "2"], ["3", "4"]]),
    ('{"{",x}', ["{", "x"]),
])
def test_array_text_reads_as_lists(text, items):
    assert _array(text) == items



# Checks an earlier version made carry no comment: they are known by their
# definition as the server prints it, whatever the column is called.
@pytest.mark.parametrize("sqltext, hidden", [
    ("(v >= '-32767'::integer)", True),
    ("((v >= '-32767'::integer) AND (v <= 32767))", True),
    ('("a "" b" >= \'-2147483647\'::integer)', True),
    ("(\u0446\u0435\u043d\u04301 >= '-32767'::integer)", True),
    ("((d >= '1900-01-01'::date) AND (d <= '2078-12-31'::date))", True),
    ("((e)::text ~ '^[\\u0000-\\u00ff]*$'::text)", True),
    ("((octet_length(e) = char_length(e)) OR ((e)::text !~ '[^\\u0041-\\u0042]'::text))", True),
    ("(v[1:2] >= '-32767'::integer)", False),
    ("(v >= :-32767)", False),
    ("(v >= '-32767'::integer) AND (w > 0)", False),
    ("(v >= '-32768'::integer)", False),
])
def test_an_earlier_versions_unmarked_check_is_known_by_its_definition(sqltext, hidden):
    assert _library_check({"name": "qx_fit_v", "comment": None, "sqltext": sqltext}) is hidden


# A value bound untyped comes back as the text it was sent; one of a typed
# column or cast is the driver's own value.
@pytest.mark.parametrize("kind, value", [
    (sa.Date, datetime.date(1, 1, 1)),
    (sa.DateTime, datetime.datetime(2024, 5, 6, 7, 8, 9, 100000)),
    (sa.Time, datetime.time(7, 8, 9, 500000)),
    (sa.DateTime(timezone=True), datetime.datetime(2024, 10, 27, 2, 30, tzinfo=datetime.timezone.utc)),
])
def test_times_read_back_untyped_and_cast(pg_engine, kind, value):
    with pg_engine.connect() as c:
        untyped = c.execute(sa.select(sa.literal(value, kind))).scalar_one()
        cast = c.execute(sa.select(sa.cast(sa.literal(value, kind), kind))).scalar_one()
    assert type(untyped) is type(cast) is type(value)
    assert untyped == cast == value


def test_a_host_in_a_qivrex_url_points_to_the_postgresql_one():
    with pytest.raises(sa.exc.ArgumentError, match="postgresql\\+qivrex"):
        sa.create_engine("qivrex://user@db.example/sales").connect()


def test_a_server_connection_given_to_the_qivrex_dialect_is_named(pg_cluster):
    from pyqivrexdb import dbapi
    eng = sa.create_engine("qivrex://", creator=lambda: dbapi.connect(pg_cluster.dsn()))
    with pytest.raises(sa.exc.ArgumentError, match="postgresql\\+qivrex"):
        eng.connect()


def test_types_round_trip(pg_engine):
    md = sa.MetaData()
    t = sa.Table("t", md, sa.Column("id", sa.Integer, sa.Identity(), primary_key=True),
                 sa.Column("s", sa.String(20)), sa.Column("ts", sa.DateTime(timezone=True)),
                 sa.Column("naive", sa.DateTime), sa.Column("d", sa.Date), sa.Column("tm", sa.Time),
                 sa.Column("u", sa.Uuid), sa.Column("us", sa.Uuid(as_uuid=False)), sa.Column("b", sa.Boolean),
                 sa.Column("n", sa.Numeric(10, 2)), sa.Column("j", sa.JSON),
                 sa.Column("a", sa.ARRAY(sa.Integer)))
    md.create_all(pg_engine)
    key = uuid.uuid4()
    row = dict(s="Привет", ts=datetime.datetime(2024, 5, 6, 7, 8, 9, 100000, tzinfo=datetime.timezone.utc),
               naive=datetime.datetime(1999, 12, 31, 23, 59, 59), d=datetime.date(2030, 1, 2),
               tm=datetime.time(7, 8, 9, 500000), u=key, us=str(key), b=False, n=decimal.Decimal("12.34"),
               j={"k": [1, None, "x"]})
    with pg_engine.begin() as c:
        new_id = c.execute(t.insert().returning(t.c.id), row).scalar_one()
        c.execute(t.insert(), {k: None for k in row})
        c.exec_driver_sql("update t set a = '{1,NULL,3}' where id = %d" % new_id)
    with pg_engine.connect() as c:
        got = c.execute(sa.select(t).order_by(t.c.id)).all()
    assert got[0]._asdict() == {"id": new_id, **row, "a": [1, None, 3]}
    assert got[1][1:] == (None,) * 11


def test_reflection_reads_the_catalogues_arrays(pg_engine):
    md = sa.MetaData()
    sa.Table("p", md, sa.Column("id", sa.Integer, primary_key=True), sa.Column("a", sa.Integer),
             sa.Column("b", sa.Integer), sa.UniqueConstraint("a", "b", name="p_ab"),
             sa.Index("p_b_desc", sa.desc("b")))
    md.create_all(pg_engine)
    insp = sa.inspect(pg_engine)
    assert insp.get_pk_constraint("p")["constrained_columns"] == ["id"]
    assert [(u["name"], u["column_names"]) for u in insp.get_unique_constraints("p")] == [("p_ab", ["a", "b"])]
    index = {i["name"]: i for i in insp.get_indexes("p")}["p_b_desc"]
    assert index["column_names"] == ["b"] and index["column_sorting"] == {"b": ("desc",)}


@pytest.mark.parametrize("level", ["SERIALIZABLE", "REPEATABLE READ", "READ COMMITTED", "AUTOCOMMIT"])
def test_isolation_levels(pg_engine, level):
    with pg_engine.connect().execution_options(isolation_level=level) as c:
        assert c.get_isolation_level() == level
        if level != "AUTOCOMMIT":
            assert c.exec_driver_sql("show transaction isolation level").scalar().upper() == level
