"""The shell's state and what each statement or command does."""

import os
import shlex
import sys
import time

from .. import Error
from . import copyin, dump, load, output
from .catalog import catalog
from .split import COMMAND_MARKS, GO, Splitter

HELP = """\
Statements end with ";" and may span lines; several may share a line. Commands:
  .tables                 list the tables and views
  .indexes [TABLE]        list the indexes, of every table or of one
  .schema [TABLE...]      show the definitions of every object, or of the tables named
                          and their indexes and triggers
  .dump [TABLE...]        write SQL that makes the database, or the tables named, again
  .import [OPTIONS] FILE TABLE
                          load a CSV file into TABLE, made from the file's header when
                          missing (.import --help for the options)
  .load [OPTIONS] TABLE FILE
                          the same into a table that exists (.load --help)
  .read FILE              run the statements and commands of a file
  .mode MODE [TABLE]      how results are printed (now: %(mode)s): aligned, table, box,
                          markdown, csv, json, line, or insert (INSERTs into TABLE)
  .nullvalue TEXT         how NULL is shown (now: %(null)s)
  .width [N...]           the least width of each column, in order
  .once FILE              print the next statement's results to FILE
  .headers on|off         column names above results (now: %(headers)s)
  .output [FILE]          print results to FILE, or back to standard output
  .timer on|off           show how long each statement took (now: %(timer)s)
  .bail on|off            stop at the first error (now: %(bail)s)
  .echo on|off            print each statement and command before it runs
  .expanded on|off        each row as lines of "column | value" (now: %(expanded)s)
  .pager on|off           results taller than the terminal through $PAGER (at a terminal;
                          now: %(pager)s)
  .show                   the settings, and the last error with its code
  .help                   show this text
  .quit                   leave (also .exit or end of input)
psql's \\q \\? \\d [TABLE] \\dt \\di \\i \\o \\x and \\timing do what their commands above do;
\\g [FILE] runs the statement typed before it (no ";" needed), or the last one again,
its results to FILE."""


class CommandError(Exception):
    """A shell command that cannot be carried out, with the message to show."""


class Bail(Exception):
    """Stops the run after an error while .bail is on."""


def lines(text):
    """The lines of a text, each with its "\n": a carriage return, a form
    feed or another of Unicode's line breaks inside a literal or COPY data
    is part of the value, never the end of a line."""
    parts = text.split("\n")
    return [p + "\n" for p in parts[:-1]] + ([parts[-1]] if parts[-1] else [])


def _switch(args, name):
    if len(args) != 1 or args[0].lower() not in ("on", "off"):
        raise CommandError("usage: %s on|off" % name)
    return args[0].lower() == "on"


