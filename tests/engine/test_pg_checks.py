"""PostgreSQL: values the server makes itself (literals in the SQL text,
functions, arithmetic of an UPDATE) are held to what a read returns by the
checks the library gives the columns of the tables it creates or alters."""
import datetime
import uuid

import pytest

import pyqivrexdb
from pyqivrexdb import dbapi
from pyqivrexdb.errors import DataError, DatabaseError

MISMATCH = -20


@pytest.fixture
def schema(pg_cluster):
    name = "t" + uuid.uuid4().hex[:16]
    pg_cluster.psql(f"create schema {name}")
    return name


@pytest.fixture
def dsn(pg_cluster, schema):
    return pg_cluster.dsn(options=f"-csearch_path%3D{schema}")


@pytest.fixture
def conn(dsn):
    # In CP866, as the core face: its tables get the code page check too.
    with dbapi.connect(dsn, autocommit=True, text_encoding="cp866") as c:
        yield c


def checks(conn, table):
    return sorted(r[0] for r in conn.execute(
        "select conname from pg_constraint where conrelid = ?::regclass and conname like 'qx%'", (table,)))


def refused(conn, sql, column="v", params=None):
    with pytest.raises(DataError, match="column %s: " % column) as e:
        conn.execute(sql, params)
    assert e.value.error_code_qivrex == MISMATCH
    return e.value


# (column type, a statement that makes a value no read returns)
SERVER_MADE = [
    ("date", "insert into w values (date '1899-12-31')"),
    ("date", "insert into w values ('2079-01-01')"),
    ("date", "insert into w values ('infinity')"),
    ("date", "insert into w values (date '2000-01-01' + 40000)"),
    ("text", "insert into w values (chr(8364))"),
    ("text", "insert into w values ('ok ' || chr(8364))"),
    ("varchar(5)", "insert into w values (U&'\\20AC')"),
    ("char(3)", "insert into w values (chr(233))"),
    ("smallint", "insert into w values (-32768)"),
    ("integer", "insert into w values (-2147483648)"),
    ("integer", "insert into w select min(x) from (values (-2147483648)) s(x)"),
    ("jsonb", "insert into w values (jsonb_build_object('k', chr(8364)))"),
    ("text[]", "insert into w values (array['a', chr(8364)])"),
    ("d_small", "insert into w values (-32768)"),
    ("d_day", "insert into w values ('1800-01-01')"),
]


@pytest.mark.parametrize("sql_type, sql", SERVER_MADE, ids=["%s: %s" % c for c in SERVER_MADE])
def test_a_value_the_server_makes_is_refused_naming_the_column(conn, sql_type, sql):
    conn.execute("create domain d_small as smallint")
    conn.execute("create domain d_date as date")
    conn.execute("create domain d_day as d_date check (value is not null)")
    conn.execute("create table w(v %s)" % sql_type)
    refused(conn, sql)
    assert conn.execute("select count(*) from w").fetchone() == (0,)


def test_a_date_beyond_what_the_check_can_compare_is_refused_too(conn):
    conn.execute("create table w(v date)")
    with pytest.raises(DataError) as e:
        conn.execute("insert into w values (date '300000-01-01')")
    assert e.value.error_code_qivrex == MISMATCH


@pytest.mark.parametrize("sql_type, first, update", [
    ("smallint", -32767, "update w set v = v - 1"),
    ("integer", -2147483647, "update w set v = v - 1"),
    ("date", datetime.date(1900, 1, 1), "update w set v = v - 1"),
    ("date", datetime.date(2078, 12, 31), "update w set v = v + 1"),
    ("varchar(4)", "abc", "update w set v = v || chr(8364)"),
])
def test_an_update_into_what_no_read_returns_is_refused(conn, sql_type, first, update):
    conn.execute("create table w(v %s)" % sql_type)
    conn.execute("insert into w values (?)", (first,))
    refused(conn, update)
    assert conn.execute("select v from w").fetchall() == [(first,)]


