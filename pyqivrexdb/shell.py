"""A SQL shell over pyqivrexdb.

    python -m pyqivrexdb DSN [-u USER] [-p PASSWORD] [-c STATEMENT]...

Statements end with ";". Lines that begin with "." are shell commands; see
".help". With -c the given statements run in order and nothing is read from
standard input; otherwise statements are read at a prompt when standard input
is a terminal, or from standard input as it comes.
"""

import argparse
import csv
import datetime
import sys

from . import Error, connect, qxcore

PROMPT, MORE = "qx> ", "...> "
LOAD_CHUNK = 10000  # rows per addrecords call while loading a file

HELP = """\
Statements end with ";" and may span lines. Commands:
  .tables             list the tables
  .load TABLE FILE    load a CSV file into TABLE (a header line of field names is skipped)
  .help               show this text
  .quit               leave (also .exit or end of input)"""


class CommandError(Exception):
    """A shell command that cannot be carried out, with the message to show."""


def _text(value):
    """A value as it is shown in a table."""
    if value is None:
        return "NULL"
    if isinstance(value, str):
        # CHAR fields come padded: the text, a zero byte, then blanks.
        return value.split("\0", 1)[0].rstrip(" ")
    if isinstance(value, bytes):
        return value.decode("ascii", "replace")
    if isinstance(value, datetime.date):
        return value.isoformat()
    return str(value)


def format_table(names, rows):
    """Rows under their column names, aligned; numbers to the right."""
    cells = [[_text(v) for v in row] for row in rows]
    widths = [len(n) for n in names]
    for row in cells:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))
    numeric = [bool(rows) and all(isinstance(r[i], (int, float)) and not isinstance(r[i], bool)
                                  for r in rows if r[i] is not None)
               for i in range(len(names))]
    lines = [" | ".join(n.ljust(w) for n, w in zip(names, widths)).rstrip(),
             "-+-".join("-" * w for w in widths)]
    for row in cells:
        lines.append(" | ".join(c.rjust(w) if num else c.ljust(w)
                                for c, w, num in zip(row, widths, numeric)).rstrip())
    lines.append("(%d row%s)" % (len(rows), "" if len(rows) == 1 else "s"))
    return "\n".join(lines)


def _converter(type_code):
    """The function that turns CSV text into a value of an element type."""
    et = qxcore
    if type_code in (et.QSCLI_ET_CHAR, et.QSCLI_ET_ARRA):
        return str, "text"
    if type_code in (et.QSCLI_ET_BYTE, et.QSCLI_ET_INTR, et.QSCLI_ET_WORD, et.QSCLI_ET_NMBR,
                     et.QSCLI_ET_LONG, et.QSCLI_ET_DWRD):
        return lambda s: int(s.strip()), "an integer"
    if type_code in (et.QSCLI_ET_FLOA, et.QSCLI_ET_CURR, et.QSCLI_ET_DFLT):
        return lambda s: float(s.strip()), "a number"
    if type_code == et.QSCLI_ET_DATE:
        return lambda s: datetime.date.fromisoformat(s.strip()), "a date (YYYY-MM-DD)"
    raise CommandError("field type %r cannot be loaded" % (type_code,))