class Shell:
    def __init__(self, db, out=None, err=None, bail=False):
        self.db = db
        self.stdout = out or sys.stdout
        self.out = self.stdout
        self.err = err or sys.stderr
        self.mode, self.headers, self.timer, self.bail = "aligned", True, False, bail
        self.style = output.Style()
        self.style.dialect = db.dialect
        self.once = None  # the file the next statement's results go to
        self.failed = False
        self.echo = False
        self.expanded = False
        self.pager = False  # at a terminal: results taller than it go through a pager
        self.last_error = None  # (code, text) of the last error shown
        self.reading = []  # the files .read is in, innermost last
        self.last_query = None  # the statement run last, which a \\g of no statement runs again
        db.on_messages(self._server_message, self._user_message)

    # -- messages and errors ---------------------------------------------------

    def _server_message(self, message):
        print("server: %s" % message, file=self.err, flush=True)

    def _user_message(self, message, usertype):
        print("message %d: %s" % (usertype, message), file=self.err, flush=True)

    def report(self, exc, where=None):
        """Shows an error, after the file and line of the statement when
        it came from a file (or standard input); its code stays for .show."""
        text = describe(exc)
        self.last_error = (getattr(exc, "error_code_qivrex", None), text)
        if where is not None:
            text = "%s line %d: %s" % (where[0], where[1], text)
        print("error: " + text, file=self.err, flush=True)

    # -- running ---------------------------------------------------------------

    def run_text(self, text, source=None, rows=None):
        """Runs every statement and command of a text; False if one failed.
        Errors name `source` (a file name) and the line, when given. A COPY
        FROM stdin that ends the text reads its rows from `rows`."""
        return self.run_lines(lines(text), source, rows)

    def run_lines(self, lines, source=None, rows=None):
        """Runs the statements and commands of lines as they come."""
        splitter = Splitter(self.db.dialect)
        ok = True
        lines = iter(lines)
        for line in lines:
            for item, at in splitter.feed_located(line):
                ok &= self.run_item(item, lines, source and (source, at), rows)
        for item, at in splitter.end_located():
            ok &= self.run_item(item, lines, source and (source, at), rows)
        return ok

    def run_item(self, item, lines=(), where=None, rows=None):
        """Runs a statement or command. A COPY FROM stdin reads its rows
        from the `lines` after it, up to a line "\\." or their end; when
        none follow (-c "copy t from stdin"), from `rows` (standard input,
        as psql reads them)."""
        copy = copyin.target(item) if self.db.dialect != "engine" else None
        if copy is None:
            return self.run(item, where)
        data, ended = copyin.block(lines)
        if not data and not ended and rows is not None:
            if rows.isatty():
                print(copy.hint, file=self.err, flush=True)
            data, ended = copyin.block(rows)
        return self.run_copy(copy, data if data or ended else None, where)

    def run_copy(self, copy, data, where=None):
        """Loads the rows of a COPY FROM stdin block, all of them or none:
        in a transaction of its own, or a savepoint of the one open. No rows
        at all (None: not even an end line) is an error, never a load of
        nothing."""
        def load():
            if copy.error:
                raise CommandError(copy.error)
            if data is None:
                raise CommandError("COPY %s FROM stdin: no rows followed it, nor a line \\. ending them"
                                   % copy.into)
            began = self.db.begin()
            if not began:
                self.db.execute("savepoint qx_copy;")
            try:
                for sql in copyin.inserts(copy, data):
                    self.db.execute(sql)
            except BaseException:
                if began:
                    self.db.conn.rollback()
                    self.db.conn.autocommit = True
                else:
                    self.db.execute("rollback to savepoint qx_copy;")
                    self.db.execute("release savepoint qx_copy;")
                raise
            self.db.end() if began else self.db.execute("release savepoint qx_copy;")
        return self.run(load, where)

    def run(self, item, where=None):
        """Runs one statement or command; False when it failed. `where`:
        (file name, line) of the item, for its error. Raises SystemExit for
        .quit, Bail after a failure while .bail is on, and KeyboardInterrupt
        when interrupted."""
        started = time.perf_counter()
        command = callable(item) or item.startswith(COMMAND_MARKS)
        if self.echo and not callable(item):
            print(item, file=self.out)
        try:
            if callable(item):
                item()
            elif command:
                self.command(item)
            else:
                self.statement(item)
        except BrokenPipeError:  # the reader of our output went away
            raise
        except (CommandError, Error, OSError, ValueError, load.LoadError) as exc:
            self.report(exc, where)
            self.failed = True
            if self.bail:
                raise Bail() from None
            return False
        finally:
            self.out.flush()
            if self.timer and (not command or item.split(None, 1)[0].lower() == GO):
                print("time: %.3f s" % (time.perf_counter() - started), file=self.err, flush=True)
        return True

    def go(self, query, args):
        """psql's \\g [FILE]: runs `query` (the statement it ended), or
        the statement run last when it ended none; its results go to FILE."""
        if len(args) > 1 or args and args[0].startswith("|"):
            raise CommandError("usage: \\g [FILE]")
        query = query.strip() or self.last_query
        if not query:
            raise CommandError("\\g: there is no statement to run")
        if args:
            self.do_once(args)
        try:
            self.statement(query)
        finally:
            if args and self.once is not None:  # the statement failed before its results
                self.once.close()
                self.once = None

    def statement(self, sql):
        self.last_query = sql
        result = self.db.execute(sql)
        out, self.once = self.once or self.out, None
        if out is self.stdout and self.pager and out.isatty():
            out = output.Paged(out)
        try:
            if result.names is not None:
                self.style.headers = self.headers
                expanded = self.expanded and self.mode in ("aligned", "table", "box", "markdown")
                printer = output.ExpandedPrinter if expanded else output.PRINTERS[self.mode]
                printer(out, self.style).result(result.names, result.pages())
            if result.changed is not None:
                print("(%d row%s changed)" % (result.changed, "" if result.changed == 1 else "s"), file=out)
            # A statement that changes rows returns their number: said once.
            if result.value is not None and result.value != result.changed:
                print("return value: %s" % output.text(result.value), file=out)
        finally:
            if out is not self.out:
                out.close()

    # -- commands --------------------------------------------------------------

    def command(self, line):
        given, rest = (line.split(None, 1) + [""])[:2]
        try:
            args = shlex.split(rest)
        except ValueError as exc:
            raise CommandError("%s: %s" % (given, exc)) from None
        name = given.lower()
        if name == GO:
            return self.go(getattr(line, "query", ""), args)
        if name.startswith("\\"):
            name, args = _backslash(name, args, self)
        handler = getattr(self, "do_" + name[1:], None) if name[1:].isidentifier() else None
        if handler is None:
            raise CommandError("unknown command %s (see .help)" % given)
        handler(args)

    def do_quit(self, args):
        raise SystemExit(0)

    do_exit = do_quit

    def do_help(self, args):
        print(HELP % {"mode": self.mode, "null": self.style.null, "expanded": _onoff(self.expanded),
                      "pager": _onoff(self.pager), "headers": _onoff(self.headers), "timer": _onoff(self.timer),
                      "bail": _onoff(self.bail)}, file=self.out)

    def do_tables(self, args):
        for name in sorted(o.name for o in catalog(self.db).objects(kinds=("table", "view"))):
            print(name, file=self.out)

    def do_indexes(self, args):
        for name in sorted(o.name for o in catalog(self.db).objects(kinds=("index",), tables=_names(args))):
            print(name, file=self.out)

    do_indices = do_indexes

    def do_schema(self, args):
        found = catalog(self.db).objects(tables=_names(args))
        if args and not any(o.kind in ("table", "view") for o in found):
            raise CommandError("no such table: %s" % " ".join(args))
        for o in found:
            sql = o.sql.rstrip()
            print(sql if sql.endswith(";") else sql + ";", file=self.out)

    def do_dump(self, args):
        dump.command(self, args)

    def do_mode(self, args):
        if not args or args[0].lower() not in output.MODES or len(args) > (2 if args[0].lower() == "insert" else 1):
            raise CommandError("usage: .mode %s [TABLE]" % "|".join(output.MODES))
        self.mode = args[0].lower()
        if self.mode == "insert":
            self.style.table = args[1] if len(args) > 1 else "table"

    def do_expanded(self, args):
        self.expanded = _switch(args, ".expanded")

    def do_pager(self, args):
        self.pager = _switch(args, ".pager")

    def names(self):
        """Tables, views and their columns, for completion."""
        cat = catalog(self.db)
        found = [o.name for o in cat.objects(kinds=("table", "view"))]
        cols = self.db.rows(_COLUMN_NAMES[self.db.dialect])
        return sorted(set(found + [r[0] for r in cols]))

    def do_nullvalue(self, args):
        if len(args) != 1:
            raise CommandError("usage: .nullvalue TEXT")
        self.style.null = args[0]

    def do_width(self, args):
        try:
            self.style.widths = tuple(int(a) for a in args)
        except ValueError:
            raise CommandError("usage: .width [N...]") from None

    def do_once(self, args):
        if len(args) != 1:
            raise CommandError("usage: .once FILE")
        if self.once is not None:
            self.once.close()
        self.once = open(args[0], "w", encoding="utf-8")

    def do_headers(self, args):
        self.headers = _switch(args, ".headers")

    def do_timer(self, args):
        self.timer = _switch(args, ".timer")

    def do_bail(self, args):
        self.bail = _switch(args, ".bail")

    def do_output(self, args):
        if len(args) > 1:
            raise CommandError("usage: .output [FILE]")
        target = open(args[0], "w", encoding="utf-8") if args else self.stdout
        if self.out is not self.stdout:
            self.out.close()
        self.out = target

    def do_read(self, args):
        if len(args) != 1:
            raise CommandError("usage: .read FILE")
        with open(args[0], encoding="utf-8", newline="\n", errors="surrogateescape") as f:
            text = f.read()
        self.reading.append(args[0])
        try:
            self.run_text(text, args[0])
        finally:
            self.reading.pop()

    def do_echo(self, args):
        self.echo = _switch(args, ".echo")

    def do_show(self, args):
        """The settings, and the last error with the library's code."""
        shown = [("mode", self.mode), ("headers", _onoff(self.headers)), ("timer", _onoff(self.timer)),
                 ("bail", _onoff(self.bail)), ("echo", _onoff(self.echo)),
                 ("output", "stdout" if self.out is self.stdout else getattr(self.out, "name", "?"))]
        if self.last_error is not None:
            code, text = self.last_error
            shown.append(("last error", text if code is None else "%s (code %d)" % (text, code)))
        width = max(len(k) for k, _ in shown)
        for key, value in shown:
            print("%s: %s" % (key.rjust(width), value), file=self.out)

    def do_load(self, args):
        load.command(self, args)

    def do_import(self, args):
        load.import_command(self, args)


