"""The .load command: a CSV file into a table, every value whole or a
stop that says where and why, and at the end, or on any stop, exactly how
many rows the table kept."""

import codecs
import gc
import itertools
import os
import re
import tempfile
import time
from array import array

from .. import Error
from .. import qxcore as _q
from .._rowtext import csv_rows  # type: ignore[import-not-found]
from .fields import BadValue, converter, kind

_CHAR = _q.QSCLI_ET_CHAR
READ_BYTES = 1 << 20  # bytes of the file read at a time
# Bytes of records handed to the driver in one call. On a server a call is
# one COPY, whose setup costs about a millisecond: a MiB a call keeps that a
# small share (8 MiB measured no faster). The engine takes a call's records
# in batches of its own, so there a call holds fewer rows and their memory is
# reused from call to call instead of mapped afresh (measured: 40% fewer page
# faults and 4% less time than at 1 MiB, the same from 64 to 256 KiB).
SERVER_CHUNK_BYTES = 1 << 20
ENGINE_CHUNK_BYTES = 1 << 17
PROGRESS_EVERY = 0.5  # seconds between progress lines
_BOM = b"\xef\xbb\xbf"

USAGE = """\
usage: .load [--header | --no-header] [--null TEXT] [--truncate] TABLE FILE
  --header       the first line names the fields: skip it (without either option
                 it is skipped when it holds the field names)
  --no-header    the first line is data
  --null TEXT    fields holding TEXT are loaded as NULL (default: empty fields)
  --truncate     cut texts longer than their field instead of stopping
  --encoding ENC the file's encoding (default UTF-8, a byte order mark skipped)"""


class LoadError(Exception):
    """A load that stopped; the message names the file line."""


IMPORT_USAGE = """\
usage: .import [OPTIONS] FILE TABLE
  a CSV file into TABLE; a missing TABLE is made from the file's first line,
  which names its columns (each of type TEXT)
  --csv              read CSV (the only form read; for sqlite3's shell's sake)
  --separator SEP    the character between fields (default ",")
  --skip N           leave out the first N lines of the file
  --schema SCHEMA    TABLE is in SCHEMA
  and the options of .load: --header, --no-header, --null TEXT, --truncate"""


class _Options:
    header = None  # None: skip a first line of the field names
    null = ""
    truncate = False
    sep = ","
    skip = 0
    schema = None
    create = False  # a missing table is made from the header
    encoding = None  # the file's, when it is not UTF-8


def _parse(args, usage=USAGE, importing=False):
    opts, rest = _Options(), []
    it = iter(args)
    for a in it:
        if importing and a in ("--csv", "-csv"):
            pass
        elif importing and a in ("--separator", "--skip", "--schema"):
            value = next(it, None)
            if value is None:
                raise LoadError(usage)
            if a == "--separator":
                opts.sep = {"\\t": "\t", "tab": "\t"}.get(value, value)
                if len(opts.sep) != 1 or not opts.sep.isascii() or opts.sep in "\"\r\n":
                    raise LoadError(".import: the separator is one ASCII character other than a quote or a line break")
            elif a == "--skip":
                if not value.isdigit():
                    raise LoadError(usage)
                opts.skip = int(value)
            else:
                opts.schema = value
        elif a == "--header":
            opts.header = True
        elif a == "--no-header":
            opts.header = False
        elif a == "--truncate":
            opts.truncate = True
        elif a == "--encoding" or a.startswith("--encoding="):
            value = a[len("--encoding="):] if "=" in a else next(it, None)
            if not value:
                raise LoadError(usage)
            try:
                name = codecs.lookup(value).name
            except LookupError:
                raise LoadError("unknown encoding: %s" % value) from None
            opts.encoding = None if name == "utf-8" else name
        elif a == "--null":
            opts.null = next(it, None)
            if opts.null is None:
                raise LoadError(USAGE)
        elif a.startswith("--null="):
            opts.null = a[len("--null="):]
        elif a.startswith("--"):
            raise LoadError(usage)
        else:
            rest.append(a)
    if len(rest) != 2:
        raise LoadError(usage)
    return opts, rest[0], rest[1]


def command(shell, args):
    """.load TABLE FILE"""
    if args == ["--help"]:
        print(USAGE, file=shell.out)
        return
    opts, table, path = _parse(args)
    Load(shell, table, path, opts).run()


