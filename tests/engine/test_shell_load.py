"""The shell's .load: every value whole or a stop naming the file line, the
field and the value, and then exactly how many rows the table kept."""
import pytest

from shellrun import shell

HEADER = "id,name,n,day,f"


@pytest.fixture
def db(tmp_path):
    path = tmp_path / "load.db"
    r = shell(path, "create table lt (id integer primary key, name varchar(5), n tinyint, day date, f float);")
    assert r.returncode == 0, r.stderr
    return path


def write(tmp_path, lines, name="rows.csv", header=True):
    path = tmp_path / name
    path.write_bytes(b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n"
                              for line in ([HEADER] if header else []) + lines))
    return path


def rows(n, start=1):
    return ["%d,n%d,%d,2024-02-%02d,%s" % (i, i % 1000, i % 200, i % 28 + 1, i / 4) for i in range(start, start + n)]


def count(db):
    r = shell(db, ".mode csv", ".headers off", "select count(*) from lt;")
    assert r.returncode == 0, r.stderr
    return int(r.stdout)


def test_load_with_header_and_quoted_name(db, tmp_path):
    path = write(tmp_path, rows(25000), name="my rows.csv")
    r = shell(db, '.load lt "%s"' % path, "select count(*), sum(f), min(day), max(id) from lt;")
    assert r.returncode == 0, r.stderr
    out = r.stdout.splitlines()
    assert "loaded 25000 rows into lt" in out
    assert [v.strip() for v in out[-2].split(" | ")] == ["25000", "78128125.0", "2024-02-01", "25000"]
    assert r.stderr == ""


@pytest.mark.parametrize("line, message", [
    ("x,a,1,2024-01-01,1", "line 3, field id: 'x' is not an integer"),
    ("3,a,1.5,2024-01-01,1", "line 3, field n: '1.5' is not an integer"),
    ("3,a,255,2024-01-01,1", "line 3, field n: 255 is outside the range of BYTE, 0 to 254"),
    ("3,a,-1,2024-01-01,1", "line 3, field n: -1 is outside the range of BYTE, 0 to 254"),
    ("3,abcdef,1,2024-01-01,1", "line 3, field name: a text of 6 characters is longer than the field's 5 (--truncate cuts it)"),
    ("3,ééééééé,1,2024-01-01,1", "line 3, field name: a text of 7 characters is longer than the field's 5 (--truncate cuts it)"),
    ("3,a,1,1899-12-31,1", "line 3, field day: 1899-12-31 is outside the dates the engine holds (1900-01-01 to 2078-12-31)"),
    ("3,a,1,2079-01-01,1", "line 3, field day: 2079-01-01 is outside the dates the engine holds"),
    ("3,a,1,01/02/2024,1", "line 3, field day: '01/02/2024' is not a date (YYYY-MM-DD)"),
    ("3,a,1,2024-01-01,1e39", "line 3, field f: 1e+39 is outside the range of FLOA"),
    ("3,a,1,2024-01-01,one", "line 3, field f: 'one' is not a number"),
    ("3,a,1,2024-01-01", "line 3: 4 values, the table has 5 fields"),
    (b"3,\xff,1,2024-01-01,1", "line 3: not UTF-8 text (byte 0xff at position 3 of the line)"),
])
def test_bad_value_stops_the_load(db, tmp_path, line, message):
    path = write(tmp_path, ["1,a,1,2024-01-01,1", line, "9,z,1,2024-01-01,1"])
    r = shell(db, ".load lt %s" % path)
    assert r.returncode == 1
    assert r.stderr.splitlines() == ["error: %s %s" % (path, r.stderr.split(str(path) + " ", 1)[1].rstrip())]
    assert message in r.stderr
    # the row before it stays, whichever side refused the value
    assert r.stderr.rstrip().endswith("load stopped, 1 row kept in lt")
    assert count(db) == 1


def test_rows_sent_before_a_bad_value_are_counted(db, tmp_path):
    path = write(tmp_path, rows(12000) + ["x,a,1,2024-01-01,1"])
    r = shell(db, ".load lt %s" % path)
    assert r.returncode == 1
    assert "line 12002, field id: 'x' is not an integer; load stopped, 12000 rows kept in lt" in r.stderr
    assert count(db) == 12000


@pytest.mark.parametrize("option, line, shown", [
    ("", "1,,,,", "1 | NULL | NULL | NULL | NULL"),
    ("--null '\\N'", "1,,7,\\N,\\N", "1 |   | 7 | NULL | NULL"),
    ("--null=-", "1,-,-,-,2.5", "1 | NULL | NULL | NULL | 2.5"),
])
def test_null_markers(db, tmp_path, option, line, shown):
    path = write(tmp_path, [line])
    r = shell(db, ".load %s lt %s" % (option, path), ".headers off", "select * from lt;")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[1] == shown