# (column type, value, how the server spells it): each reads back.
READABLE = [
    ("smallint", -32767, "-32767"), ("smallint", 32767, "32767"),
    ("integer", -2147483647, "-2147483647"), ("integer", 2147483647, "2147483647"),
    ("bigint", -2**63, "-9223372036854775808"), ("bigint", 2**62 + 1, "4611686018427387905"),
    ("date", datetime.date(1900, 1, 1), "date '1900-01-01'"),
    ("date", datetime.date(2078, 12, 31), "date '2078-12-31'"),
    ("text", "Ёлка №5 ░▒▓ ╬ √ ° ·", "'Ёлка №5 ░▒▓ ╬ √ ° ·'"),
    ("text", "Ё", "chr(1025)"),
    ("varchar(3)", "\x01~\x7f", "chr(1) || '~' || chr(127)"),
    ("text", "", "''"),
    ("boolean", True, "true"),
    ("double precision", float("-inf"), "'-Infinity'"),
]


@pytest.mark.parametrize("sql_type, value, spelled", READABLE, ids=["%s %r" % c[:2] for c in READABLE])
def test_a_value_a_read_returns_stays_accepted_on_every_path(conn, dsn, sql_type, value, spelled):
    conn.execute("create table w(v %s)" % sql_type)
    conn.execute("insert into w values (%s)" % spelled)
    conn.execute("insert into w values (?)", (value,))
    conn.cursor().executemany("insert into w values (?)", [(value,)] * 70)
    conn.addrecords("w", [[value]])
    core = pyqivrexdb.connect(dsn)
    try:
        core.cursor().execute("insert into w select v from w limit 1")
    finally:
        core.close()
    assert {r[0] for r in conn.execute("select v from w").fetchall()} == {value}


def test_one_check_per_column_that_needs_one_named_for_it(conn):
    conn.execute("create table w(a smallint, b integer, c bigint, d date, e text, f varchar(9), g bytea, "
                 "h boolean, i double precision, j uuid, k timestamp, l numeric(9,2), m jsonb)")
    assert checks(conn, "w") == ["qx_fit_a", "qx_fit_b", "qx_fit_d", "qx_fit_e", "qx_fit_f", "qx_fit_m"]


def test_temporary_tables_are_checked(conn):
    conn.execute("create temp table w(v smallint, d date)")
    refused(conn, "insert into w(v) values (-32768)")
    refused(conn, "insert into w(d) values ('1066-10-14')", column="d")


def test_columns_an_alter_table_adds_are_checked(conn):
    conn.execute("create table w(id integer)")
    conn.execute("insert into w values (1)")
    conn.execute("alter table w add column v smallint, add column t text")
    refused(conn, "update w set v = -32768")
    refused(conn, "update w set t = chr(8364)", column="t")
    # a default no read returns is refused with the column that brings it
    refused(conn, "alter table w add column d date default '1800-01-01'", column="d")
    assert [r[0] for r in conn.execute("select column_name from information_schema.columns where table_name = 'w' "
                                        "and table_schema = current_schema() order by ordinal_position")] == ["id", "v", "t"]


def test_a_renamed_or_retyped_column_gets_its_check_anew(conn):
    conn.execute("create table w(v smallint)")
    conn.execute("alter table w rename column v to n")
    assert checks(conn, "w") == ["qx_fit_n"]
    refused(conn, "insert into w values (-32768)", column="n")
    conn.execute("alter table w alter column n type bigint")
    assert checks(conn, "w") == []
    conn.execute("insert into w values (-32768), (2147483648)")
    conn.execute("alter table w alter column n type text")
    refused(conn, "insert into w values (chr(8364))", column="n")


def test_a_create_table_as_of_unreadable_values_is_refused(conn):
    refused(conn, "create table w as select chr(8364) as v")
    assert conn.execute("select to_regclass('w') is null").fetchone() == (True,)


def test_a_rolled_back_transaction_leaves_no_check(dsn, schema, pg_cluster):
    pg_cluster.psql(f"create table {schema}.w(id integer)")
    with dbapi.connect(dsn) as conn:
        conn.execute("alter table w add column v smallint")
        assert checks(conn, "w") == ["qx_fit_v"]
        conn.rollback()
        assert checks(conn, "w") == []
        conn.execute("create table u(v smallint)")
        conn.rollback()
        assert conn.execute("select count(*) from pg_constraint where conname like 'qx%' "
                            "and connamespace = ?::regnamespace", (schema,)).fetchone() == (0,)


def test_a_refused_statement_in_a_transaction_takes_back_only_itself(dsn):
    with dbapi.connect(dsn) as conn:
        conn.execute("create table w(id integer)")
        conn.execute("insert into w values (1)")
        refused(conn, "alter table w add column v smallint default -32768")
        refused(conn, "insert into w values (-2147483648)", column="id")
        conn.execute("insert into w values (2)")
        conn.commit()
        assert conn.execute("select id from w order by id").fetchall() == [(1,), (2,)]
        assert checks(conn, "w") == ["qx_fit_id"]


