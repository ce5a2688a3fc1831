"""psql's \\g and COPY ... FROM stdin in CSV, as the shell reads them."""
import pytest

from pyqivrexdb.shell import copyin
from pyqivrexdb.shell.split import split
from shellrun import shell


@pytest.mark.parametrize("text, items", [
    ("select 1 \\g\n", [("\\g", "select 1")]),
    ("select\n  1\n\\g out.txt\n", [("\\g out.txt", "select\n  1")]),
    ("select 1; select 2 \\g\n", ["select 1;", ("\\g", "select 2")]),
    ("select 1;\n\\g\n", ["select 1;", ("\\g", "")]),  # runs the last statement again
    ("select 1; \\g\n", ["select 1;", ("\\g", "")]),
    # inside a literal, a quoted name or a comment it is text
    ("select '\\g';\n", ["select '\\g';"]),
    ("select 1 -- \\g\n;\n", ["select 1 -- \\g\n;"]),
    ("select 1 as \"\\g\";\n", ["select 1 as \"\\g\";"]),
    # \gx and the like are not \g
    ("select 1 \\gx\n;\n", ["select 1 \\gx\n;"]),
])
def test_g_ends_the_statement_pending_before_it(text, items):
    got = split(text, "postgresql")
    # a \g with nothing pending is a command line of its own
    assert [(str(i), getattr(i, "query", "")) if i.startswith("\\g ") or i == "\\g" else i for i in got] == items


@pytest.mark.parametrize("statement, data, rows", [
    ("copy t from stdin with (format csv)", ['1,a\n', '2,"b, c"\n', '3,\n', '4,""\n'],
     [["'1'", "'a'"], ["'2'", "'b, c'"], ["'3'", "NULL"], ["'4'", "''"]]),
    ("COPY t (k, v) FROM STDIN (FORMAT csv, HEADER true);", ['k,v\n', '1,"say ""hi"""\r\n'],
     [["'1'", "'say \"hi\"'"]]),
    ("copy t from stdin csv header", ['k,v\n', '1,"two\n', 'lines"\n', '2,x\n'],
     [["'1'", "'two\nlines'"], ["'2'", "'x'"]]),
    ("copy t from stdin with (format csv, delimiter ';', null 'NA', quote '''', escape '\\')",
     ["1;NA;'NA';'it\\'s'\n"], [["'1'", "NULL", "'NA'", "'it''s'"]]),
    ("copy t from stdin with delimiter as '|' null as ''", ["1||a\\tb\n"], [["'1'", "NULL", "'a\tb'"]]),
    ("copy t from stdin;", ["1\t\\N\n"], [["'1'", "NULL"]]),
])
def test_copy_data_in_each_format_becomes_literals(statement, data, rows):
    copy = copyin.target(statement)
    assert copy.error is None and copy.into.startswith("t")
    assert list(copy.rows(data)) == rows


@pytest.mark.parametrize("statement, reason", [
    ("copy t from stdin with (format binary)", "format must be text or csv"),
    ("copy t from stdin with (format csv, force_null (v))", "force_null is not supported"),
    ("copy t from stdin with (quote '\"')", "options of the csv format"),
    ("copy t from stdin with escape as '!'", "options of the csv format"),
    ("copy t from stdin with (format csv, delimiter 'ab')", "single character"),
])
def test_copy_options_it_cannot_read_are_an_error_not_a_guess(statement, reason):
    assert reason in copyin.target(statement).error


def test_csv_ending_inside_a_quoted_field_is_an_error():
    with pytest.raises(ValueError, match="inside a quoted field"):
        list(copyin.target("copy t from stdin csv").rows(['1,"open\n']))


def test_g_runs_the_buffer_to_a_file_and_again(dsn, backend, tmp_path):
    out = tmp_path / "out.csv"
    stdin = (".mode csv\n.headers off\nselect 40 + 2\n\\g %s\nselect 'next' \\g\n\\g\n"
             "select 'x' as \"\\g\";\n" % out)
    r = shell(dsn, stdin=stdin)
    assert r.returncode == 0, r.stderr
    assert out.read_text() == "42\n"
    assert r.stdout == "next\nnext\nx\n"
    # nothing to run yet, and a pipe it does not open
    r = shell(dsn, stdin="\\g\nselect 1 \\g |cat\n")
    assert r.returncode == 1 and "no statement to run" in r.stderr and "usage: \\g [FILE]" in r.stderr


def test_copy_from_stdin_in_csv_loads_its_rows(dsn, backend):
    if backend != "postgresql":
        pytest.skip("COPY is PostgreSQL's")
    stdin = ("create table c (k int, v text);\n"
             "copy c from stdin with (format csv, header);\nk,v\n1,\"a,b\"\n2,\n3,\"\"\n4,\"two\nlines\"\n\\.\n"
             ".mode csv\n.headers off\nselect k, v is null, length(v), v from c order by k;\n")
    r = shell(dsn, stdin=stdin)
    assert r.returncode == 0, r.stderr
    assert r.stdout == '1,f,3,"a,b"\n2,t,,\n3,f,0,\n4,f,9,"two\nlines"\n'
    # an option it cannot read takes the block and loads nothing
    r = shell(dsn, stdin="copy c from stdin with (format binary);\n9,x\n\\.\n.mode csv\n.headers off\n"
                         "select count(*) from c;\n")
    assert r.returncode == 1 and "format must be text or csv" in r.stderr and r.stdout == "4\n"
