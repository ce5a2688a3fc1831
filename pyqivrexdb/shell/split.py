"""Cutting input into statements and shell commands.

A statement ends at a ";" outside string literals, quoted identifiers and
comments; a line that begins with "." while no statement is pending is a
shell command. Several statements on one line come out one by one.
"""

import re

# What can change the meaning of the text that follows it.
_SPECIAL = re.compile(r"""['"`;]|--|/\*""")
_CLOSERS = {"'": "'", '"': '"', "`": "`", "/*": "*/"}


class Splitter:
    """Fed line by line; hands back each statement (with its ";") or
    command as soon as it is complete."""

    def __init__(self):
        self._parts = []        # text of the pending statement
        self._content = False   # the pending text has more than blanks and comments
        self._open = None       # the quote or comment the last line left open

    @property
    def pending(self):
        """True while a statement, literal or comment is unfinished."""
        return self._content or self._open is not None

    def feed(self, line):
        """The statements and commands that `line` completes."""
        if not self.pending and line.lstrip().startswith("."):
            self._parts = []
            return [line.strip()]
        done = []
        at = 0
        if self._open is not None:
            at = self._close(line, 0)
            if at < 0:
                self._parts.append(line)
                return done
        start = 0
        while True:
            m = _SPECIAL.search(line, at)
            if m is None:
                self._note_content(line[at:])
                break
            self._note_content(line[at:m.start()])
            token = m.group()
            if token == ";":
                self._parts.append(line[start:m.end()])
                text = "".join(self._parts).strip()
                if self._content:
                    done.append(text)
                self._parts, self._content = [], False
                start = at = m.end()
            elif token == "--":
                break  # the rest of the line is a comment
            else:
                if token != "/*":
                    self._content = True
                self._open = token
                at = self._close(line, m.end())
                if at < 0:
                    break
        rest = line[start:]
        if rest.strip() or self._parts:
            self._parts.append(rest if rest.endswith("\n") else rest + "\n")
        if not self.pending:
            self._parts = []
        return done

    def end(self):
        """What is left at the end of input: an unterminated statement, if
        it holds more than comments."""
        text = "".join(self._parts).strip()
        content = self._content or (self._open is not None and self._open != "/*")
        self._parts, self._content, self._open = [], False, None
        return [text] if content else []

    def _close(self, line, at):
        """Position just after the end of the open quote or comment in
        `line`, or -1 when it stays open past the line."""
        closer = _CLOSERS[self._open]
        found = line.find(closer, at)
        if found < 0:
            return -1
        self._open = None
        return found + len(closer)

    def _note_content(self, text):
        if not self._content and text.strip():
            self._content = True


def split(text):
    """Every statement and command of a whole text, in order."""
    s = Splitter()
    out = []
    for line in text.splitlines(keepends=True):
        out += s.feed(line)
    return out + s.end()
