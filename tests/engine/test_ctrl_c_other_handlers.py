"""Ctrl-C while another library's SIGINT handler shares the chain with ours.

Such libraries (some at import) put their handler in front of the one in
place and call the one they found; ours, re-armed on the next call, then runs
in front of theirs. Each case runs in a process of its own: the handlers it
leaves behind must not reach later tests."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

OTHER_LIBRARY = r"""
#include <signal.h>
#include <string.h>
static struct sigaction found;
static volatile sig_atomic_t runs;
/* Calls the handler it found, as a library that chains does. */
static void chaining(int sig, siginfo_t* info, void* context) {
    runs++;
    if (found.sa_flags & SA_SIGINFO) found.sa_sigaction(sig, info, context);
    else if (found.sa_handler != SIG_DFL && found.sa_handler != SIG_IGN) found.sa_handler(sig);
}
/* Keeps the signal to itself. */
static void keeping(int sig, siginfo_t* info, void* context) { runs++; }
int install(int chain) {
    struct sigaction a;
    memset(&a, 0, sizeof a);
    sigemptyset(&a.sa_mask);
    a.sa_flags = SA_SIGINFO | SA_RESTART;
    a.sa_sigaction = chain ? chaining : keeping;
    return sigaction(SIGINT, &a, &found);
}
int restore(void) { return sigaction(SIGINT, &found, 0); }
int count(void) { return runs; }
"""

SCRIPT = textwrap.dedent("""
    import ctypes, os, signal, sys, time
    from pyqivrexdb import dbapi
    other = ctypes.CDLL(sys.argv[1])
    chain, restore = int(sys.argv[2]), int(sys.argv[3])
    conn = dbapi.connect(sys.argv[4])
    def call():
        time.sleep(0.15)  # the handler in place is looked at again after 100 ms
        conn.cursor().execute("select 1").fetchall()
    call()
    other.install(chain)
    call()
    if restore:
        other.restore()
    for attempt in (1, 2):
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.2)
            sys.exit("Ctrl-C %d lost" % attempt)
        except KeyboardInterrupt:
            pass
        if other.count() != attempt:
            sys.exit("the other handler ran %d times for %d Ctrl-C" % (other.count(), attempt))
        call()
""")


@pytest.fixture(scope="module")
def other_library(tmp_path_factory):
    cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
    if not shutil.which(cc):
        pytest.skip("no C compiler to build a library with a handler of its own")
    folder = tmp_path_factory.mktemp("other")
    (folder / "other.c").write_text(OTHER_LIBRARY)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(folder / "other.so"), str(folder / "other.c")], check=True)
    return str(folder / "other.so")


@pytest.mark.parametrize("chain, restore", [
    (1, 0),  # found ours and calls it back: ours must not run it again
    (0, 0),  # keeps the signal to itself
    (0, 1),  # put back the handler it found, ours, which still runs theirs
], ids=["chains-back-to-ours", "keeps-it", "put-ours-back"])
def test_a_ctrl_c_stays_a_keyboard_interrupt_past_another_librarys_handler(other_library, tmp_path, chain, restore):
    run = subprocess.run([sys.executable, "-c", SCRIPT, other_library, str(chain), str(restore),
                          str(tmp_path / "db.sqlite")], capture_output=True, text=True, timeout=60,
                         preexec_fn=lambda: __import__("signal").signal(2, __import__("signal").SIG_DFL))
    assert run.returncode == 0, run.stderr[-2000:]


def test_polars_imported_after_the_first_call_leaves_ctrl_c_a_keyboard_interrupt(tmp_path):
    pytest.importorskip("polars")
    code = textwrap.dedent("""
        import os, signal, sys, time
        from pyqivrexdb import dbapi
        conn = dbapi.connect(sys.argv[1])
        conn.cursor().execute("select 1")
        import polars
        for attempt in (1, 2):
            time.sleep(0.15)
            conn.cursor().execute("select 1")
            try:
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.2)
                sys.exit("Ctrl-C lost")
            except KeyboardInterrupt:
                pass
    """)
    run = subprocess.run([sys.executable, "-c", code, str(tmp_path / "db.sqlite")], capture_output=True,
                         text=True, timeout=60,
                         preexec_fn=lambda: __import__("signal").signal(2, __import__("signal").SIG_DFL))
    assert run.returncode == 0, (run.returncode, run.stderr[-2000:])
