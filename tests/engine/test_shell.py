"""python -m pyqivrexdb run as a real process over the embedded engine:
statements, their splitting, output modes and commands."""
import json
import os
import resource
import subprocess
import time

import pytest

from shellrun import HERE, args, env, shell


@pytest.fixture
def db(tmp_path):
    path = tmp_path / "shell.db"
    r = shell(path, "create table t (id integer, name varchar(10), amount double, day date);")
    assert r.returncode == 0, r.stderr
    return path


@pytest.fixture
def filled(db):
    r = shell(db, "insert into t values (1, 'Иван', 2.5, '2024-01-02');",
              "insert into t values (22, 'Ян', -10.25, null);")
    assert r.returncode == 0, r.stderr
    return db


def test_statements_and_aligned_result(filled):
    r = shell(filled, "select id, name, amount, day from t order by id;")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "id | name | amount | day",
        "---+------+--------+-----------",
        " 1 | Иван |    2.5 | 2024-01-02",
        "22 | Ян   | -10.25 | NULL",
        "(2 rows)",
    ]


@pytest.mark.parametrize("mode, expected", [
    ("csv", "id,name,amount,day\n1,Иван,2.5,2024-01-02\n22,Ян,-10.25,\n"),
    ("json", '[{"id": 1, "name": "Иван", "amount": 2.5, "day": "2024-01-02"},\n'
             '{"id": 22, "name": "Ян", "amount": -10.25, "day": null}]\n'),
    ("line", "    id = 1\n  name = Иван\namount = 2.5\n   day = 2024-01-02\n\n"
             "    id = 22\n  name = Ян\namount = -10.25\n   day = NULL\n"),
    ("table", "+----+------+--------+------------+\n"
              "| id | name | amount | day        |\n"
              "+----+------+--------+------------+\n"
              "|  1 | Иван |    2.5 | 2024-01-02 |\n"
              "| 22 | Ян   | -10.25 | NULL       |\n"
              "+----+------+--------+------------+\n"),
    ("box", "┌────┬──────┬────────┬────────────┐\n"
            "│ id │ name │ amount │ day        │\n"
            "├────┼──────┼────────┼────────────┤\n"
            "│  1 │ Иван │    2.5 │ 2024-01-02 │\n"
            "│ 22 │ Ян   │ -10.25 │ NULL       │\n"
            "└────┴──────┴────────┴────────────┘\n"),
    ("markdown", "| id | name | amount | day        |\n"
                 "|----|------|--------|------------|\n"
                 "|  1 | Иван |    2.5 | 2024-01-02 |\n"
                 "| 22 | Ян   | -10.25 | NULL       |\n"),
    ("insert", "INSERT INTO \"table\" VALUES(1,'Иван',2.5,'2024-01-02');\n"
               "INSERT INTO \"table\" VALUES(22,'Ян',-10.25,NULL);\n"),
    ("insert t2", "INSERT INTO t2 VALUES(1,'Иван',2.5,'2024-01-02');\n"
                  "INSERT INTO t2 VALUES(22,'Ян',-10.25,NULL);\n"),
])
def test_output_modes(filled, mode, expected):
    r = shell(filled, ".mode %s" % mode, "select * from t order by id;")
    assert r.returncode == 0, r.stderr
    assert r.stdout == expected
    if mode == "json":
        assert json.loads(r.stdout)[1]["day"] is None


@pytest.mark.parametrize("mode, expected", [
    ("aligned", "1 | Иван\n(1 row)\n"),
    ("csv", "1,Иван\n"),
])
def test_headers_off(filled, mode, expected):
    r = shell(filled, ".headers off", ".mode " + mode, "select id, name from t where id = 1;")
    assert r.stdout == expected


def test_nullvalue_width_and_once(filled, tmp_path):
    once = tmp_path / "once.txt"
    r = shell(filled, ".mode markdown", ".nullvalue (none)", ".width 4 0 8", ".once %s" % once,
              "select id, day from t where id = 22;", "select id, name, day from t order by id;")
    assert r.returncode == 0, r.stderr
    assert once.read_text(encoding="utf-8") == "| id   | day    |\n|------|--------|\n|   22 | (none) |\n"
    assert r.stdout == ("| id   | name | day        |\n|------|------|------------|\n"
                        "|    1 | Иван | 2024-01-02 |\n|   22 | Ян   | (none)     |\n")


