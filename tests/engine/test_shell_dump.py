""".dump and .schema on both backends: what .dump writes, read back into a
fresh database by the shell, makes the same schema and the same rows."""
import os
import subprocess
import sys

import pytest

from shellrun import HERE, env, shell

SCHEMAS = {
    "sqlite": """\
create table parent (id integer primary key, code varchar(8) not null unique, price double default 1.5
  check (price > 0), made date);
create table "odd name" (k integer, "we""ird" varchar(20) default 'it''s', pid integer,
  primary key (k), foreign key (pid) references parent(id) on delete cascade,
  constraint two unique (pid, "we""ird"));
create table kids (id integer primary key, parent_id integer references kids(id), data varbinary(8), n numeric,
  tag varchar(5));
create index parent_made on parent(made desc);
create unique index kids_data on kids(data);
create view cheap as select id, code from parent where price < 10;
create table log (what varchar(40));
create table counted (id integer primary key autoincrement, v varchar(10));
insert into counted (v) values ('a'), ('b'), ('c');
delete from counted where id = 3;
create trigger parent_in after insert on parent begin insert into log values ('new ' || new.code); end;
""",
    "postgresql": """\
create table parent (id serial primary key, code varchar(8) not null unique, price double precision default 1.5
  check (price > 0), made date);
create table "odd name" (k integer, "we""ird" varchar(20) default 'it''s', pid integer,
  primary key (k), foreign key (pid) references parent(id) on delete cascade,
  constraint two unique (pid, "we""ird"));
create table kids (id integer generated always as identity primary key, parent_id integer references kids(id),
  data bytea, n numeric, total integer generated always as (id * 2) stored, tag varchar(5));
create index parent_made on parent(made desc);
create unique index kids_data on kids(data);
create view cheap as select id, code from parent where price < 10;
create table log (what varchar(40));
create function note() returns trigger language plpgsql as $$
begin insert into log values ('new ' || new.code); return new; end; $$;
create trigger parent_in after insert on parent for each row execute function note();
create type mood as enum ('sad', 'o''k', 'happy');
create domain small_pos as integer default 1 not null check (value > 0) check (value < 100);
create sequence tickets start with 100 increment by 5;
select nextval('tickets'), nextval('tickets');
create table moods (m mood, n small_pos, ticket integer default nextval('tickets'));
insert into moods (m) values ('o''k'), (null);
""",
}

ROWS = """\
insert into parent (code, price, made) values ('a''b', 0.1, '2024-01-02'), ('x;y', 1e300, null),
  ('--c', 2.5e-310, '1999-12-31'), ('z', 1.7976931348623157e308, '2078-12-31');
insert into "odd name" values (1, 'a, "b"', 1), (2, null, 2), (3, 'ok', null), (4, 'строка
два; ''x''', 3), (5, '', 4);
"""
KIDS = {
    "sqlite": "insert into kids values (1, null, x'00ff27', 12.5, 'a'), (2, 1, x'', null, null), "
              "(3, 3, null, 7, '');\n",
    "postgresql": "insert into kids (parent_id, data, n, tag) values (null, '\\x00ff27', 12.5, 'a'), "
                  "(1, '', null, null), (3, null, 7, '');\n",
}
QUERIES = ["select * from parent order by id;", 'select * from "odd name" order by k;',
           "select * from kids order by id;", "select * from log order by what;", "select * from cheap order by id;"]


def run_ok(dsn, *commands, stdin=None):
    r = shell(dsn, *commands, stdin=stdin)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.fixture
def other(request, backend, tmp_path):
    """A second, empty database on the same backend."""
    if backend == "sqlite":
        return str(tmp_path / "again.sqlite")
    from conftest import pg_dsn
    return pg_dsn(request.getfixturevalue("pg_cluster"))


@pytest.fixture
def full(dsn, backend):
    run_ok(dsn, stdin=SCHEMAS[backend] + ROWS + KIDS[backend])
    return dsn


