"""qivrex --version: the driver, the embedded engine's SQLite and the Python,
from the console script an installed package brings and from python -m."""
import importlib.metadata
import pathlib
import platform
import subprocess
import sys

import pytest

from pyqivrexdb import dbapi
from pyqivrexdb._version import version
from pyqivrexdb.shell import main, versions


def engine_sqlite():
    with dbapi.connect(":memory:") as conn:
        cur = conn.cursor()
        cur.execute("select sqlite_version()")
        return cur.fetchone()[0]


def test_versions_name_driver_engine_and_python():
    assert versions() == "pyqivrexdb %s (embedded engine: SQLite %s) on Python %s" % (
        version, engine_sqlite(), platform.python_version())


@pytest.mark.parametrize("argv", [["--version"], ["--version", "sales.db"]])
def test_version_answers_before_the_dsn_is_read(argv, capsys):
    with pytest.raises(SystemExit) as done:
        main(argv)
    assert done.value.code == 0
    assert capsys.readouterr().out == versions() + "\n"


def test_console_script_is_the_shell():
    found = [e for e in importlib.metadata.entry_points(group="console_scripts") if e.name == "qivrex"]
    if not found:
        pytest.skip("the package is not installed (a development build)")
    assert found[0].load() is main


def test_python_m_names_the_engine_too():
    done = subprocess.run([sys.executable, "-m", "pyqivrexdb", "--version"], capture_output=True, text=True,
                          timeout=60, cwd=pathlib.Path(versions.__code__.co_filename).parents[2])
    assert done.returncode == 0, done.stderr
    assert "SQLite %s" % engine_sqlite() in done.stdout
