"""A SQL shell over pyqivrexdb.

    python -m pyqivrexdb DSN [-u USER] [-p PASSWORD] [--bail] [--echo] [--csv|--json|...]
                         [-cmd COMMAND]... [-c STATEMENT]...

Statements end with ";" (several may share a line). Lines that begin with
"." are shell commands, and a few of psql's "\\" commands too; see ".help". With -c the given statements run in
order and nothing is read from standard input; otherwise statements are
read at a prompt when standard input is a terminal, or from standard input
as it comes. The exit status is 0 when everything ran, 1 when a statement
or command failed, 130 after Ctrl-C.
"""

import argparse
import os
import sys

from .. import dbapi
# made by importing qxcore, no file of its own
from .._qxstandard import masked_dsn  # type: ignore[import-not-found]
from .._version import version
from . import prompt
from .db import Database
from .session import Bail, Shell, describe
from .split import Splitter

__all__ = ["main", "Shell"]


def _lines_at_n(stream):
    # Lines end at "\n" only, and a carriage return inside a value stays one.
    # Bytes that are not UTF-8 fail the statement that holds them, not the
    # run.
    if hasattr(stream, "reconfigure"):
        stream.reconfigure(newline="\n", errors="surrogateescape")
    return stream


class _Typed:
    """Rows of COPY FROM stdin typed at the prompt, as psql takes them."""

    def isatty(self):
        return True

    def __iter__(self):
        while True:
            try:
                yield input(">> ") + "\n"
            except EOFError:
                print()
                return


def _run_prompt(shell):
    splitter = Splitter(shell.db.dialect)
    typed = 0  # lines of the statement being typed
    while True:
        running = False
        try:
            line = input(prompt.MORE if splitter.pending else prompt.PROMPT)
            running = True
            typed += 1
            items = splitter.feed(line + "\n")
            if not splitter.pending:
                prompt.one_entry(typed)  # a statement typed over lines is one entry
                typed = 0
            for item in items:
                shell.run_item(item, rows=_Typed())
        except EOFError:
            print()
            return
        except KeyboardInterrupt:
            # stops the statement running, or drops the one being typed
            print("interrupted" if running else "", file=sys.stderr if running else sys.stdout, flush=True)
            splitter, typed = Splitter(shell.db.dialect), 0
        except Bail:
            splitter, typed = Splitter(shell.db.dialect), 0


def _connect(args):
    """The session; at a terminal, a server that wants a password nobody
    gave is asked for one without echo (as psql does)."""
    try:
        return Database(args.dsn, args.user, args.password)
    except dbapi.Error as exc:
        given = args.password or masked_dsn(args.dsn) != args.dsn
        if given or getattr(exc, "code", None) != _AUTH or not sys.stdin.isatty():
            raise
    import getpass  # asked for rarely: the shell starts without

    args.password = getpass.getpass("Password: ")
    return Database(args.dsn, args.user, args.password)


_AUTH = -23  # the library's code for a refused log-on


DSN_FORMS = """\
data source names (DSN):
  sales.db                         a database file on the embedded engine (made when missing)
  :memory:                         a database in memory on the embedded engine, gone on exit
  postgresql://ann:pw@db.example:5432/sales
                                   a PostgreSQL server, as a URI
  "host=db.example dbname=sales user=ann"
                                   a PostgreSQL server, as libpq keywords

examples:
  python -m pyqivrexdb sales.db
  python -m pyqivrexdb sales.db -c "select count(*) from clients;"
  python -m pyqivrexdb postgresql://ann@localhost/sales -p secret --bail < script.sql
"""


def versions():
    """The driver's version, the embedded engine's SQLite and the Python."""
    try:
        with dbapi.connect(":memory:") as conn:
            cur = conn.cursor()
            cur.execute("select sqlite_version()")
            engine = "embedded engine: SQLite %s" % cur.fetchone()[0]
    except Exception as exc:  # a vendor library in its place, or none loadable
        engine = "embedded engine unavailable: %s" % exc
    return "pyqivrexdb %s (%s) on Python %s" % (version, engine, sys.version.split()[0])


class _Version(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="print the versions and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(versions())
        parser.exit()


def main(argv=None):
    # The console script is qivrex; python -m pyqivrexdb runs the same.
    prog = "qivrex" if os.path.basename(sys.argv[0]) == "qivrex" else "python -m pyqivrexdb"
    parser = argparse.ArgumentParser(prog=prog, description="SQL shell for Qivrex.",
                                     epilog=DSN_FORMS, formatter_class=argparse.RawDescriptionHelpFormatter,
                                     allow_abbrev=False)
    parser.add_argument("--version", action=_Version)
    parser.add_argument("dsn", help="the server (or database) to connect to (forms below)")
    parser.add_argument("-u", "--user", default="", help="user name")
    parser.add_argument("-p", "--password", default="", help="password")
    parser.add_argument("-c", "--command", action="append", metavar="STATEMENT",
                        help="run STATEMENT (or a .command) instead of reading input; repeatable")
    parser.add_argument("-cmd", "--cmd", action="append", metavar="COMMAND", dest="first",
                        help="run COMMAND (a statement or .command) before reading input; repeatable")
    parser.add_argument("-bail", "--bail", action="store_true", help="stop at the first error")
    parser.add_argument("-echo", "--echo", action="store_true", help="print each statement before it runs")
    for mode in ("csv", "json", "box", "table", "markdown", "line"):
        parser.add_argument("-" + mode, "--" + mode, action="store_const", const=mode, dest="mode",
                            help="print results in %s mode" % mode)
    args = parser.parse_args(argv)

    # The embedded engine maps a database file into memory for fast look-ups;
    # a shell scans and prints, so it reads through the page cache and its
    # footprint stays its own whatever the file's size.
    os.environ.setdefault("QSCLI_MMAP_SIZE", "0")
    shown = masked_dsn(args.dsn)  # no password is ever printed
    try:
        db = _connect(args)
    except Exception as exc:
        print("error: cannot connect to %s: %s" % (shown, exc), file=sys.stderr)
        return 1
    interactive = not args.command and sys.stdin.isatty()
    shell = Shell(db, bail=args.bail)
    shell.echo = args.echo
    # where COPY FROM stdin finds its rows when its own text has none
    stdin = _Typed() if interactive else _lines_at_n(sys.stdin) if sys.stdin is not None else None
    if args.mode:
        shell.mode = args.mode
    try:
        for text in args.first or ():
            shell.run_text(text, rows=stdin)
        if args.command:
            for text in args.command:
                shell.run_text(text, rows=stdin)
        elif interactive:
            save = prompt.setup(shell.names)
            shell.pager = True
            print('Connected to %s. Statements end with ";"; .help for help.' % shown)
            try:
                _run_prompt(shell)
            finally:
                if save:
                    save()
        elif stdin is not None:
            shell.run_lines(stdin, "<stdin>")
    except SystemExit as exc:
        if exc.code:
            raise
    except Bail:
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr, flush=True)
        return 130
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say, and nothing
        # left to flush into the closed pipe at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as exc:
        print("error: %s" % describe(exc), file=sys.stderr)
        return 1
    finally:
        try:
            db.close()
        except Exception:
            pass
    return 1 if shell.failed and not interactive else 0