def test_dump_read_back_makes_the_same_schema_and_rows(full, other, backend, tmp_path):
    dumped = run_ok(full, ".dump")
    path = tmp_path / "dump.sql"
    path.write_text(dumped, encoding="utf-8")
    run_ok(other, ".read %s" % path)
    for q in QUERIES:
        assert run_ok(other, ".mode csv", q) == run_ok(full, ".mode csv", q), q
    # the same objects; the dump makes tables first, so the order may differ
    assert sorted(run_ok(other, ".schema").split(";\n")) == sorted(run_ok(full, ".schema").split(";\n"))
    assert run_ok(other, ".dump") == dumped
    # the trigger came after the rows: loading them logged nothing twice
    assert run_ok(other, ".mode csv", ".headers off", "select count(*) from log;") == "4\n"
    if backend == "postgresql":  # enums, domains and a sequence of its own came along
        q = "select m, n, ticket from moods order by ticket;"
        assert run_ok(other, ".mode csv", q) == run_ok(full, ".mode csv", q) == "m,n,ticket\no'k,1,110\n,1,115\n"
        assert run_ok(other, ".mode csv", ".headers off", "select nextval('tickets');") == "120\n"
    if backend == "sqlite":  # an AUTOINCREMENT counter goes on where it was
        run_ok(other, "insert into counted (v) values ('d');")
        assert run_ok(other, ".mode csv", ".headers off", "select id from counted where v = 'd';") == "4\n"


def test_dump_piped_into_the_shell(full, other):
    run_ok(other, stdin=run_ok(full, ".dump parent log"))
    assert run_ok(other, ".tables").split() == ["log", "parent"]
    assert run_ok(other, ".mode csv", QUERIES[0]) == run_ok(full, ".mode csv", QUERIES[0])


def test_floats_are_written_with_their_shortest_exact_digits(full, backend):
    dumped = run_ok(full, ".dump parent")
    if backend == "postgresql":  # a COPY block, as pg_dump writes it
        rows = dumped.partition("COPY parent (id, code, price, made) FROM stdin;\n")[2].partition("\\.\n\n")[0]
        assert len(rows.splitlines()) == 4
        rows = rows.replace("\t", ",")
    else:
        rows = "".join(s for s in dumped.split(";\n") if s.startswith("INSERT INTO parent"))
    for value in ("0.1", "1e+300", "2.5e-310", "1.7976931348623157e+308"):
        assert "'%s'" % value in rows or ",%s," % value in rows, value


PIECES = {
    "sqlite": ["check (price > 0)", "pid integer,", "foreign key (pid) references parent(id) on delete cascade",
               "constraint two unique (pid, \"we\"\"ird\")", "default 'it''s'", "code varchar(8) not null unique",
               "create index parent_made on parent(made desc);", "create unique index kids_data on kids(data);",
               "create view cheap as", "create trigger parent_in after insert on parent"],
    "postgresql": ["check (price > 0::double precision)", "id serial,",
                   "foreign key (pid) references parent(id) on delete cascade",
                   "constraint two unique (pid, \"we\"\"ird\")", "default 'it''s'::character varying",
                   "code character varying(8) not null", "constraint parent_code_key unique (code)",
                   "id integer generated always as identity not null", "generated always as ((id * 2)) stored",
                   "create index parent_made on parent using btree (made desc);",
                   "create unique index kids_data on kids using btree (data);", "create view cheap as",
                   "create trigger parent_in after insert on parent for each row execute function note();",
                   "create or replace function note()"],
}


def test_schema_shows_each_object_with_its_own_definition(full, backend):
    text = run_ok(full, ".schema").lower()
    for piece in PIECES[backend]:
        assert piece in text, piece
    assert "qx_fit" not in text
    assert [t for t in run_ok(full, ".tables").splitlines() if t not in ("counted", "moods")] == \
        ["cheap", "kids", "log", "odd name", "parent"]
    assert run_ok(full, ".indexes").splitlines() == ["kids_data", "parent_made"]
    assert run_ok(full, ".indexes parent").splitlines() == ["parent_made"]


