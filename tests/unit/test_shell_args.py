"""The shell's command line: --version and --help answer without a database."""
import pathlib
import subprocess
import sys

import pytest

import pyqivrexdb
from pyqivrexdb._version import version


def shell(*args):
    # From the folder that holds the package under test: -m finds it there.
    return subprocess.run([sys.executable, "-m", "pyqivrexdb", *args], capture_output=True, text=True,
                          timeout=60, cwd=pathlib.Path(pyqivrexdb.__file__).parents[1])


def test_version_names_the_package_and_python():
    done = shell("--version")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[:2] == ["pyqivrexdb", version]


@pytest.mark.parametrize("form", ["sales.db", ":memory:", "postgresql://", "host=", "-c"])
def test_help_shows_an_example_of_each_dsn_form(form):
    done = shell("--help")
    assert done.returncode == 0, done.stderr
    assert form in done.stdout.split("data source names")[1]
