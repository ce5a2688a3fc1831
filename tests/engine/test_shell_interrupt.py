"""Ctrl-C and the interactive prompt: the shell run on a pseudo-terminal,
and SIGINT sent to it while it works."""
import os
import pty
import select
import signal
import subprocess
import sys
import time

import pytest

from conftest import cpu_seconds, wait_until_busy
from shellrun import HERE, args, env, shell

def _ctrl_c_reaches():
    """In the child: Ctrl-C stops it, also when this run ignores it (started
    in the background by a script)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


# Runs for seconds on a fast machine, so Ctrl-C sent once the shell is busy
# always finds it running.
LONG_QUERY = ("with recursive c(i) as (select 1 union all select i + 1 from c where i < 80000000) "
              "select count(*) from c;")


def _wait_until_busy(pid, seconds=0.6):
    """Waits until the shell has worked more than starting up takes, so it
    is inside the statement (a shell not yet started is killed by the signal)."""
    wait_until_busy(pid, seconds)


def _wait_for_writes(db, timeout=60):
    """Waits until a load has written a MiB of pages to the database's log:
    a load is one transaction, so no other connection sees its rows before
    its end."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if os.path.getsize(str(db) + "-wal") > 1 << 20:
                return
        except OSError:
            pass
        time.sleep(0.02)
    raise AssertionError("the load wrote nothing")


def _count(db, table):
    r = shell(db, ".mode csv", ".headers off", "select count(*) from %s;" % table)
    assert r.returncode == 0, r.stderr
    return int(r.stdout)


def test_ctrl_c_during_a_statement_exits_130(tmp_path):
    p = subprocess.Popen(args(tmp_path / "i.db", LONG_QUERY, "select 'after' as x;"), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=env(), cwd=HERE, preexec_fn=_ctrl_c_reaches)
    _wait_until_busy(p.pid)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=120)
    assert p.returncode == 130
    assert err.splitlines()[-1] == "interrupted"
    assert "after" not in out


# Rows of the file loaded: enough that a load outlasts the first progress
# line (half a second) on a fast machine.
BIG_ROWS = 10000000


@pytest.fixture(scope="module")
def big_csv(tmp_path_factory):
    path = tmp_path_factory.mktemp("csv") / "big.csv"
    with open(path, "w", encoding="utf-8") as f:
        for start in range(0, BIG_ROWS, 1000000):
            f.write("".join("%d,name %d\n" % (i, i) for i in range(start, start + 1000000)))
    return path


def _big_table(tmp_path):
    db = tmp_path / "l.db"
    r = shell(db, "create table big (id integer, name varchar(20));")
    assert r.returncode == 0, r.stderr
    return db


@pytest.mark.parametrize("piped", [False, True])
def test_ctrl_c_during_a_load_says_how_many_rows_were_kept(tmp_path, big_csv, piped):
    db = _big_table(tmp_path)
    command = ".load big %s" % big_csv
    a = args(db) if piped else args(db, command)
    p = subprocess.Popen(a, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         env=env(), cwd=HERE, preexec_fn=_ctrl_c_reaches)
    if piped:
        p.stdin.write(command + "\nselect 'after' as x;\n")
        p.stdin.flush()
    _wait_for_writes(db)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=120)
    assert p.returncode == 130, err
    said = [line for line in err.splitlines() if line.startswith("interrupted: load stopped, ")]
    assert len(said) == 1, err
    kept = int(said[0].split(", ")[1].split()[0])
    assert 0 < kept < BIG_ROWS
    assert _count(db, "big") == kept
    assert "after" not in out


class Terminal:
    """The shell on a pseudo-terminal, as a user at a prompt has it."""

    def __init__(self, argv, environ):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:  # the child: becomes the shell
            _ctrl_c_reaches()
            os.chdir(HERE)
            os.execve(sys.executable, argv, environ)
        self.seen = ""

    def expect(self, text, timeout=60):
        deadline = time.monotonic() + timeout
        while text not in self.seen:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise AssertionError("waited for %r, saw %r" % (text, self.seen[-500:]))
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                raise AssertionError("ended before %r, saw %r" % (text, self.seen[-500:]))
            self.seen += chunk.decode("utf-8", "replace")
        at = self.seen.index(text) + len(text)
        before, self.seen = self.seen[:at], self.seen[at:]
        return before

    def send(self, text):
        os.write(self.fd, text.encode())

    def wait(self):
        try:
            while os.read(self.fd, 4096):
                pass
        except OSError:
            pass
        return os.waitstatus_to_exitcode(os.waitpid(self.pid, 0)[1])


def test_prompt_completion_history_and_ctrl_c(tmp_path):
    e = env(HOME=str(tmp_path), TERM="dumb")
    term = Terminal(args(tmp_path / "p.db"), e)
    term.expect("qx> ")
    term.send("create table shelltest (id integer);\n")
    term.expect("qx> ")
    term.send("select * from shellt\t")
    term.expect("shelltest")
    term.send(";\n")
    term.expect("(0 rows)")
    term.expect("qx> ")
    # Ctrl-C while a statement runs: back at the prompt, the session usable
    term.send(LONG_QUERY + "\n")
    _wait_until_busy(term.pid, cpu_seconds(term.pid) + 0.5)
    term.send("\x03")
    term.expect("interrupted")
    term.expect("qx> ")
    # Ctrl-C while typing drops the statement begun. (Only once the line
    # editor shows the text: a signal just before it waits for input again is
    # seen only after the next key, as with any line-editing Python program.)
    term.send("select 'half")
    term.expect("half")
    time.sleep(0.2)
    term.send("\x03")
    term.expect("qx> ")
    term.send("select 2 as two;\n")
    term.expect("(1 row)")
    term.send(".quit\n")
    assert term.wait() == 0
    history = (tmp_path / ".pyqivrexdb_history").read_text(encoding="utf-8")
    assert "create table shelltest (id integer);" in history


def test_load_on_a_terminal_shows_progress_and_ctrl_c_returns_to_the_prompt(tmp_path, big_csv):
    db = _big_table(tmp_path)
    term = Terminal(args(db), env(HOME=str(tmp_path), TERM="dumb"))
    term.expect("qx> ")
    term.send(".load big %s\n" % big_csv)
    progress = term.expect("% of the file")
    assert " rows/s, " in progress
    term.send("\x03")
    said = term.expect("\n", timeout=120)
    while "load stopped" not in said:
        said = term.expect("\n", timeout=120)
    kept = int(said.split("load stopped, ")[1].split()[0])
    term.expect("qx> ")
    term.send(".mode csv\n")
    term.expect("qx> ")
    term.send("select count(*) as n from big;\n")
    term.expect("n\r\n")
    assert int(term.expect("\r\n").strip()) == kept > 0
    term.send(".quit\n")
    assert term.wait() == 0