def test_schema_of_one_table_recreates_it(full, other):
    run_ok(other, stdin=run_ok(full, ".schema parent"))
    assert run_ok(other, ".schema parent") == run_ok(full, ".schema parent")
    r = shell(full, ".schema nosuch")
    assert r.returncode == 1 and "no such table: nosuch" in r.stderr


def test_dump_leaves_the_session_as_it_found_it(full):
    # its own transaction ends with it; in the user's, it reads what the user wrote
    out = run_ok(full, ".dump log", "insert into log values ('after');", "begin;",
                 "insert into log values ('inside');", ".dump log", "commit;")
    assert "('inside');" in out or "\ninside\n" in out
    assert run_ok(full, ".mode csv", ".headers off", "select count(*) from log;") == "6\n"


def without_copy(db, *commands, stdin=None):
    """The shell as it runs over a library that cannot read COPY data."""
    code = ("import sys; from pyqivrexdb.shell import db, main; db.Database.copy_out = lambda *a, **k: None; "
            "sys.exit(main(sys.argv[1:]))")
    a = [sys.executable, "-c", code, str(db)]
    for c in commands:
        a += ["-c", c]
    r = subprocess.run(a, input=stdin, capture_output=True, env=env(), cwd=HERE, timeout=300)
    assert r.returncode == 0, r.stderr
    return r.stdout.decode("utf-8")  # as written: a carriage return in a value stays one


@pytest.mark.parametrize("how", ["stdin", "read"])
def test_a_carriage_return_inside_a_value_reads_back_as_one(dsn, backend, tmp_path, how):
    script = "create table cr (v varchar(20));\ninsert into cr values ('a\rb\r\nc\x1cd\x0be');\n".encode()
    path = tmp_path / "cr.sql"
    path.write_bytes(script)
    a = [sys.executable, "-m", "pyqivrexdb", str(dsn)] + (["-c", ".read %s" % path] if how == "read" else [])
    r = subprocess.run(a, input=script if how == "stdin" else None, capture_output=True, env=env(), cwd=HERE,
                       timeout=300)
    assert r.returncode == 0, r.stderr
    assert run_ok(dsn, ".mode csv", ".headers off", "select length(v), v like '%' || char(13) || 'b%' from cr;"
                  if backend == "sqlite" else "select length(v), strpos(v, chr(13)) from cr;") == \
        ("10,1\n" if backend == "sqlite" else "10,2\n")


def psql_load(dsn, text):
    # psql as it is, without a sanitizer's runtime the test run may preload
    clean = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    r = subprocess.run(["psql", "-q", "-X", "-v", "ON_ERROR_STOP=1", "-d", dsn, "-f", "-"], input=text,
                       capture_output=True, text=True, encoding="utf-8", timeout=300, env=clean)
    assert r.returncode == 0, r.stderr


BIG = ("create table big (id integer generated always as identity primary key, t text, f float8, b bytea, "
       "d date, total integer generated always as (id * 2) stored);",
       "insert into big (t, f, b, d) select case when i % 7 = 0 then null else repeat('ж''\\x;', i % 50) || i end, "
       "case i % 5 when 0 then 'NaN' when 1 then '-Infinity' when 2 then 1.0 / i else -i * 1e-310 end, "
       "case when i % 3 = 0 then decode(md5(i::text), 'hex') end, date '2000-01-01' + i from generate_series(1, 6000) i;",
       # what COPY's text form escapes, and what looks like its markers
       "insert into big (t, b) values (E'a\\tb\\nc\\rd\\\\e\\\\N', E'\\\\x5c0a09'), ('\\N', null), "
       "(E'\\\\.', null), ('', ''), (E'\\x01\\x7f\\b\\f\\v', null);")