def test_null_refused_by_the_table_names_its_line(tmp_path):
    db = tmp_path / "nn.db"
    path = tmp_path / "nn.csv"
    path.write_text("1,1\n2,2\n3,\n4,4\n", encoding="utf-8")
    r = shell(db, "create table nn (id integer, v integer not null);", ".load nn %s" % path)
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        "error: %s line 3: NOT NULL constraint failed: nn.v; load stopped, 2 rows kept in nn" % path]


def test_truncation_is_refused_unless_asked_for(db, tmp_path):
    path = write(tmp_path, ["1,abcdefgh,1,2024-01-01,1"], header=False)
    r = shell(db, ".load lt %s" % path)
    assert "field name: a text of 8 characters is longer than the field's 5 (--truncate cuts it)" in r.stderr
    r = shell(db, ".load --truncate lt %s" % path, "select name from lt;")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-2] == "abcde"


@pytest.mark.parametrize("first, option, loaded", [
    (HEADER.upper().replace(",", ", "), "", 1),   # field names: skipped
    ("a,b,c,d,e", "--header", 1),                  # another header, said to be one
    ("7,b,1,2024-01-01,1", "--no-header", 2),      # data on the first line
    ("7,b,1,2024-01-01,1", "", 2),
])
def test_header(db, tmp_path, first, option, loaded):
    path = write(tmp_path, [first, "1,a,1,2024-01-01,1"], header=False)
    r = shell(db, ".load %s lt %s" % (option, path))
    assert r.returncode == 0, r.stderr
    assert count(db) == loaded


def test_duplicate_key_names_its_line_and_the_rows_before_it_stay(db, tmp_path):
    lines = rows(20000)
    lines[14999] = "1,dup,1,2024-01-01,1"  # file line 15001
    path = write(tmp_path, lines)
    r = shell(db, ".load lt %s" % path)
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        "error: %s line 15001: UNIQUE constraint failed: lt.id; load stopped, 14999 rows kept in lt"
        % path]
    assert count(db) == 14999


def test_rolled_back_transaction_keeps_nothing(tmp_path):
    db = tmp_path / "tx.db"
    path = tmp_path / "u.csv"
    path.write_text("".join("%d,%d\n" % (i, i) for i in range(1, 3000)) + "5,5\n", encoding="utf-8")
    r = shell(db, "create table u (id integer primary key on conflict rollback, v integer);",
              "insert into u values (0, 0);", "begin work w table u;", ".load u %s" % path,
              "rollback work w;", "select count(*) as n from u;")
    assert r.returncode == 1
    errors = r.stderr.splitlines()
    assert len(errors) == 1, errors
    assert errors[0].startswith("error: %s lines 1 to " % path)
    assert "UNIQUE constraint failed: u.id" in errors[0]
    assert errors[0].endswith("load stopped, 0 rows kept in u (the enclosing transaction was rolled back)")
    assert r.stdout.splitlines()[-2:] == ["1", "(1 row)"]


@pytest.mark.parametrize("command, message", [
    (".load lt /nonexistent/rows.csv", "/nonexistent/rows.csv: No such file or directory"),
    (".load nosuch %s", "no such table: nosuch"),
    (".load lt", "usage: .load"),
    (".load --frob lt %s", "usage: .load"),
    ('.load lt "unclosed', "No closing quotation"),
])
def test_load_command_errors(db, tmp_path, command, message):
    path = write(tmp_path, ["1,a,1,2024-01-01,1"])
    r = shell(db, command.replace("%s", str(path)))
    assert r.returncode == 1
    assert [line for line in r.stderr.splitlines() if message in line], r.stderr


@pytest.mark.parametrize("bad, message", [
    ("x,a,1,2024-01-01,1", "field id: 'x' is not an integer"),              # refused by the reader
    ("50001,a,255,2024-01-01,1", "field n: 255 is outside the range of BYTE"),  # refused by the driver
])
def test_a_bad_value_in_row_50001_names_its_line_and_keeps_the_rows_before_it(db, tmp_path, bad, message):
    # Over 1.5 MB of file: the row lies past the first read of the file.
    path = write(tmp_path, ["%d,nnnnn,%d,2024-02-01,%d.25" % (i, i % 200, i) for i in range(1, 50001)]
                 + [bad] + rows(10, 60000))
    r = shell(db, ".load lt %s" % path)
    assert r.returncode == 1
    assert "line 50002, %s" % message in r.stderr
    assert r.stderr.rstrip().endswith("load stopped, 50000 rows kept in lt")
    assert count(db) == 50000


