"""The README's examples run as written, on the embedded engine, and print
what their comments say (the PostgreSQL ones need a server of the reader's)."""
import contextlib
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
RAISES = re.compile(r"^# (?:[\w.]+\.)?(\w+Error): (.*)$")
PRINTED = re.compile(r"print\(.*\)\s+# (.+)$")


def blocks():
    found = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    return [b for b in found if 'connect("postgresql://' not in b]


def runnable(block):
    """The block with each line that a '# SomeError: ...' comment follows
    made to expect that error, and the outputs its print comments promise."""
    out, expected = [], []
    lines = block.splitlines()
    for i, line in enumerate(lines):
        nxt = RAISES.match(lines[i + 1]) if i + 1 < len(lines) else None
        if nxt:
            indent = line[:len(line) - len(line.lstrip())]
            out.append("%swith _raises(%r, %r): %s" % (indent, nxt.group(1), nxt.group(2).rstrip(". "), line.strip()))
            continue
        printed = PRINTED.search(line)
        if printed:
            expected.append(printed.group(1).strip())
        out.append(line)
    return "\n".join(out), expected


@contextlib.contextmanager
def _raises(name, start):
    with pytest.raises(Exception) as caught:
        yield
    assert type(caught.value).__name__ == name
    assert str(caught.value).startswith(start.rstrip(".").rstrip())


def test_readme_is_short():
    assert len(README.read_text(encoding="utf-8").splitlines()) <= 300


def test_examples_run_and_print_what_they_say(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    names = {"_raises": _raises}
    seen = []
    for block in blocks():
        code, expected = runnable(block)
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, str(README), "exec"), names)
        seen.append(block.splitlines()[0])
        assert printed.getvalue().splitlines() == expected, block
    assert len(seen) >= 5
