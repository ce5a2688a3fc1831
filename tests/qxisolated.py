"""Running Python code in a fresh interpreter, for cases that need another
client library under the bare name (or none at all), or a package laid out
differently: a process can hold only one library of that name.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pyqivrexdb

TESTS = Path(__file__).resolve().parent
# Keeps the current folder off sys.path (Python 3.11 on); the code runs in
# the folder it imports from anyway.
SAFE_PATH = ["-P"] if sys.version_info >= (3, 11) else []


def copy_package(dest, drop=(), replace=None):
    """A copy of the package under test in ``dest``/pyqivrexdb, without any
    client library beside the module. ``drop`` names files left out,
    ``replace`` maps file names to new contents. Returns ``dest``."""
    target = Path(dest) / "pyqivrexdb"
    target.mkdir(parents=True)
    for entry in os.scandir(Path(pyqivrexdb.__file__).parent):
        if entry.name.startswith("libqscli") or entry.name in drop or not entry.is_file():
            continue
        shutil.copyfile(os.path.realpath(entry.path), target / entry.name)
    for name, text in (replace or {}).items():
        (target / name).write_text(textwrap.dedent(text))
    return Path(dest)


def run(code, path, env=None):
    """Runs ``code`` with ``path`` (and the tests folder) importable; returns
    the completed process (stdout and stderr as text)."""
    environ = dict(os.environ)
    environ.pop("LD_LIBRARY_PATH", None)
    environ["PYTHONPATH"] = os.pathsep.join([str(path), str(TESTS)])
    environ.update(env or {})
    return subprocess.run([sys.executable, *SAFE_PATH, "-c", textwrap.dedent(code)], env=environ,
                          capture_output=True, text=True, timeout=120, cwd=path)


def check(code, path, env=None):
    """As run(), and the code must succeed; returns its stdout."""
    done = run(code, path, env)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout
