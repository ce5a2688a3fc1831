"""Errors in scripts, .read files and standard input name the file and the
line of the statement that failed, in the server's words without the
library's code (kept for .show); the options sqlite3's shell takes."""
import subprocess

import pytest

from shellrun import args, env, shell

SCRIPT = ("create table e (a integer);\n"
          "\n"
          "-- a comment before the statement\n"
          "select *\n"
          "  from nosuch;\n"
          "insert into e values (1); selec 2;\n"
          "/* two\n lines */ select 'x;\n';  select zz from e;\n")
EXPECTED = ["{0} line 4: no such table: nosuch", '{0} line 6: near "selec": syntax error',
            "{0} line 9: no such column: zz"]


@pytest.mark.parametrize("how", ["read", "stdin", "nested"])
def test_errors_name_the_file_and_line(tmp_path, how):
    script = tmp_path / "s.sql"
    script.write_text(SCRIPT, encoding="utf-8")
    db = tmp_path / "e.db"
    if how == "read":
        r, name = shell(db, ".read %s" % script), str(script)
    elif how == "stdin":
        r, name = shell(db, stdin=SCRIPT), "<stdin>"
    else:
        outer = tmp_path / "outer.sql"
        outer.write_text("select 1;\n.read %s\nselect nope;\n" % script, encoding="utf-8")
        r, name = shell(db, stdin="\n.read %s\n" % outer), str(script)
    errors = [line for line in r.stderr.splitlines()]
    want = ["error: " + e.format(name) for e in EXPECTED]
    if how == "nested":
        want.append("error: %s line 3: no such column: nope" % outer)
    assert errors == want
    assert r.returncode == 1
    assert "error -" not in r.stderr


def test_show_keeps_the_code_of_the_last_error(tmp_path):
    r = shell(tmp_path / "e.db", "select * from nosuch;", ".show")
    assert "error: no such table: nosuch" in r.stderr
    assert "last error: no such table: nosuch (code -1)" in r.stdout


def test_timer_only_after_statements(tmp_path):
    r = shell(tmp_path / "e.db", ".timer on", ".mode csv", ".headers off", "select 1;", ".tables")
    assert r.returncode == 0, r.stderr
    assert [line for line in r.stderr.splitlines() if line.startswith("time: ")] == [r.stderr.splitlines()[0]]
    assert len(r.stderr.splitlines()) == 1


@pytest.mark.parametrize("options, expected", [
    (["--csv"], "a,b\n1,x\n"),
    (["-csv"], "a,b\n1,x\n"),
    (["-json"], '[{"a": 1, "b": "x"}]\n'),
    (["-cmd", ".headers off", "-csv"], "1,x\n"),
    (["-echo", "-csv"], "select 1 as a, 'x' as b;\na,b\n1,x\n"),
])
def test_options_as_sqlite3_takes_them(tmp_path, options, expected):
    r = shell(tmp_path / "e.db", options=options, stdin="select 1 as a, 'x' as b;\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout == expected


def test_bail_stops_at_the_first_error(tmp_path):
    r = shell(tmp_path / "e.db", options=["-bail"], stdin="select 1 as a;\nselect nope;\nselect 2 as b;\n")
    assert r.returncode == 1
    assert r.stderr == "error: <stdin> line 2: no such column: nope\n"
    assert "b" not in r.stdout.split()


@pytest.mark.parametrize("how", ["stdin", "read"])
def test_bytes_that_are_not_utf8_fail_their_statement_only(tmp_path, how):
    # They are read as lone surrogates: the statement holding them is
    # refused, and the shell goes on.
    script = b"select 1 as a;\nselect '\xff\xfe';\nselect 2 as b;\n"
    (tmp_path / "bad.sql").write_bytes(script)
    given = script if how == "stdin" else b".read bad.sql\n"
    r = subprocess.run(args(tmp_path / "db.sqlite"), input=given, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=env(), cwd=tmp_path, timeout=300)
    assert r.returncode == 1
    where = "<stdin>" if how == "stdin" else "bad.sql"
    assert r.stderr.decode() == "error: %s line 2: ProgrammingError: the statement has a lone surrogate, " \
                                "which UTF-8 cannot carry\n" % where
    assert r.stdout.decode().endswith("b\n-\n2\n(1 row)\n")