def test_dump_read_back_through_insert_mode(filled, tmp_path):
    r = shell(filled, ".mode insert t", "select * from t order by id;")
    again = tmp_path / "again.db"
    shell(again, "create table t (id integer, name varchar(10), amount double, day date);")
    assert shell(again, stdin=r.stdout).returncode == 0
    assert shell(again, "select * from t order by id;").stdout == shell(filled, "select * from t order by id;").stdout


def test_empty_results(db):
    r = shell(db, "select id, name from t;", ".mode json", "select * from t;", ".mode csv", "select * from t;")
    assert r.stdout == "id | name\n---+-----\n(0 rows)\n[]\nid,name,amount,day\n"


@pytest.mark.parametrize("text, outputs", [
    # several statements on one line, each with its own result
    ("select 1 as a; select 2 as b;", ["a", "1", "b", "2"]),
    # a comment after the ";" does not swallow the next statement
    ("select 1 as a; -- c\nselect 2 as b;", ["a", "1", "b", "2"]),
    # ";" inside literals, quoted names and comments does not end a statement
    ("select 'x;\ny;' as a;", ["a", "x;", "y;"]),
    ('select 1 as "a;b"; select 2 as c;', ["a;b", "1", "c", "2"]),
    ("select /* ; */ 3 as a; /* x;\n ; */ select 4 as b;", ["a", "3", "b", "4"]),
    ("select 'it''s; fine' as a;", ["a", "it's; fine"]),
    # blank statements and lines of comments only are skipped
    (";; -- nothing\n/* nothing */\nselect 5 as a", ["a", "5"]),
    # a command line only where no statement is pending
    ("select 6\n.tables\n as a;", None),
])
def test_splitting(db, text, outputs):
    r = shell(db, stdin=text)
    if outputs is None:
        assert r.returncode == 1  # ".tables as a" is not SQL
        return
    assert r.returncode == 0, r.stderr
    shown = [line.strip() for line in r.stdout.splitlines() if line and not line.startswith(("-", "("))]
    assert shown == outputs


def test_messages_and_return_values_per_statement(db):
    r = shell(db, "select message('Привет'); return 41 + 1; select user_message(7, 'пользователь');"
                  " return 7; insert into t (id) values (1), (2); return x'00ff00'; return null;")
    assert r.returncode == 0, r.stderr
    assert "server: Привет" in r.stderr.splitlines()
    assert "message 7: пользователь" in r.stderr.splitlines()
    # The rows an insert changed are its return value too: said once.
    assert [line for line in r.stdout.splitlines() if line.startswith("return") or line.endswith("changed)")] == [
        "return value: 42", "return value: 7", "(2 rows changed)", "return value: 00ff00"]


def test_failed_statement_is_one_line_and_the_shell_goes_on(db):
    r = shell(db, "select * from nosuch; selec 1;", "select count(*) as n from t;")
    assert r.returncode == 1
    errors = r.stderr.splitlines()
    assert len(errors) == 2
    assert "no such table: nosuch" in errors[0]
    assert "syntax error" in errors[1]
    assert r.stdout.splitlines()[-2:] == ["0", "(1 row)"]


@pytest.mark.parametrize("how", [["--bail"], [".bail on"]])
def test_bail_stops_at_the_first_error(db, how):
    options = how if how[0].startswith("--") else ()
    first = [] if options else how
    r = shell(db, *first, "selec 1;", "select 2 as x;", options=options)
    assert r.returncode == 1
    assert "x" not in r.stdout


def test_output_read_timer_schema(db, tmp_path):
    script = tmp_path / "script.sql"
    script.write_text("insert into t (id) values (1);\ninsert into t (id)\n values (2);\n", encoding="utf-8")
    out = tmp_path / "out.txt"
    r = shell(db, ".read %s" % script, ".output %s" % out, "select id from t order by id;",
              ".output", ".timer on", "select 3 as x;", ".schema t", ".schema")
    assert r.returncode == 0, r.stderr
    assert out.read_text(encoding="utf-8") == "id\n--\n 1\n 2\n(2 rows)\n"
    assert "x\n-\n3\n(1 row)\n" in r.stdout
    assert any(line.startswith("time: ") for line in r.stderr.splitlines())
    schema = "CREATE TABLE t (id integer, name varchar(10), amount double, day date);\n"
    assert r.stdout.endswith(schema + schema)