@pytest.mark.parametrize("copy", [True, False], ids=["copy", "inserts"])
def test_a_large_table_reads_back_the_same(dsn, backend, request, copy):
    # with COPY data its block reloads through psql and through the shell;
    # without, the rows of each range of blocks go in one INSERT
    if backend != "postgresql":
        pytest.skip("COPY and rows by ranges of blocks are PostgreSQL's")
    from conftest import pg_dsn
    run_ok(dsn, *BIG)
    dumped = (run_ok if copy else without_copy)(dsn, ".dump big")
    if copy:
        assert dumped.count("COPY big (id, t, f, b, d) FROM stdin;\n") == 1 and "INSERT INTO big" not in dumped
    else:
        assert dumped.count("INSERT INTO big ") > 3
    q = ".mode csv", "select count(*), md5(string_agg(big::text, '|' order by id)) from big;"
    loaders = [lambda o: run_ok(o, stdin=dumped)] + [lambda o: psql_load(o, dumped)] * copy
    for load in loaders:
        other = pg_dsn(request.getfixturevalue("pg_cluster"))
        load(other)
        assert run_ok(other, *q) == run_ok(dsn, *q)
        assert run_ok(other, ".mode csv", ".headers off", "insert into big (t) values ('x') returning id;"
                      ).startswith("6006\n")


def test_a_copy_block_loads_all_its_rows_or_none(dsn, backend):
    if backend != "postgresql":
        pytest.skip("COPY is PostgreSQL's")
    head = ".mode csv\n.headers off\ncreate table c (k int primary key, v text);\n"
    # a duplicate key in the third row: nothing of the block stays, and the
    # error names the line of its COPY
    r = shell(dsn, stdin=head + "COPY c (k, v) FROM stdin;\n1\ta\n2\t\\N\n1\tagain\n\\.\nselect count(*) from c;\n")
    assert r.returncode == 1 and "<stdin> line 4:" in r.stderr and r.stdout == "0\n"
    # the same inside a transaction, whose other statements stay
    r = shell(dsn, stdin=".mode csv\n.headers off\nbegin;\ninsert into c values (9, 'kept');\nCOPY c (k, v) FROM stdin;\n"
              + "".join("%d\ta\n" % k for k in range(10, 9000)) + "9\tagain\n\\.\ncommit;\nselect count(*) from c;\n")
    # (its rows span several INSERTs: the first of them are taken back too)
    assert r.returncode == 1 and "<stdin> line 5:" in r.stderr and r.stdout.endswith("\n1\n")
    run_ok(dsn, "delete from c;")
    # without a column list; the lines after the block are statements again
    assert run_ok(dsn, stdin=".mode csv\nCOPY c FROM stdin;\n1\ta\\tb\n2\t\\N\n\\.\n"
                  "select k, v, v is null from c order by k;\n") == "k,v,?column?\n1,a\tb,f\n2,,t\n"


VIEWS_ON_VIEWS = {
    # a view made first, then changed to read one made after it; a
    # materialized view with an index of its own
    "sqlite": "create table t (x integer); insert into t values (2);\n"
              "create view early as select a from late;\ncreate view late as select x as a from t;\n"
              "create view top as select a from early;\n",
    "postgresql": "create table t (x integer); insert into t values (2);\n"
                  "create view early as select 1 as a;\ncreate view late as select x as a from t;\n"
                  "create or replace view early as select a from late;\n"
                  "create materialized view top as select a from early;\ncreate index top_a on top (a);\n",
}


def test_dump_makes_each_view_after_what_it_reads(dsn, other, backend):
    run_ok(dsn, stdin=VIEWS_ON_VIEWS[backend])
    r = shell(other, stdin=run_ok(dsn, ".dump"))
    assert r.returncode == 0, r.stderr
    assert run_ok(other, ".mode csv", ".headers off", "select a from top;") == "2\n"
    assert run_ok(other, ".indexes").split() == run_ok(dsn, ".indexes").split()


