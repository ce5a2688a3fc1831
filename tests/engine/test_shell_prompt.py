"""The shell at a terminal (a pseudo-terminal): completion of commands,
keywords, tables and columns; a statement typed over lines is one history
entry; expanded display; the pager only past the terminal's height."""
import io
import os
import sys

import pytest

from shellrun import HERE, env, shell

pexpect = pytest.importorskip("pexpect")


@pytest.fixture
def db(tmp_path):
    path = tmp_path / "p.db"
    assert shell(path, "create table people (person_id integer, surname varchar(20));",
                 "insert into people values (7, 'Ng');").returncode == 0
    return path


def spawn(db, tmp_path):
    e = env(HOME=str(tmp_path), TERM="xterm", PAGER="cat", COLUMNS="200", LINES="50")
    e.pop("INPUTRC", None)
    child = pexpect.spawn(sys.executable, ["-m", "pyqivrexdb", str(db)], env=e, cwd=HERE, encoding="utf-8",
                          timeout=60, dimensions=(50, 200))
    child.expect_exact("qx> ")
    return child


def test_completion_of_tables_columns_and_keywords(db, tmp_path):
    child = spawn(db, tmp_path)
    child.send("sel\t * fr\t peo\t where person_\t = 7;\r")
    child.expect_exact("surname")
    child.expect_exact("Ng")
    child.expect_exact("qx> ")
    child.send(".sch\t\r")
    child.expect_exact("CREATE TABLE people")
    child.sendline(".quit")
    child.expect(pexpect.EOF)


def test_a_statement_typed_over_lines_comes_back_whole(db, tmp_path):
    child = spawn(db, tmp_path)
    child.sendline("select surname")
    child.expect_exact("...> ")
    child.sendline("  as who from people;")
    child.expect_exact("(1 row)")
    child.expect_exact("qx> ")
    child.send("\x1b[A\r")  # the previous entry: both lines
    child.expect_exact("who")
    child.expect_exact("(1 row)")
    child.expect_exact("qx> ")
    child.sendline(".quit")
    child.expect(pexpect.EOF)


def test_a_statement_typed_over_lines_is_one_entry_in_the_next_session(db, tmp_path):
    child = spawn(db, tmp_path)
    child.sendline("select surname")
    child.expect_exact("...> ")
    child.sendline('  as "w\\n" from people;')  # a backslash before an n stays as typed
    child.expect_exact("(1 row)")
    child.sendline(".quit")
    child.expect(pexpect.EOF)
    child = spawn(db, tmp_path)
    child.send("\x1b[A\x1b[A\r")  # the entry before .quit in the session before: both lines
    child.expect_exact("w\\n")
    child.expect_exact("(1 row)")
    child.expect_exact("qx> ")
    child.sendline(".quit")
    child.expect(pexpect.EOF)
    first, *entries = (tmp_path / ".pyqivrexdb_history").read_text(encoding="utf-8").splitlines()
    assert entries == ['select surname\\n  as "w\\\\n" from people;', ".quit"] * 2


def test_expanded_display(db):
    r = shell(db, ".expanded on", "select * from people;")
    assert r.stdout == "-[ RECORD 1 ]-\nperson_id | 7\nsurname   | Ng\n"


def test_pager_takes_over_only_past_the_height(tmp_path):
    from pyqivrexdb.shell.output import Paged
    paged = tmp_path / "paged.txt"
    out = io.StringIO()
    short = Paged(out, height=3, command="cat > %s" % paged)
    short.write("a\nb\n")
    short.close()
    assert out.getvalue() == "a\nb\n" and not paged.exists()
    tall = Paged(out, height=3, command="cat > %s" % paged)
    for i in range(5):
        tall.write("%d\n" % i)
    tall.close()
    assert paged.read_text() == "0\n1\n2\n3\n4\n"
    quitting = Paged(out, height=1, command="head -c 1 > %s" % os.devnull)
    for i in range(100000):  # the pager left early: the rest is dropped, no error
        quitting.write("line %d\n" % i)
    quitting.close()
