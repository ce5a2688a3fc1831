"""The shell's .load --encoding with encodings whose line ends are more than
one byte (spreadsheets save "Unicode text" as UTF-16)."""
import pytest

from shellrun import shell


@pytest.mark.xfail(strict=True, reason=(
    ".load splits the file's bytes at b'\\n' before decoding, so a UTF-16 or UTF-32 file is refused "
    "as not being its encoding"))
@pytest.mark.parametrize("encoding", ["utf-16", "utf-16-le", "utf-32"])
def test_load_reads_a_file_in_a_wide_encoding(tmp_path, encoding):
    db = tmp_path / "db.sqlite"
    path = tmp_path / "wide.csv"
    path.write_bytes("name,n\nZoë,1\n日本語,2\n".encode(encoding))
    shell(db, "create table w(name varchar(10), n integer)")
    done = shell(db, ".load --encoding %s w %s" % (encoding, path))
    assert done.returncode == 0, done.stderr
    got = shell(db, ".mode csv", ".headers off", "select name, n from w order by n").stdout
    assert got.splitlines() == ["Zoë,1", "日本語,2"]