@pytest.mark.parametrize("command, message", [
    (".frobnicate", "unknown command .frobnicate"),
    (".mode wide", "usage: .mode aligned|table|box|markdown|csv|json|line|insert [TABLE]"),
    (".headers maybe", "usage: .headers on|off"),
    (".read /nonexistent/x.sql", "No such file or directory"),
    (".schema nosuch", "no such table: nosuch"),
    (".output /nonexistent/x.txt", "No such file or directory"),
])
def test_command_errors(db, command, message):
    r = shell(db, command)
    assert r.returncode == 1
    assert [line for line in r.stderr.splitlines() if message in line]


def test_statements_from_stdin(db):
    script = "insert into t (id, name)\n  values (5, 'x');\n.tables\n\nselect id\nfrom t;\n.quit\nselect 1;\n"
    r = shell(db, stdin=script)
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert "t" in out
    assert out[-4:] == ["id", "--", " 5", "(1 row)"]  # and nothing after .quit


def test_unreachable_database(tmp_path):
    r = shell(tmp_path / "no" / "such" / "dir.db", "select 1;")
    assert r.returncode == 1
    assert r.stderr.startswith("error: cannot connect")


def _cap_data(limit):
    def cap():
        resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
    return cap


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory does not fit under a data limit")
def test_large_result_is_printed_in_bounded_memory(tmp_path):
    path = tmp_path / "big.db"
    n = 400000
    r = shell(path, "create table big (id integer, name varchar(20), amount double, day date);",
              "insert into big with recursive c(i) as (select 1 union all select i + 1 from c where i < %d) "
              "select i, 'name' || i, i * 0.5, date('2000-01-01', '+' || (i %% 9000) || ' days') from c;" % n)
    assert r.returncode == 0, r.stderr
    # Held whole, these rows take well over 100 MB of Python objects.
    limit = 90 << 20
    out = tmp_path / "out.txt"
    with open(out, "w") as f:
        r = shell(path, "select * from big;", stdout=f, stderr=-1, preexec_fn=_cap_data(limit))
    assert r.returncode == 0, r.stderr
    with open(out, encoding="utf-8") as f:
        lines = f.readlines()
    assert len(lines) == n + 3
    assert lines[-1] == "(%d rows)\n" % n
    assert lines[-2].split(" | ")[:2] == [str(n), "name%d" % n]


def _peak_resident(p):
    """The peak resident size (bytes) of a running process, sampled until it ends."""
    peak = 0
    while p.poll() is None:
        try:
            with open("/proc/%d/status" % p.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]) << 10)
        except OSError:
            break
        time.sleep(0.005)
    p.wait()
    return peak


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory is resident too")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_a_scan_of_a_file_larger_than_the_bound_stays_in_bounded_resident_memory(tmp_path):
    # Pages of the database file read through a mapping would count as the
    # shell's own; read through the page cache they do not.
    path = tmp_path / "fat.db"
    n = 300000
    r = shell(path, "create table fat (id integer, note varchar(200));",
              "insert into fat with recursive c(i) as (select 1 union all select i + 1 from c where i < %d) "
              "select i, printf('%%0200d', i) from c;" % n)
    assert r.returncode == 0, r.stderr
    limit = 48 << 20
    assert os.path.getsize(path) > limit + (8 << 20)
    with open(tmp_path / "out.txt", "w") as f:
        p = subprocess.Popen(args(path, "select id, substr(note, 195) as tail from fat;"), stdout=f,
                             stderr=subprocess.PIPE, env=env(), cwd=HERE)
        peak = _peak_resident(p)
    assert p.returncode == 0, p.stderr.read()
    p.stderr.close()
    with open(tmp_path / "out.txt", encoding="utf-8") as f:
        lines = f.readlines()
    assert len(lines) == n + 3 and lines[-2] == "%d | %s\n" % (n, str(n).zfill(200)[194:])
    assert 0 < peak < limit, "peak resident size %d MB" % (peak >> 20)