def import_command(shell, args):
    """.import FILE TABLE, as sqlite3's shell takes it."""
    if args == ["--help"]:
        print(IMPORT_USAGE, file=shell.out)
        return
    opts, path, table = _parse(args, IMPORT_USAGE, importing=True)
    opts.create = True
    # The engine's tables are the main schema's: its name adds nothing.
    if opts.schema and not (shell.db.dialect == "engine" and opts.schema.lower() == "main"):
        table = "%s.%s" % (opts.schema, table)
    Load(shell, table, path, opts).run()


def _declared_chars(decl, length):
    found = re.search(r"\(\s*(\d+)", decl or "")
    return int(found.group(1)) if found else length


# How the server counts records within its batch: the file line says more.
_RECORD = re.compile(r"record \d+: ")


def _explain(exc):
    """The server's own words for an error."""
    said = getattr(exc, "server_text", None)
    if said:
        return _RECORD.sub("", said, count=1)
    return "%s: %s" % (type(exc).__name__, exc)


class Load:
    def __init__(self, shell, table, path, opts):
        self.shell, self.db, self.table, self.path, self.opts = shell, shell.db, table, path, opts
        self.sent = 0  # rows the server accepted
        self.unsure = False  # an interrupt left `sent` unknown
        self.progress = shell.err.isatty()
        self.started = time.monotonic()
        self.shown = self.started

    def run(self):
        try:
            f = open(self.path, "rb")
        except OSError as exc:
            raise LoadError("%s: %s" % (self.path, exc.strerror or exc)) from None
        with f:
            if not self.opts.encoding:
                return self._run(f)
            with self._in_utf8(f) as g:
                self._run(g)

    def _in_utf8(self, f):
        """The file in UTF-8, the form the CSV reader takes: a temporary
        copy. The bytes are read a line at a time but decoded as one stream
        (in UTF-16 or UTF-32 a b"\\n" byte may be part of any character), and
        a text the encoding cannot read is named by its line in the text."""
        out = tempfile.TemporaryFile()
        make = codecs.getincrementaldecoder(self.opts.encoding)
        decoder, number, read = make(), 1, 0
        try:
            for raw in itertools.chain(f, (b"",)):  # b"": the end, told to the decoder
                state = decoder.getstate()
                try:
                    text = decoder.decode(raw, final=not raw)
                except UnicodeDecodeError as exc:
                    # exc.object is the bytes the decoder held, then raw.
                    at = exc.start - (len(exc.object) - len(raw))
                    before = make()
                    before.setstate(state)
                    number += before.decode(raw[:max(at, 0)]).count("\n")
                    raise LoadError("%s line %d: byte %d of the file is not %s text (%s)"
                                    % (self.path, number, read + at + 1, self.opts.encoding, exc.reason)) from None
                number += text.count("\n")
                read += len(raw)
                out.write(text.encode("utf-8", "surrogatepass"))
            out.seek(0)
        except BaseException:
            out.close()
            raise
        return out

    def _run(self, f):
        for _ in range(self.opts.skip):
            f.readline()
        self.first_line = 1 + self.opts.skip
        fields = self._fields(f)
        if not fields:
            raise LoadError("table %s has no fields (does it exist?)" % self.table)
        self.names = [name for name, _, _, _ in fields]
        self.layout = [(name, code, length) for name, code, length, _ in fields]
        try:
            utf8 = self.db.conn.text_encoding == "utf-8"
            # A text's limit in characters: in UTF-8 a field's bytes are not.
            self.limits = [(name, code, _declared_chars(decl, length) if utf8 else length)
                           for name, code, length, decl in fields]
            server = self.db.dialect != "engine"
            self.converters = [converter(code, length, self.opts.truncate, decl, utf8, server)
                               for _, code, length, decl in fields]
        except BadValue as exc:
            raise LoadError("table %s: %s" % (self.table, exc)) from None
        self.kinds = "".join(kind(code, self.opts.truncate, decl, server) for _, code, _, decl in fields)
        record = sum(length for _, _, length, _ in fields) + (len(fields) + 7) // 8  # with its null flags
        chunk = ENGINE_CHUNK_BYTES if self.db.dialect == "engine" else SERVER_CHUNK_BYTES
        self.chunk_rows = max(1, chunk // max(record, 1))
        self.file, self.size = f, os.fstat(f.fileno()).st_size
        # One transaction for the whole load, unless the user has one open:
        # a refused batch takes back only itself, so what went before stays.
        # In its own transaction the load knows what it kept without
        # counting the table (a scan of all its rows on a server).
        self.own = own = self.db.begin()
        self.before = None if own else self._count()
        stop = None
        # Rows of plain values make no cycles, but their allocations would
        # set off full collections, each of which walks every row held.
        collecting = gc.isenabled()
        gc.disable()
        try:
            self._read(f)
        except OSError as exc:
            stop = ("%s: %s" % (self.path, exc.strerror or exc), exc)
        except KeyboardInterrupt:
            if self._end(own) is not None:
                self.sent = 0
            self._stopped("interrupted", None)
            raise
        except LoadError as exc:
            stop = (str(exc), exc)
        except BaseException:
            self._end(own)  # the session goes back to statements on their own
            raise
        finally:
            if collecting:
                gc.enable()
        failed = self._end(own)
        if failed is not None:
            self.sent = 0
            if stop is None:
                stop = ("%s: %s" % (self.path, _explain(failed)), failed)
        if stop is not None:
            self._stopped(*stop)
        self._end_progress()
        print("loaded %d row%s into %s" % (self.sent, "" if self.sent == 1 else "s", self.table),
              file=self.shell.out)

    # -- reading --------------------------------------------------------------

    def _read(self, f):
        # One buffer for the whole file: what a read leaves unparsed moves to
        # its front and the next read lands behind it, so its pages are
        # touched once, not a fresh megabyte's worth every read.
        buf = bytearray(READ_BYTES)
        view = memoryview(buf)
        got = end = f.readinto(view)
        pos = len(_BOM) if buf.startswith(_BOM, 0, end) else 0
        line, final = self.first_line, False
        header = self.opts.header is not False  # the first record may be skipped
        chunk, lines = [], array("q")
        while True:
            final = got == 0
            data = view[:end]
            if header:
                first, _, after, at = self._parse(data, pos, final, line, None, chunk, lines, 1)
                if first or final:  # else its end is in the next read
                    header = False
                    if first and self._is_header(first[0]):
                        pos, line = after, at
            while not header:
                rows, at, pos, line = self._parse(data, pos, final, line, self.kinds, chunk, lines,
                                                  self.chunk_rows - len(chunk))
                chunk += rows
                lines.frombytes(at)
                if len(chunk) < self.chunk_rows:
                    break
                self._send(chunk, lines)
                chunk, lines = [], array("q")
                self._show_progress()
            if final:
                break
            rest = end - pos
            if pos:
                buf[:rest] = buf[pos:end]
            elif rest == len(buf):  # one record longer than the buffer
                buf = buf + bytes(len(buf))
                view = memoryview(buf)
            got = f.readinto(view[rest:])
            end, pos = rest + got, 0
        if chunk:
            self._send(chunk, lines)

    def _fields(self, f):
        """The table's fields; with .import, a missing table is made with
        a TEXT column for each name of the file's first line, which is
        then skipped."""
        if not self.opts.create:
            return self.db.fields(self.table)
        try:
            return self.db.fields(self.table)
        except Error:
            pass
        start = f.tell()
        head = f.readline(READ_BYTES)
        f.seek(start)
        names = csv_rows(head[len(_BOM):] if head.startswith(_BOM) else head, 0, True, self.first_line, None,
                         [], None, BadValue, 1, self.opts.sep)[0]
        if not names or not all(n.strip() for n in names[0]):
            raise LoadError("%s line %d: no column names to make table %s from" % (self.path, self.first_line,
                                                                                  self.table))
        from .catalog import quote_name
        cols = ", ".join("%s TEXT" % quote_name(n.strip()) for n in names[0])
        self.db.execute("CREATE TABLE %s (%s);" % (".".join(map(quote_name, self.table.split("."))), cols))
        self.opts.header = True
        return self.db.fields(self.table)

    def _is_header(self, record):
        return self.opts.header or [c.strip().lower() for c in record] == [n.lower() for n in self.names]

    def _parse(self, buf, pos, final, line, kinds, chunk, lines, limit):
        """csv_rows() on the buffer; a text that stops the load stops it
        after the rows before it are sent."""
        try:
            return csv_rows(buf, pos, final, line, kinds, self.converters, self.opts.null, BadValue, limit,
                            self.opts.sep)
        except BadValue as exc:
            if kinds is not None:
                chunk += exc.rows
                lines.frombytes(exc.lines)
                if chunk:
                    self._send(chunk, lines)
            field = "" if exc.field is None else ", field %s" % self.names[exc.field]
            raise LoadError("%s line %d%s: %s" % (self.path, exc.line, field, exc)) from None

    # -- sending --------------------------------------------------------------

    def _send(self, rows, lines, refused=None):
        """Loads rows; a refused batch is sent again in halves until the
        row that the server refuses is found, so the rows before it are
        kept and the error names its line. `refused`: the code, lines and
        explanation of the batch this one is half of."""
        try:
            self.db.load(self.table, rows)
        except KeyboardInterrupt as exc:
            # The driver tells on the interrupt, or on the error of the call
            # the interrupt stopped; without either the table will tell.
            told = [e.rows_sent for e in (exc, exc.__context__) if isinstance(getattr(e, "rows_sent", None), int)]
            self.sent += told[0] if told else 0
            self.unsure = not told
            raise
        except Error as exc:
            ok = getattr(exc, "rows_sent", 0) or 0
            self.sent += ok
            rows, lines = rows[ok:], lines[ok:]
            why = _explain(exc)
            field = getattr(exc, "field", None)
            if field is not None:  # the driver refused a value: row i of this call
                i = exc.row - ok
                too_long = isinstance(exc.value, str) and self._too_long(field, exc.value)
                hint = " (--truncate cuts it)" if too_long else ""
                if i > 0:  # the rows before it stay, as before any stop
                    self._send(rows[:i], lines[:i])
                raise LoadError("%s line %d, field %s: %s%s" % (self.path, lines[i], field, exc.reason, hint)) from None
            code = getattr(exc, "error_code_qivrex", None)
            if refused is not None and code != refused[0]:
                # The server no longer takes what it refused before (its
                # transaction was rolled back): the first refusal stands.
                raise LoadError("%s lines %d to %d: %s" % ((self.path,) + refused[1:])) from None
            if len(rows) == 1:
                raise LoadError("%s line %d: %s" % (self.path, lines[0], why)) from None
            refused = (code, lines[0], lines[-1], why)
            half = len(rows) // 2
            self._send(rows[:half], lines[:half], refused)
            self._send(rows[half:], lines[half:], refused)
            return
        self.sent += len(rows)

    def _end(self, own):
        """Ends the load's own transaction, keeping what was sent; the
        error when that failed (then nothing was kept)."""
        if not own:
            return None
        try:
            self.db.end()
        except Error as exc:
            return exc
        return None

    def _too_long(self, field, text):
        return any(name == field and code == _CHAR and len(text) > length for name, code, length in self.limits)

    def _count(self):
        """The table's rows now; None when the table cannot be read (its
        transaction was rolled back and waits for its end)."""
        try:
            rows = self.db.rows("select count(*) from %s;" % self.table)
        except Error:
            return None
        return rows[0][0]

    def _stopped(self, why, exc):
        """Tells what the table kept after a stop."""
        self._end_progress()
        after = None if self.own else self._count()
        if self.own:  # its own transaction ended: what was sent is kept
            kept, note = self.sent, ""
        elif after is None:
            kept = 0
            note = " (the enclosing transaction was rolled back)"
        else:
            if self.before is None:
                kept = self.sent
            else:
                kept = max(0, after - self.before if self.unsure else min(self.sent, after - self.before))
            note = " (rolled back with the enclosing transaction)" if kept < self.sent else ""
        said = "load stopped, %d row%s kept in %s%s" % (kept, "" if kept == 1 else "s", self.table, note)
        if exc is None:
            print("%s: %s" % (why, said), file=self.shell.err, flush=True)
            return
        raise LoadError("%s; %s" % (why, said)) from None

    # -- progress -------------------------------------------------------------

    def _show_progress(self):
        if not self.progress:
            return
        now = time.monotonic()
        if now - self.shown < PROGRESS_EVERY:
            return
        self.shown = now
        share = 100.0 * self.file.tell() / self.size if self.size else 100.0
        rate = self.sent / max(now - self.started, 1e-9)
        print("\r%d rows, %.0f rows/s, %.0f%% of the file" % (self.sent, rate, share),
              end="", file=self.shell.err, flush=True)

    def _end_progress(self):
        if self.progress and self.shown != self.started:
            print(file=self.shell.err, flush=True)
            self.shown = self.started