def test_a_table_made_elsewhere_is_checked_once_the_library_alters_its_column(conn, schema, pg_cluster):
    pg_cluster.psql(f"create table {schema}.w(v smallint); insert into {schema}.w values (-32768)")
    conn.execute("insert into w values (-32768)")  # not the library's table: unchecked
    refused(conn, "alter table w alter column v type smallint")
    conn.execute("delete from w")
    conn.execute("alter table w alter column v type smallint")
    refused(conn, "insert into w values (-32768)")


def test_long_column_names_keep_apart(conn):
    a, b = "x" * 60 + "a", "x" * 60 + "b"
    conn.execute('create table w("%s" smallint, "%s" smallint)' % (a, b))
    assert len(set(checks(conn, "w"))) == 2
    with pytest.raises(DataError) as e:
        conn.execute('insert into w("%s") values (-32768)' % b)
    assert e.value.error_code_qivrex == MISMATCH


def test_partitions_take_their_parents_checks(conn):
    conn.execute("create table w(k integer, v smallint) partition by range (k)")
    conn.execute("create table w1 partition of w for values from (0) to (10)")
    refused(conn, "insert into w values (1, -32768)")
    refused(conn, "insert into w1 values (2, -32768)")


def test_the_core_face_gets_the_same_code(dsn):
    core = pyqivrexdb.connect(dsn)
    try:
        core.cursor().execute("create table w(v date)")
        with pytest.raises(DatabaseError) as e:
            core.cursor().execute("insert into w values ('0001-01-01')")
        assert e.value.error_code_qivrex == MISMATCH
    finally:
        core.close()


def test_reflection_leaves_the_librarys_checks_out(dsn):
    sa = pytest.importorskip("sqlalchemy")
    engine = sa.create_engine(dsn.replace("postgresql://", "postgresql+qivrex://", 1))
    try:
        with engine.begin() as c:
            c.exec_driver_sql("create table w(v smallint, d date, constraint pos check (v > 0), "
                              "constraint qx_fit_v check (v < 100))")
        assert [ck["name"] for ck in sa.inspect(engine).get_check_constraints("w")] == ["pos", "qx_fit_v"]
        assert [type(ck).__name__ for ck in sa.Table("w", sa.MetaData(), autoload_with=engine).constraints
                if isinstance(ck, sa.CheckConstraint)] == ["CheckConstraint"] * 2
    finally:
        engine.dispose()


@pytest.mark.parametrize("children", [
    "create table w1 partition of w for values from (0) to (10)",
    "create table w1 (k integer, v smallint) inherits (w)",
])
def test_a_column_added_to_a_parent_is_checked_in_its_children(conn, children):
    partitioned = "partition" in children
    conn.execute("create table w(k integer, v smallint)" + (" partition by range (k)" if partitioned else ""))
    conn.execute(children)
    conn.execute("alter table w add column n smallint")
    refused(conn, "insert into w1(k, n) values (1, -32768)", column="n")
    refused(conn, "insert into w1(k, v) values (1, -32768)")


# (column type, a value the server makes, what a read gives, or None when
# the write is refused): the edges of the cheap tests before the regular
# expression, and of the repertoire itself.
EDGES = [
    ("text", "chr(127)", "\x7f"),
    ("text", "chr(128)", None),
    ("text", "'abc' || chr(160)", "abc\xa0"),
    ("text", "'abc' || chr(161)", None),
    ("varchar(9)", "chr(1040) || chr(1103)", "Ая"),
    ("varchar(9)", "chr(1040) || chr(1039)", None),
    ("text", "chr(1104)", None),
    ("text", "chr(8470)", "№"),
    ("text", "chr(8469)", None),
    ("text", "chr(9632)", "■"),
    ("text", "chr(9633)", None),
    ("text", "'a' || chr(10) || 'b'", "a\nb"),
    ("text", "'a' || chr(10) || chr(8364)", None),
    ("char(3)", "'ab'", "ab"),  # a char(n) reads as on the engine: no padding
    ("char(3)", "chr(1025)", "Ё"),
    ("char(3)", "'a' || chr(1106)", None),
    ("text[]", "array['Ё', 'b']", ["Ё", "b"]),
    ("smallint", "32767", 32767),
    ("smallint", "-32767", -32767),
    ("integer", "2147483647", 2147483647),
    ("oid", "0", 0),
    ("oid", "4294967294", 4294967294),
    ("oid", "4294967295", None),
]