def test_a_reader_that_goes_away_ends_the_shell_quietly(tmp_path):
    query = ("with recursive c(i) as (select 1 union all select i + 1 from c where i < 200000) "
             "select i from c;")
    p = subprocess.Popen(args(tmp_path / "p.db", query), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=env(), cwd=HERE)
    assert p.stdout.readline() == b"i\n"
    p.stdout.close()
    err = p.stderr.read()
    assert p.wait(timeout=120) == 1
    assert err == b""


def test_nulls_and_changed_rows(filled):
    r = shell(filled, "update t set amount = null where id = 22;",
              "select id, name, amount from t order by id;")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["(1 row changed)", "id | name | amount", "---+------+-------",
                                     " 1 | Иван |    2.5", "22 | Ян   |   NULL", "(2 rows)"]


@pytest.mark.parametrize("mode, expected", [
    ("box", "┌─────┬──────┐\n"
            "│ x   │ y    │\n"
            "├─────┼──────┤\n"
            "│ a   │ NULL │\n"
            "│ bbb │      │\n"
            "└─────┴──────┘\n"),
    ("table", "+-----+------+\n"
              "| x   | y    |\n"
              "+-----+------+\n"
              "| a   | NULL |\n"
              "| bbb |      |\n"
              "+-----+------+\n"),
    # a cell of markdown has one line, and a bar in it is not a border
    ("markdown", "| x         | y    |\n"
                 "|-----------|------|\n"
                 "| a<br>b\\|b | NULL |\n"),
])
def test_a_value_of_several_lines_stays_inside_its_cell(db, mode, expected):
    value = "'a' || char(10) || 'b|b'" if mode == "markdown" else "'a' || char(10) || 'bbb'"
    r = shell(db, ".mode " + mode, "select %s as x, null as y;" % value)
    assert r.returncode == 0, r.stderr
    assert r.stdout == expected


# psql's commands, each on a line of its own, do what their dot-commands do;
# one the shell lacks is an error of its own line and never swallows the
# statement after it.
@pytest.mark.parametrize("typed, shown", [
    ("\\dt\n", "t\n"),
    ("\\d t\n", "CREATE TABLE t (k integer, v text);\n"),
    ("\\d\n", "t\n"),
    ("\\x\nselect k from t;\n\\x\nselect k from t;\n", "-[ RECORD 1 ]-\nk | 1\nk\n-\n1\n(1 row)\n"),
    ("\\o OUT\nselect k from t;\n\\o\n", ""),
    ("\\q\nselect k from t;\n", ""),
    ("\\pset null x\nselect k from t;\n", "k\n-\n1\n(1 row)\n"),
])
def test_psql_commands(dsn, backend, typed, shown, tmp_path):
    if backend == "postgresql" and "\\d t" in typed:
        shown = "CREATE TABLE t (\n  k integer,\n  v text\n);\n"
    setup = shell(dsn, "create table t (k integer, v text);", "insert into t values (1, 'a');")
    assert setup.returncode == 0, setup.stderr
    r = shell(dsn, stdin=typed.replace("OUT", str(tmp_path / "out.txt")))
    assert r.stdout == shown
    assert r.returncode == (1 if "pset" in typed else 0), r.stderr
    if "pset" in typed:
        assert r.stderr == "error: <stdin> line 1: unknown command \\pset (see .help)\n"
    if "\\o" in typed:
        assert (tmp_path / "out.txt").read_text() == "k\n-\n1\n(1 row)\n"


@pytest.mark.parametrize("include", ["\\ir part.sql", "\\ir ./sub/../part.sql"])
def test_psql_ir_reads_a_file_beside_the_one_that_holds_it(tmp_path, include):
    scripts = tmp_path / "scripts"
    (scripts / "sub").mkdir(parents=True)
    (scripts / "main.sql").write_text(include + "\n")
    (scripts / "part.sql").write_text("select 'beside';\n")
    r = shell(tmp_path / "db", "\\i " + str(scripts / "main.sql"))  # run from elsewhere
    assert (r.returncode, r.stdout) == (0, "'beside'\n--------\nbeside\n(1 row)\n"), r.stderr