class Shell:
    def __init__(self, conn, out=None, err=None):
        self.conn = conn
        self.out = out or sys.stdout
        self.err = err or sys.stderr
        # err_to_user: the server explains a failed statement in a message
        self.cursor = conn.cursor(True)
        self.messages = []
        conn.send_callback(self._server_message)
        conn.usersend_callback(self._user_message)

    # -- output ---------------------------------------------------------------

    def _server_message(self, message):
        # Held until the statement ends: a failed one is explained by them.
        self.messages.append(message)

    def _user_message(self, message, usertype):
        print("message %d: %s" % (usertype, message), file=self.err, flush=True)

    def error(self, exc):
        if self.messages and isinstance(exc, Error):
            text = "; ".join(self.messages)
            print(text if text.lower().startswith("error") else "error: " + text, file=self.err, flush=True)
            self.messages = []
            return
        self.flush_messages()
        text = str(exc) or type(exc).__name__
        if not isinstance(exc, CommandError):
            text = "%s: %s" % (type(exc).__name__, text)
        print("error: %s" % text, file=self.err, flush=True)

    def flush_messages(self):
        for message in self.messages:
            print("server: %s" % message, file=self.err)
        self.messages = []
        self.err.flush()

    # -- running --------------------------------------------------------------

    def run(self, text):
        """Runs one statement or command; False when it failed. Raises
        SystemExit for .quit."""
        text = text.strip()
        if not text:
            return True
        self.messages = []
        try:
            if text.startswith("."):
                self.command(text)
            else:
                self.statement(text)
        except Exception as exc:  # every failure is one line, and the shell goes on
            self.error(exc)
            return False
        finally:
            self.flush_messages()
        return True

    def statement(self, sql):
        cur = self.cursor
        cur.execute(sql)
        value = cur.retcode()
        self.flush_messages()
        if cur.description:
            names = [d.name for d in cur.description]
            print(format_table(names, cur.fetchall()), file=self.out)
        if value is not None:
            print("return value: %s" % _text(value), file=self.out)
        self.out.flush()

    def command(self, line):
        words = line.split()
        name, args = words[0].lower(), words[1:]
        if name in (".quit", ".exit"):
            raise SystemExit(0)
        if name == ".help":
            print(HELP, file=self.out)
        elif name == ".tables":
            self.cursor.execute("select name from sqlite_master where type='table' order by name")
            for (table,) in self.cursor.fetchall():
                print(_text(table), file=self.out)
        elif name == ".load":
            if len(args) != 2:
                raise CommandError("usage: .load TABLE FILE")
            self.load(*args)
        else:
            raise CommandError("unknown command %s (see .help)" % words[0])
        self.out.flush()

    # -- loading --------------------------------------------------------------

    def fields(self, table):
        """(name, type code, converter, what it expects) for each field of a table."""
        self.cursor.execute('select * from QXTBLSTRUCT("%s");' % table)
        found = [(_text(row[2]), row[3]) for row in self.cursor.fetchall()]
        if not found:
            raise CommandError("table %s has no fields (does it exist?)" % table)
        return [(name, code) + _converter(code) for name, code in found]

    def load(self, table, path):
        fields = self.fields(table)
        names = [f[0].lower() for f in fields]
        loaded = 0
        progress = self.err.isatty()
        try:
            with open(path, newline="", encoding="utf-8-sig") as f:
                reader = csv.reader(f)
                chunk = []
                for row in reader:
                    if not row or (reader.line_num == 1 and [c.strip().lower() for c in row] == names):
                        continue
                    chunk.append(self._convert(row, fields, path, reader.line_num))
                    if len(chunk) == LOAD_CHUNK:
                        self.conn.addrecords(table, chunk, self.cursor)
                        loaded += len(chunk)
                        chunk = []
                        if progress:
                            print("\rloaded %d rows" % loaded, end="", file=self.err, flush=True)
                if chunk:
                    self.conn.addrecords(table, chunk, self.cursor)
                    loaded += len(chunk)
        except OSError as exc:
            raise CommandError("%s: %s" % (path, exc.strerror or exc)) from None
        except Exception as exc:
            # addrecords tells how much of its own call went in
            loaded += getattr(exc, "rows_sent", 0)
            if loaded:
                raise CommandError("%s (%d rows had been loaded)" % (_describe(exc), loaded)) from None
            raise
        finally:
            if progress and loaded >= LOAD_CHUNK:
                print(file=self.err)
        print("loaded %d row%s into %s" % (loaded, "" if loaded == 1 else "s", table), file=self.out)

    def _convert(self, row, fields, path, line):
        if len(row) != len(fields):
            raise CommandError("%s line %d: %d values, the table has %d fields"
                               % (path, line, len(row), len(fields)))
        values = []
        for cell, (name, _, convert, expected) in zip(row, fields):
            try:
                values.append(convert(cell))
            except ValueError:
                raise CommandError("%s line %d: %r for field %s is not %s"
                                   % (path, line, cell, name, expected)) from None
        return values


def _describe(exc):
    if isinstance(exc, CommandError):
        return str(exc)
    return "%s: %s" % (type(exc).__name__, exc)


def read_statements(stream, interactive):
    """Statements and commands from a stream of lines: a command is one line,
    a statement runs up to the line that ends with ";"."""
    buffer = []
    while True:
        if interactive:
            try:
                line = input(MORE if buffer else PROMPT)
            except EOFError:
                print()
                break
            except KeyboardInterrupt:
                print()
                buffer = []
                continue
        else:
            line = stream.readline()
            if not line:
                break
        if not buffer and line.lstrip().startswith("."):
            yield line
            continue
        if buffer or line.strip():
            buffer.append(line.rstrip("\n"))
        if buffer and buffer[-1].rstrip().endswith(";"):
            yield "\n".join(buffer)
            buffer = []
    if buffer:
        yield "\n".join(buffer)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m pyqivrexdb", description="SQL shell for Qivrex.")
    parser.add_argument("dsn", help="the server (or database) to connect to")
    parser.add_argument("-u", "--user", default="", help="user name")
    parser.add_argument("-p", "--password", default="", help="password")
    parser.add_argument("-c", "--command", action="append", metavar="STATEMENT",
                        help="run STATEMENT (or a .command) instead of reading input; repeatable")
    args = parser.parse_args(argv)

    try:
        conn = connect(args.dsn, args.user, args.password)
    except Exception as exc:
        print("error: cannot connect to %s: %s" % (args.dsn, exc), file=sys.stderr)
        return 1
    interactive = not args.command and sys.stdin.isatty()
    failed = False
    try:
        shell = Shell(conn)
        if interactive:
            try:
                import readline  # noqa: F401  (line editing and history at the prompt)
            except ImportError:
                pass
            print('Connected to %s. Statements end with ";"; .help for help.' % args.dsn)
        for text in args.command or read_statements(sys.stdin, interactive):
            try:
                failed |= not shell.run(text)
            except KeyboardInterrupt:
                if not interactive:
                    raise
                print("interrupted", file=sys.stderr)
    except SystemExit as exc:
        if exc.code:
            raise
    except KeyboardInterrupt:
        return 130
    except Exception as exc:
        print("error: %s" % _describe(exc), file=sys.stderr)
        return 1
    finally:
        try:
            conn.close()
        except Exception:
            pass
    return 1 if failed and not interactive else 0
