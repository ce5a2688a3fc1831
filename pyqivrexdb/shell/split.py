"""Cutting input into statements and shell commands.

Statements end where the standard face's split_statements() says, by the
lexical rules of the connection's dialect: at a ";" outside literals, quoted
names, comments and the bodies of triggers and functions. A line that begins
with "." while no statement is pending is a shell command. Several
statements on one line come out one by one.
"""

from .. import dbapi


class Splitter:
    """Fed line by line; hands back each statement (with its ";") or
    command as soon as it is complete."""

    def __init__(self, dialect="engine"):
        self._dialect = dialect
        self._text = ""  # the pending statement, literal or comment

    @property
    def pending(self):
        """True while a statement, literal or comment is unfinished."""
        return bool(self._text)

    def feed(self, line):
        """The statements and commands that `line` completes."""
        if not self._text and line.lstrip().startswith("."):
            return [line.strip()]
        text = self._text + line
        # Only a ";" ends a statement and only "*/" a comment: a line with
        # neither leaves pending text pending, unread.
        if self._text and ";" not in line and "*/" not in line:
            self._text = text
            return []
        parts = dbapi.split_statements(text, self._dialect)
        self._text = ""
        if parts and not dbapi.complete_statement(parts[-1], self._dialect):
            # The unfinished rest, kept from where it begins.
            self._text = text[text.rindex(parts.pop()):]
        return parts

    def end(self):
        """What is left at the end of input: an unterminated statement, if
        it holds more than comments."""
        text, self._text = self._text, ""
        parts = dbapi.split_statements(text, self._dialect)
        return [p for p in parts if not _comment_only(p, self._dialect)]


def _comment_only(text, dialect):
    return not dbapi._standard.tokens(text, dbapi._dialect_code(dialect))


def split(text, dialect="engine"):
    """Every statement and command of a whole text, in order."""
    s = Splitter(dialect)
    out = []
    for line in text.splitlines(keepends=True):
        out += s.feed(line)
    return out + s.end()
