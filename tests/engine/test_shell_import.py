""".import FILE TABLE as sqlite3's shell takes it: a missing table made from
the header, --csv, --separator, --skip and --schema; values typed by the
columns of a table that exists."""
import pytest

from shellrun import shell

CASES = [
    # options, file, table made before (None: made by .import), rows read back
    ("", "a,b\n1,x\n2,\"y, z\"\n", None, ["1,x", '2,"y, z"']),
    ("--csv", "a,b\n1,x\n", None, ["1,x"]),
    ("--separator ;", "a;b\n1;x,y\n", None, ['1,"x,y"']),
    ("--separator tab", "a\tb\n1\tx\n", None, ["1,x"]),
    ("--skip 2", "# made by hand\n# two lines of notes\na,b\n3,z\n", None, ["3,z"]),
    ("--skip 1 --separator |", "junk\na|b\n3|\n", None, ["3,"]),
    ("--schema main", "a,b\n1,x\n", None, ["1,x"]),
    # an existing table: its types read the values; a header of its names is skipped
    ("", "a,b\n7,2.5\n", "create table imp (a integer, b double);", ["7,2.5"]),
    ("", "7,2.5\n8,1e300\n", "create table imp (a integer, b double);", ["7,2.5", "8,1e+300"]),
    ("--skip 1 --separator ;", "x;y\n9;0.1\n", "create table imp (a integer, b double);", ["9,0.1"]),
]


@pytest.mark.parametrize("options, content, made, expected", CASES)
def test_import_options(tmp_path, options, content, made, expected):
    db = tmp_path / "imp.db"
    if made:
        assert shell(db, made).returncode == 0
    path = tmp_path / "in.csv"
    path.write_text(content, encoding="utf-8")
    r = shell(db, ".import %s %s imp" % (options, path), ".mode csv", ".headers off", "select * from imp;")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["loaded %d row%s into %s" % (len(expected), "" if len(expected) == 1 else "s",
                                                                  "imp")] \
        + expected
    if not made:
        assert shell(db, ".schema imp").stdout == "CREATE TABLE imp (a TEXT, b TEXT);\n"


@pytest.mark.parametrize("options, content, message", [
    ("--separator ab", "a\n", "the separator is one ASCII character"),
    ("--skip x", "a\n", "usage: .import"),
    ("", ",b\n1,2\n", "line 1: no column names to make table imp from"),
    ("", "a,b\n1,2,3\n", "line 2: 3 values, the table has 2 fields"),
])
def test_import_refusals(tmp_path, options, content, message):
    path = tmp_path / "in.csv"
    path.write_text(content, encoding="utf-8")
    r = shell(tmp_path / "imp.db", ".import %s %s imp" % (options, path))
    assert r.returncode == 1
    assert message in r.stderr


def test_import_on_postgresql_makes_the_table(dsn, backend, tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("id,name\n1,Ann\n2,\"O'Brien, B\"\n", encoding="utf-8")
    r = shell(dsn, ".import --csv %s people" % path, ".mode csv", "select * from people order by id;")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["loaded 2 rows into people", "id,name", "1,Ann", '2,"O\'Brien, B"']


def test_import_reads_a_servers_boolean_as_copy_does(dsn, backend, tmp_path):
    # A server's boolean takes a bool, never an integer: its texts are
    # COPY's, and an engine's BOOLEAN (a byte) keeps reading integers.
    made = "create table flags (k integer, ok boolean);"
    assert shell(dsn, made).returncode == 0
    path = tmp_path / "in.csv"
    rows = ["1,t", "2,false", "3,1", "4,NO"] if backend == "postgresql" else ["1,1", "2,0", "3,7"]
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    r = shell(dsn, ".import --csv %s flags" % path, ".mode csv", ".headers off", "select ok from flags order by k;")
    assert r.returncode == 0, r.stderr
    want = ["t", "f", "t", "f"] if backend == "postgresql" else ["1", "0", "7"]
    assert r.stdout.splitlines()[1:] == want