@pytest.mark.parametrize("sql_type, made, read", EDGES, ids=["%s %s" % c[:2] for c in EDGES])
def test_the_edges_of_what_a_check_lets_through(conn, sql_type, made, read):
    conn.execute("create table w(v %s)" % sql_type)
    if read is None:
        refused(conn, "insert into w values (%s)" % made)
        assert conn.execute("select count(*) from w").fetchone() == (0,)
    else:
        conn.execute("insert into w values (%s)" % made)
        assert conn.execute("select v from w").fetchall() == [(read,)]


@pytest.mark.parametrize("sql_type", ["smallint", "integer", "oid", "date", "text", "varchar(3)", "char(3)", "jsonb"])
def test_nulls_pass_every_check(conn, sql_type):
    conn.execute("create table w(v %s)" % sql_type)
    conn.execute("insert into w values (null)")
    conn.execute("insert into w values (?)", (None,))
    conn.addrecords("w", [[None]])
    assert conn.execute("select v from w").fetchall() == [(None,)] * 3


def test_a_table_with_an_earlier_versions_checks_keeps_working(conn, schema, pg_cluster):
    # The forms an earlier version gave these columns.
    pattern = "^[\\u0001-\\u007f\\u0410-\\u044f]*$"
    pg_cluster.psql(
        f"create table {schema}.w(v smallint constraint qx_fit_v check (v::bigint between -32767 and 32767), "
        f"t varchar(9) constraint qx_fit_t check (octet_length(t::text) = char_length(t::text) "
        f"or t::text ~ '{pattern}'))")
    conn.execute("insert into w values (?, ?)", (-32767, "Ёлка"[1:]))
    refused(conn, "insert into w(v) values (-32768)")
    refused(conn, "insert into w(t) values (chr(8364))", column="t")
    # A column the library changes gets the check of today's version.
    conn.execute("alter table w alter column v type integer")
    assert checks(conn, "w") == ["qx_fit_t", "qx_fit_v"]
    conn.execute("insert into w(v) values (-32768)")
    refused(conn, "insert into w(v) values (-2147483648)")


@pytest.mark.parametrize("sql_type, value", [("smallint", 7), ("integer", -7), ("oid", 7), ("varchar(5)", "x"),
                                             ("date", datetime.date(2024, 5, 1))])
def test_a_checked_column_the_library_retypes_to_text_keeps_its_values(conn, sql_type, value):
    conn.execute("create table w(v %s)" % sql_type)
    conn.execute("insert into w values (?)", (value,))
    conn.execute("alter table w alter column v type text")
    assert conn.execute("select v from w").fetchall() == [(str(value),)]
    refused(conn, "insert into w values (chr(8364))")


def constraints(conn, table):
    return sorted(conn.execute(
        "select conname, pg_get_constraintdef(oid), coalesce(obj_description(oid, 'pg_constraint'), '') "
        "from pg_constraint where conrelid = ?::regclass and contype = 'c'", (table,)).fetchall())


# A user's own checks, named as the library names its own.
USERS_CHECKS = [
    "price integer constraint qx_fit_positive_price check (price > 0)",
    "qty smallint constraint qx_fit_qty check (qty >= 0)",
    "day date constraint qx_fit_day check (day > date '2000-01-01')",
    "name varchar(9) constraint qx_fit_name check (name <> '')",
]


@pytest.mark.parametrize("column", USERS_CHECKS, ids=[c.split()[0] for c in USERS_CHECKS])
def test_a_users_check_named_like_the_librarys_is_kept(conn, schema, pg_cluster, column):
    name, sql_type = column.split()[:2]
    user_check = column.split()[3]
    pg_cluster.psql(f"create table {schema}.w({column})")
    conn.execute(f"alter table w alter column {name} type {sql_type}")  # changes nothing
    made = constraints(conn, "w")
    assert [c[0] for c in made if c[0] == user_check] == [user_check]
    ours = [c for c in made if c[0] != user_check]
    assert len(ours) == 1 and ours[0][2].startswith("qx_fit:") and ours[0][0].startswith("qx_fit_" + name)
    conn.execute(f"alter table w rename column {name} to other")
    conn.execute(f"alter table w alter column other type {sql_type}")
    assert user_check in [c[0] for c in constraints(conn, "w")]
    with pytest.raises(DatabaseError, match=user_check):
        conn.execute("insert into w values (%s)" % {"price": "0", "qty": "-1", "day": "date '1999-01-01'",
                                                   "name": "''"}[name])


