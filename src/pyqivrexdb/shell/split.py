"""Cutting input into statements and shell commands.

Statements end where the standard face's split_statements() says, by the
lexical rules of the connection's dialect: at a ";" outside literals, quoted
names, comments and the bodies of triggers and functions. A line that begins
with "." (or psql's "\\") while no statement is pending is a shell command.
Several statements on one line come out one by one. psql's \\g, outside
literals and comments, ends the statement pending before it without a ";"
and runs it (Go).
"""

from .. import dbapi

COMMAND_MARKS = (".", "\\")  # what a line that is a shell command begins with
GO = "\\g"


class Go(str):
    """psql's \\g [FILE] command, with `query` the statement it ends
    (its query buffer): "" when none was pending."""

    query = ""


class Splitter:
    """Fed line by line; hands back each statement (with its ";") or
    command as soon as it is complete, with the number of the line where
    it begins (its first line that is not blank or a comment)."""

    def __init__(self, dialect="engine"):
        self._dialect = dialect
        self._text = ""  # the pending statement, literal or comment
        self._line = 0  # lines fed so far
        self._start = 1  # the line where the pending text begins

    @property
    def pending(self):
        """True while a statement, literal or comment is unfinished."""
        return bool(self._text)

    def feed(self, line):
        """The statements and commands that `line` completes."""
        return [item for item, _ in self.feed_located(line)]

    def feed_located(self, line):
        """(statement or command, line number) for each that `line` completes."""
        self._line += 1
        if not self._text:
            self._start = self._line
            if line.lstrip().startswith(COMMAND_MARKS):
                return [(line.strip(), self._line)]
        text = self._text + line
        if GO in line:
            at = _go_at(text, self._dialect)
            if at is not None:
                return self._go(text, at)
        # Only a ";" ends a statement and only "*/" a comment: a line with
        # neither leaves pending text pending, unread.
        if self._text and ";" not in line and "*/" not in line:
            self._text = text
            return []
        parts = dbapi.split_statements(text, self._dialect)
        self._text = ""
        located = self._locate(text, parts)
        if parts and not dbapi.complete_statement(parts[-1], self._dialect):
            # The unfinished rest, kept from where it begins.
            at = text.rindex(parts.pop())
            self._start += text.count("\n", 0, at)
            self._text = text[at:]
            located.pop()
        return located

    def _go(self, text, at):
        """The statements before the \\g at `at` of `text`, then the Go
        that runs the unfinished one after them."""
        head = text[:at]
        parts = dbapi.split_statements(head, self._dialect)
        located = self._locate(head, parts)
        go = Go(text[at:].strip())
        if parts and not dbapi.complete_statement(parts[-1], self._dialect):
            go.query = located.pop()[0]
        self._text = ""
        return located + [(go, self._line)]

    def end(self):
        """What is left at the end of input: an unterminated statement, if
        it holds more than comments."""
        return [item for item, _ in self.end_located()]

    def end_located(self):
        text, self._text = self._text, ""
        parts = dbapi.split_statements(text, self._dialect)
        return [(p, n) for p, n in self._locate(text, parts) if not _comment_only(p, self._dialect)]

    def _locate(self, text, parts):
        out, pos = [], 0
        for part in parts:
            at = text.find(part, pos)
            if at < 0:  # not a piece of the text as it is: its start stands
                out.append((part, self._start))
                continue
            pos = at + len(part)
            out.append((part, self._start + text.count("\n", 0, at + _lead(part))))
        return out


def _go_at(text, dialect):
    """Where a \\g outside literals and comments begins in `text`, or None."""
    at = text.find(GO)
    while at >= 0:
        after = text[at + 2:at + 3]
        if not after or after.isspace():
            tokens = dbapi._standard.tokens(text[:at + 2], dbapi._dialect_code(dialect))
            if tokens[-2:] == [("other", "\\"), ("word", "g")]:
                return at
        at = text.find(GO, at + 1)
    return None


def _lead(part):
    """Where the first token of a statement begins, after comments."""
    i = 0
    while True:
        while i < len(part) and part[i].isspace():
            i += 1
        if part.startswith("--", i):
            j = part.find("\n", i)
            if j < 0:
                return i
            i = j + 1
        elif part.startswith("/*", i):
            j = part.find("*/", i + 2)
            if j < 0:
                return i
            i = j + 2
        else:
            return i


def _comment_only(text, dialect):
    return not dbapi._standard.tokens(text, dbapi._dialect_code(dialect))


def split(text, dialect="engine"):
    """Every statement and command of a whole text, in order."""
    s = Splitter(dialect)
    out = []
    for line in text.splitlines(keepends=True):
        out += s.feed(line)
    return out + s.end()