_COLUMN_NAMES = {
    "engine": "select distinct c.name from sqlite_master m, pragma_table_info(m.name) c "
              "where m.type in ('table', 'view');",
    "postgresql": "select distinct column_name from information_schema.columns where table_schema = current_schema();",
}


# psql's commands that have one here: (command, whether it flips a setting
# given no on|off: the setting's attribute).
_PSQL = {
    "\\q": (".quit", None), "\\?": (".help", None), "\\dt": (".tables", None), "\\di": (".indexes", None),
    "\\i": (".read", None), "\\ir": (".read", None), "\\o": (".output", None),
    "\\x": (".expanded", "expanded"), "\\timing": (".timer", "timer"),
}


def _backslash(name, args, shell):
    """The dot-command (name, args) for one of psql's: \\d TABLE shows the
    table as .schema does, \\d alone lists the tables."""
    if name == "\\d":
        return (".schema", args) if args else (".tables", [])
    if name == "\\ir" and len(args) == 1 and shell.reading:
        # relative to the file that holds it, as psql reads it
        args = [os.path.join(os.path.dirname(shell.reading[-1]), os.path.expanduser(args[0]))]
    command, flips = _PSQL.get(name, (name, None))
    if flips and not args:
        args = [_onoff(not getattr(shell, flips))]
    return command, args


def _names(args):
    return {a.lower() for a in args} or None


def _onoff(flag):
    return "on" if flag else "off"


def describe(exc):
    """One line for an error: the server's own words (its code is kept for
    .show), our own messages as they are, others with their class."""
    if isinstance(exc, (CommandError, load.LoadError)):
        return str(exc)
    said = getattr(exc, "server_text", None)
    if said:
        return said
    if isinstance(exc, OSError) and exc.filename:
        return "%s: %s" % (exc.filename, exc.strerror or exc)
    return "%s: %s" % (type(exc).__name__, exc)
