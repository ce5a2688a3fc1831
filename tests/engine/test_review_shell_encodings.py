"""The shell's .load --encoding with encodings whose line ends are more than
one byte (spreadsheets save "Unicode text" as UTF-16)."""
import pytest

from shellrun import shell


@pytest.mark.parametrize("encoding", ["utf-16", "utf-16-le", "utf-16-be", "utf-32"])
def test_load_reads_a_file_in_a_wide_encoding(tmp_path, encoding):
    db = tmp_path / "db.sqlite"
    path = tmp_path / "wide.csv"
    path.write_bytes("name,n\nZoë,1\n日本語上,2\n".encode(encoding))
    shell(db, "create table w(name varchar(10), n integer)")
    done = shell(db, ".load --encoding %s w %s" % (encoding, path))
    assert done.returncode == 0, done.stderr
    got = shell(db, ".mode csv", ".headers off", "select name, n from w order by n").stdout
    assert got.splitlines() == ["Zoë,1", "日本語上,2"]


@pytest.mark.parametrize("encoding, bad", [
    ("utf-16-le", b"\x00\xdc"),  # a low surrogate alone
    ("utf-32", b"\x00\x00\x11\x00"),  # past U+10FFFF
    ("cp1251", b"\x98"),  # the one byte it has no letter for
])
def test_load_names_the_line_of_a_text_its_encoding_cannot_read(tmp_path, encoding, bad):
    db = tmp_path / "db.sqlite"
    path = tmp_path / "bad.csv"
    # U+4E0A has a b"\n" byte in UTF-16 and UTF-32
    head = ("name,n\n%s,1\n" % ("上" if encoding.startswith("utf") else "Ж")).encode(encoding)
    path.write_bytes(head + bad + "\n".encode(encoding)[-len(bad):])
    shell(db, "create table w(name varchar(10), n integer)")
    done = shell(db, ".load --encoding %s w %s" % (encoding, path))
    assert done.returncode != 0
    assert "line 3:" in done.stderr and "is not %s text" % encoding in done.stderr
