"""python -m pyqivrexdb run as a real process over the embedded engine."""
import os
import subprocess
import sys

import pytest


def shell(db, *commands, stdin=None):
    args = [sys.executable, "-m", "pyqivrexdb", str(db)]
    for c in commands:
        args += ["-c", c]
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    # Run away from the source tree, so the package found is the built one.
    return subprocess.run(args, input=stdin, capture_output=True, text=True, encoding="utf-8",
                          env=env, cwd=os.path.dirname(__file__), timeout=120)


@pytest.fixture
def db(tmp_path):
    path = tmp_path / "shell.db"
    r = shell(path, "create table t (id integer, name varchar(10), amount double, day date);")
    assert r.returncode == 0, r.stderr
    return path


def test_statements_and_aligned_result(db):
    r = shell(db, "insert into t values (1, 'Иван', 2.5, '2024-01-02');",
              "insert into t values (22, 'Ян', -10.25, '1999-12-31');",
              "select id, name, amount, day from t order by id;")
    assert r.returncode == 0, r.stderr
    table = r.stdout.splitlines()[-5:]
    assert table == [
        "id | name | amount | day",
        "---+------+--------+-----------",
        " 1 | Иван |    2.5 | 2024-01-02",
        "22 | Ян   | -10.25 | 1999-12-31",
        "(2 rows)",
    ]


def test_failed_statement_is_one_line_and_the_shell_goes_on(db):
    r = shell(db, "select * from nosuch;", "selec 1;", "select count(*) as n from t;")
    assert r.returncode == 1
    errors = r.stderr.splitlines()
    assert len(errors) == 2
    assert "no such table: nosuch" in errors[0]
    assert "syntax error" in errors[1]
    assert r.stdout.splitlines()[-2:] == ["0", "(1 row)"]


def test_messages_and_return_value(db):
    r = shell(db, "select message('Привет');", "select user_message(7, 'пользователь');",
              "return 41 + 1;")
    assert r.returncode == 0, r.stderr
    assert "server: Привет" in r.stderr.splitlines()
    assert "message 7: пользователь" in r.stderr.splitlines()
    assert "return value: 42" in r.stdout.splitlines()


def test_load_csv(db, tmp_path):
    csv = tmp_path / "rows.csv"
    lines = ["id,name,amount,day"] + ["%d,Имя%d,%s,2024-02-%02d" % (i, i, i / 4, i % 28 + 1)
                                      for i in range(25000)]
    csv.write_text("\n".join(lines) + "\n", encoding="utf-8")
    r = shell(db, ".load t %s" % csv, "select count(*), sum(amount), min(day), max(name) from t;")
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert "loaded 25000 rows into t" in out
    assert [v.strip() for v in out[-2].split(" | ")] == ["25000", "78121875.0", "2024-02-01", "Имя9999"]


@pytest.mark.parametrize("content, message", [
    ("1,a,x,2024-01-01\n", "line 1: 'x' for field amount is not a number"),
    ("1,a,1.5,01/02/2024\n", "line 1: '01/02/2024' for field day is not a date"),
    ("1,a,1.5\n", "line 1: 3 values, the table has 4 fields"),
    ("id,name,amount,day\n1,a,1,2024-01-01\n2.5,b,1,2024-01-01\n", "line 3: '2.5' for field id is not an integer"),
])
def test_load_refuses_bad_csv_without_loading(db, tmp_path, content, message):
    csv = tmp_path / "bad.csv"
    csv.write_text(content, encoding="utf-8")
    r = shell(db, ".load t %s" % csv, "select count(*) from t;")
    assert r.returncode == 1
    assert message in r.stderr
    assert r.stdout.splitlines()[-2].strip() == "0"


@pytest.mark.parametrize("command, message", [
    (".load t /nonexistent/rows.csv", "No such file or directory"),
    (".load nosuch %s", "no such table: nosuch"),
    (".load t", "usage: .load TABLE FILE"),
    (".frobnicate", "unknown command .frobnicate"),
])
def test_command_errors(db, tmp_path, command, message):
    csv = tmp_path / "one.csv"
    csv.write_text("1,a,1,2024-01-01\n", encoding="utf-8")
    r = shell(db, command.replace("%s", str(csv)))
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
