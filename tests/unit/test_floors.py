"""No folder of the extension includes one on a higher floor (tools/floors)."""
import os
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def test_no_include_runs_upward():
    run = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "floors"), ROOT],
                         stdout=subprocess.PIPE, universal_newlines=True)
    assert run.returncode == 0, "includes that run upward:\n" + run.stdout


def test_an_upward_include_is_found(tmp_path):
    folder = tmp_path / "src" / "pyqivrexdb" / "qxcore"
    for name, text in [("base/ref.h", '#include "../module/module.h"\n'), ("module/module.h", ""),
                       ("values/odd/x.h", ""), ("gadgets/x.h", "")]:
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text)
    run = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "floors"), str(tmp_path)],
                         stdout=subprocess.PIPE, universal_newlines=True)
    assert run.returncode == 1
    assert run.stdout.splitlines() == ["base/ref.h includes module/module.h",
                                       "gadgets/: a folder on no floor (add it to FLOORS in tools/floors)"]