def test_intervals_read_back_the_same_whatever_the_session_writes_them_as(dsn, other, backend):
    if backend == "sqlite":
        pytest.skip("a setting of PostgreSQL")
    run_ok(dsn, "create table iv (i interval);", "insert into iv values ('-1 days -02:03:04'), ('-1 year -2 mons');")
    # the library keeps the session's style its own (it reads intervals in
    # it), as it keeps DateStyle
    out = run_ok(dsn, "set intervalstyle = 'sql_standard';", ".dump iv", ".mode csv", ".headers off", "show intervalstyle;")
    dumped, _, style = out.rpartition("COMMIT;\n")
    assert style == "postgres\n"
    run_ok(other, stdin=dumped + "COMMIT;\n")
    q = "select i from iv order by i;"
    assert run_ok(other, ".mode csv", q) == run_ok(dsn, ".mode csv", q) == "i\n-1 years -2 mons\n-1 days -02:03:04\n"


def test_a_virtual_table_comes_back_from_its_own_rows(tmp_path):
    db = tmp_path / "notes.sqlite"
    # a full-text table keeps its data in tables of its own, which making
    # it again makes too
    run_ok(db, "create virtual table notes using fts5(body);", "insert into notes values ('hello world');")
    again = tmp_path / "again.sqlite"
    run_ok(again, stdin=run_ok(db, ".dump"))
    assert run_ok(again, ".mode csv", ".headers off", "select body from notes where notes match 'hello';") == \
        "hello world\n"


FAMILY = ("create table pt (k int primary key, v text) partition by range (k);", "create index pt_v on pt (v);",
          "create table pt1 partition of pt for values from (0) to (10);",
          "create table pt2 partition of pt (constraint short check (length(v) < 9)) for values from (10) to (20) "
          "partition by range (k);",
          "create table pt2a partition of pt2 for values from (10) to (15);",
          "create table base (a int check (a >= 0));", "create table child (b int) inherits (base);",
          "insert into pt values (1, 'one'), (12, 'a');", "insert into base values (0);",
          "insert into child values (1, 2);")


@pytest.fixture
def family(dsn, other, backend):
    if backend == "sqlite":
        pytest.skip("partitions and inheritance are PostgreSQL's")
    run_ok(dsn, *FAMILY)
    run_ok(other, stdin=run_ok(dsn, ".dump"))
    return dsn, other


def test_rows_of_a_child_table_come_back_once(family):
    dsn, other = family
    q = ("select (select count(*) from only base), (select count(*) from only child), "
         "(select count(*) from only pt1), (select count(*) from only pt2a);")
    assert run_ok(other, ".mode csv", ".headers off", q) == run_ok(dsn, ".mode csv", ".headers off", q) == "1,1,1,1\n"


def test_partitions_and_inheritance_come_back(family):
    dsn, other = family
    q = "select (select count(*) from base), (select count(*) from pt);"
    assert run_ok(other, ".mode csv", ".headers off", q) == run_ok(dsn, ".mode csv", ".headers off", q) == "2,2\n"
    # a row goes to its partition and keeps to the checks of its parents
    assert run_ok(other, ".mode csv", ".headers off", "insert into pt values (5, 'x');",
                  "select tableoid::regclass from pt where k = 5;").endswith("\npt1\n")
    for bad in ("insert into pt values (30, 'x');", "insert into child values (-1, 0);",
                "insert into pt values (17, 'b');", "insert into pt values (11, 'much too long');", "insert into pt values (1, 'dup');"):
        assert shell(other, bad).returncode == 1, bad
    assert sorted(run_ok(other, ".schema").split(";\n")) == sorted(run_ok(dsn, ".schema").split(";\n"))