def test_quoted_texts_keep_commas_quotes_and_line_breaks(db, tmp_path):
    path = write(tmp_path, ['1,"a,b",1,2024-01-01,1', '2,"x""y",2,2024-01-02,2', '3,"tw\nos",3,,3',
                            '4,"",4,2024-01-04,4', "x,,,,"])
    r = shell(db, ".load lt %s" % path)
    assert r.returncode == 1
    # the record over two lines counts both: the bad row is on line 7
    assert "rows.csv line 7, field id: 'x' is not an integer; load stopped, 4 rows kept in lt" in r.stderr
    got = shell(db, ".mode csv", ".headers off", "select id, name, name is null, day is null from lt order by id;").stdout
    # "" is an empty field: NULL
    assert got.splitlines() == ['1,"a,b",0,0', '2,"x""y",0,0', '3,"tw', 'os",0,1', "4,,1,0"]


@pytest.mark.parametrize("text, message", [
    ("Ёжик", None),                                   # Cyrillic: in CP866
    ("░▒▓", None),                                    # box drawing: in CP866
    ("a€", None),                                     # UTF-8: any text
    ("ab\u0301", None),                               # a combining accent
])
def test_texts_are_read_as_utf8(db, tmp_path, text, message):
    path = tmp_path / "cp.csv"
    path.write_bytes(("\ufeff" + HEADER + "\n1,%s,1,2024-01-01,1\n" % text).encode())  # with a byte order mark
    r = shell(db, ".load lt %s" % path, ".mode csv", ".headers off", "select name from lt;")
    if message is None:
        assert r.returncode == 0, r.stderr
        assert r.stdout.splitlines()[-1] == text
    else:
        assert r.returncode == 1
        assert "cp.csv line 2, field name: " in r.stderr and message in r.stderr


def test_a_load_is_one_transaction_and_leaves_the_session_as_it_was(db, tmp_path):
    path = write(tmp_path, rows(3))
    r = shell(db, ".load lt %s" % path, "insert into lt (id) values (99);", "rollback;",
              "select count(*) as n from lt;")
    # after the load each statement runs on its own again: nothing is open to roll back
    assert "4" in r.stdout.split()


def test_a_row_the_server_refuses_names_its_line_and_the_rows_before_it_stay(dsn, tmp_path):
    # On PostgreSQL the load's one transaction survives the refused batch:
    # the batch is taken back alone and sent again in parts.
    r = shell(dsn, "create table pk (id integer primary key, name varchar(10));")
    assert r.returncode == 0, r.stderr
    path = tmp_path / "pk.csv"
    ids = list(range(1, 3001))
    ids[2000] = 5  # line 2001
    path.write_text("".join('%d,"n,%d"\n' % (i, i) for i in ids), encoding="utf-8")
    r = shell(dsn, ".load pk %s" % path, ".mode csv", ".headers off", "select count(*), max(id) from pk;")
    assert r.returncode == 1
    assert "pk.csv line 2001: " in r.stderr
    assert r.stderr.rstrip().endswith("load stopped, 2000 rows kept in pk")
    assert r.stdout.splitlines()[-1] == "2000,2000"


def test_an_unexpected_failure_ends_the_loads_transaction(tmp_path, monkeypatch):
    import io

    from pyqivrexdb.shell import load, session
    from pyqivrexdb.shell.db import Database

    def fail(*args):
        raise RuntimeError("reader broke")

    database = Database(str(tmp_path / "u.db"))
    sh = session.Shell(database, out=io.StringIO(), err=io.StringIO())
    sh.run_text("create table u (id integer);\n")
    path = tmp_path / "u.csv"
    path.write_text("1\n")
    monkeypatch.setattr(load, "csv_rows", fail)
    with pytest.raises(RuntimeError):
        load.command(sh, ["u", str(path)])
    # statements run on their own again: nothing waits for a commit
    assert not database.conn.in_transaction and database.conn.autocommit
    database.close()


@pytest.mark.parametrize("read_bytes", [3, 4, 7, 16, 1 << 20])
def test_the_rows_do_not_depend_on_how_much_a_read_takes(tmp_path, monkeypatch, read_bytes):
    # Reads shorter than a record (the one of 42 bytes too) carry it over
    # into the next, the buffer growing for it.
    import io

    from pyqivrexdb.shell import load, session
    from pyqivrexdb.shell.db import Database

    monkeypatch.setattr(load, "READ_BYTES", read_bytes)
    database = Database(str(tmp_path / "r.db"))
    sh = session.Shell(database, out=io.StringIO(), err=io.StringIO())
    assert sh.run_text("create table r (id integer, name varchar(40));\n")
    path = tmp_path / "r.csv"
    path.write_bytes(('\ufeffid,name\n1,"a\nb"\n2,"%s"\n3,"x""y"\n\n4,\n' % ("z" * 37)).encode())
    load.command(sh, ["r", str(path)])
    assert database.rows("select id, name from r order by id;") == [
        (1, "a\nb"), (2, "z" * 37), (3, 'x"y'), (4, None)]
    database.close()
