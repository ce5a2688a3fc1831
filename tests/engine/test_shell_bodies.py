"""The shell's .read on either backend: trigger and function bodies, and
literals of every form, reach the server whole, as the engines' own tools
send them; nothing inside them runs as a statement of its own."""
from shellrun import shell

COMMON = """\
create table acct (id integer);
insert into acct values (1), (2);
create table notes (n text);
insert into notes values ('a: ; delete from acct ;');
insert into notes values ('b: -- ; /* ; */ delete from acct;');
"""

SCRIPTS = {
    "sqlite": COMMON + """\
create table cache (k integer);
insert into cache values (10), (20);
create trigger keep after insert on notes begin
  insert into cache values (length(new.n));
  delete from cache where k = 10;
  select case when new.n = 'x;' then raise(abort, 'no; delete from acct;') end;
end;
insert into notes values ("c: ""; delete from acct;");
insert into notes values ('d');
select n from notes order by n;
select k from cache order by k;
select count(*) from acct;
""",
    "postgresql": COMMON + """\
insert into notes values (E'c: \\'; delete from acct ;');
insert into notes values ($$d: '; delete from acct;$$);
insert into notes values ($x$e: $$; delete from acct; $$ $x$);
create function f() returns trigger language plpgsql as $body$
begin
  delete from acct where id = 1;  -- only when called
  return new;
end;
$body$;
create function g() returns int language sql
begin atomic
  delete from acct where id = 2;
  select 1;
end;
/* a comment /* nested; */ delete from acct; */
select n from notes order by n;
select count(*) from acct;
""",
}

EXPECTED = {
    "sqlite": ["a: ; delete from acct ;", "b: -- ; /* ; */ delete from acct;", '"c: ""; delete from acct;"', "d",
               "1", "20", "23", "2"],
    "postgresql": ["a: ; delete from acct ;", "b: -- ; /* ; */ delete from acct;", "c: '; delete from acct ;",
                   "d: '; delete from acct;", "e: $$; delete from acct; $$ ", "2"],
}


def test_read_runs_bodies_and_literals_whole(dsn, backend, tmp_path):
    script = tmp_path / "script.sql"
    script.write_text(SCRIPTS[backend], encoding="utf-8")
    r = shell(dsn, ".mode csv", ".headers off", ".read %s" % script)
    assert r.returncode == 0, r.stderr
    assert [line for line in r.stdout.splitlines() if not line.endswith("changed)")] == EXPECTED[backend]


def test_a_statement_typed_over_lines_of_a_body_waits_for_its_end(tmp_path):
    db = tmp_path / "db.sqlite"
    script = ("create table t (k integer);\n"
              "create trigger x after insert on t begin\n"
              "  insert into t select 1 where 0;\n"
              ".tables\n"          # inside the body: SQL, not a command
              "end;\n")
    r = shell(db, stdin=script)
    assert r.returncode == 1 and "error" in r.stderr  # ".tables end" is no SQL
    r = shell(tmp_path / "other.sqlite", stdin=script.replace(".tables\n", ""))
    assert r.returncode == 0, r.stderr


def test_a_script_that_turns_standard_strings_off_is_read_as_the_server_reads_it(pg_cluster, tmp_path):
    # Once off, the server would read 'C:\\dir' with one backslash, and
    # 'C:\'; delete ...; --' as one string, where the shell reads two: the SET
    # is refused, and what follows is read the same by both.
    from conftest import pg_dsn
    dsn = pg_dsn(pg_cluster)
    r = shell(dsn, stdin=".mode csv\n.headers off\nset standard_conforming_strings = off;\n"
              "select length('C:\\\\dir');\nshow standard_conforming_strings;\n")
    assert "standard_conforming_strings cannot be turned off" in r.stderr
    assert r.stdout.split() == ["7", "on"], r.stderr