def test_a_partition_made_before_its_parent_comes_after_it(dsn, other, backend):
    if backend == "sqlite":
        pytest.skip("partitions and inheritance are PostgreSQL's")
    run_ok(dsn, "create table early (k int, v text);", "create table late (k int, v text) partition by list (k);",
           "alter table late attach partition early for values in (1);", "create table heir (k int);",
           "create table elder (k int);", "alter table heir inherit elder;", "insert into late values (1, 'x');")
    run_ok(other, stdin=run_ok(dsn, ".dump"))
    assert run_ok(other, ".mode csv", ".headers off", "select count(*) from late;",
                  "select count(*) from elder;") == "1\n0\n"
    assert run_ok(other, ".schema") == run_ok(dsn, ".schema")


def test_dump_of_one_table_brings_the_types_it_uses(dsn, other, backend):
    if backend == "sqlite":
        pytest.skip("enums and domains are PostgreSQL's")
    run_ok(dsn, "create type mood as enum ('sad', 'o''k');", "create type unused as enum ('x');",
           "create domain score as integer check (value between 0 and 10);",
           "create domain moods as mood[];", "create domain top as score check (value > 2);",
           "create table t (m mood, s top, ms moods);", "create table u (x unused);",
           "insert into t values ('o''k', 5, '{sad,o''k}'), (null, null, null);")
    dumped = run_ok(dsn, ".dump t")
    assert "unused" not in dumped
    run_ok(other, stdin=dumped)
    q = ".mode csv", "select * from t order by s;"
    assert run_ok(other, *q) == run_ok(dsn, *q) == "m,s,ms\no'k,5,\"{sad,o'k}\"\n,,\n"
    assert shell(other, "insert into t (s) values (2);").returncode == 1  # the domain's checks came too


# COPY FROM stdin given with -c (or -cmd) reads its rows from standard
# input, as psql does: up to a line "\." or the end of input. No rows at all
# is an error, never a load of nothing reported as done.
@pytest.mark.parametrize("options, stdin, code, count", [
    (["-c", "COPY c FROM stdin;"], "1\ta\n2\t\\N\n", 0, 2),
    (["-c", "copy c from stdin"], "1\ta\n2\t\\N\n\\.\nselect 1;\n", 0, 2),  # after "\." nothing is read
    (["-c", "copy c (k) from stdin; select 7;"], "1\n", 0, 1),
    (["-c", "COPY c FROM stdin;"], "\\.\n", 0, 0),  # an empty block, said so
    (["-c", "COPY c FROM stdin;"], "", 1, 0),
    (["-c", "COPY c FROM stdin;"], "1\ta\n1\tagain\n", 1, 0),  # all of them or none
    (["-cmd", "COPY c FROM stdin;"], "1\ta\n\\.\ninsert into c values (5, 'b');\n", 0, 2),
], ids=["to-the-end", "to-the-end-line", "columns", "empty-block", "nothing", "duplicate", "cmd"])
def test_copy_from_stdin_given_as_a_command_reads_standard_input(dsn, backend, options, stdin, code, count):
    if backend != "postgresql":
        pytest.skip("COPY is PostgreSQL's")
    run_ok(dsn, "create table c (k int primary key, v text);")
    r = shell(dsn, options=options, stdin=stdin)
    assert r.returncode == code, r.stderr
    if code:
        assert "error:" in r.stderr
    assert run_ok(dsn, ".mode csv", ".headers off", "select count(*) from c;") == "%d\n" % count


def test_a_copy_ending_a_read_file_takes_no_rows_from_standard_input(dsn, backend, tmp_path):
    if backend != "postgresql":
        pytest.skip("COPY is PostgreSQL's")
    script = tmp_path / "load.sql"
    script.write_text("create table c (k int, v text);\nCOPY c FROM stdin;\n")
    r = shell(dsn, stdin=".read %s\n.mode csv\nselect count(*) from c;\n" % script)
    assert r.returncode == 1 and "load.sql line 2: COPY c FROM stdin: no rows" in r.stderr
    assert r.stdout == "count\n0\n"