# The forms earlier versions gave their checks, unmarked.
EARLIER = [
    ("smallint", "v::bigint between -32767 and 32767", "insert into w values (-32768)"),
    ("smallint", "v::bigint >= -32767", "insert into w values (-32768)"),
    ("integer", "v::bigint between -2147483647 and 2147483647", "insert into w values (-2147483648)"),
    ("oid", "v::bigint <= 4294967294", "insert into w values (4294967295)"),
    ("date", "v::date between date '1900-01-01' and date '2078-12-31'", "insert into w values ('1800-01-01')"),
    ("date", "v::timestamp between timestamp '1900-01-01' and timestamp '2078-12-31'",
     "insert into w values ('1800-01-01')"),
    ("text", "v::text ~ '^[\\u0001-\\u007f\\u0410-\\u044f]*$'", "insert into w values (chr(8364))"),
    ("varchar(5)", "octet_length(v::text) = char_length(v::text) or v::text !~ '[^\\u0001-\\u007f]'",
     "insert into w values (chr(8364))"),
]


@pytest.mark.parametrize("sql_type, rule, refused_sql", EARLIER, ids=[r[1][:40] for r in EARLIER])
def test_an_earlier_versions_check_is_known_and_made_anew(conn, dsn, schema, pg_cluster, sql_type, rule, refused_sql):
    pg_cluster.psql(f"create table {schema}.w(v {sql_type} constraint qx_fit_v check ({rule}))")
    conn.execute(f"alter table w alter column v type {sql_type}")
    made = constraints(conn, "w")
    assert [(c[0], c[2][:7]) for c in made] == [("qx_fit_v", "qx_fit:")]
    refused(conn, refused_sql)
    sa = pytest.importorskip("sqlalchemy")
    pg_cluster.psql(f"create table {schema}.u(v {sql_type} constraint qx_fit_v check ({rule}))")
    engine = sa.create_engine(dsn.replace("postgresql://", "postgresql+qivrex://", 1))
    try:
        assert sa.inspect(engine).get_check_constraints("u") == []
    finally:
        engine.dispose()


# A user's check named as the library names its own, on a column whose own
# name it may hold or not, and of a table made by the driver or elsewhere.
@pytest.mark.parametrize("made_by", ["psql", "driver"])
@pytest.mark.parametrize("column", USERS_CHECKS, ids=[c.split()[0] for c in USERS_CHECKS])
def test_a_users_check_is_reported_as_a_check_violation(dsn, schema, pg_cluster, made_by, column):
    name, sql_type = column.split()[:2]
    user_check = column.split()[3]
    if made_by == "psql":
        pg_cluster.psql(f"create table {schema}.w({column})")
    bad = {"price": "0", "qty": "-1", "day": "date '1999-01-01'", "name": "''"}[name]
    # The library's code-page check of a text column, and the days of a
    # date's, are made by a connection that speaks the code page.
    encoding = {"text_encoding": "cp866"} if name in ("name", "day") else {}
    with dbapi.connect(dsn, autocommit=True, **encoding) as conn:
        if made_by == "driver":
            conn.execute(f"create table w({column})")
        with pytest.raises(DatabaseError, match=user_check) as e:
            conn.execute("insert into w values (%s)" % bad)
        assert e.value.error_code_qivrex != MISMATCH and "column " + name not in str(e.value)
        # The library's own check of the column, beside it, still reports
        # its column (a value the user's check lets by).
        if made_by == "driver" and name in ("day", "name"):
            refused(conn, "insert into w values (%s)" % {"day": "date '2079-01-01'", "name": "chr(8364)"}[name],
                    column=name)


def test_the_librarys_checks_are_known_to_a_later_connection(dsn):
    with dbapi.connect(dsn, autocommit=True) as first:
        first.execute("create table w(v smallint)")
    with dbapi.connect(dsn, autocommit=True) as conn:
        refused(conn, "insert into w values (-32768)")
