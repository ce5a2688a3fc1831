"""Running python -m pyqivrexdb as a real process, for the shell tests."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def env(**extra):
    e = dict(os.environ, PYTHONIOENCODING="utf-8")
    e.update(extra)
    return e


def args(db, *commands, options=()):
    a = [sys.executable, "-m", "pyqivrexdb", str(db), *options]
    for c in commands:
        a += ["-c", c]
    return a


def shell(db, *commands, stdin=None, options=(), **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    # Run away from the source tree, so the package found is the built one.
    return subprocess.run(args(db, *commands, options=options), input=stdin, text=True,
                          encoding="utf-8", env=env(), cwd=HERE, timeout=300, **kw)
