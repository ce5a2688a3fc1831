"""Reading statements at an interactive prompt: line editing, a history
kept between sessions (a statement typed over lines is one entry), and
completion of commands, SQL keywords, and table and column names."""

import os
import re

PROMPT, MORE = "qx> ", "...> "
HISTORY = os.path.join(os.path.expanduser("~"), ".pyqivrexdb_history")
HISTORY_LENGTH = 1000
# First line of a history file whose entries are one line each, their line
# breaks written as \n and their backslashes doubled; a file without it has
# one entry a line (as readline writes them).
HISTORY_MARK = "#pyqivrexdb history 2"
COMMANDS = (".bail", ".dump", ".echo", ".exit", ".expanded", ".headers", ".help", ".import", ".indexes", ".load",
            ".mode", ".nullvalue", ".once", ".output", ".pager", ".quit", ".read", ".schema", ".show", ".tables",
            ".timer", ".width")
KEYWORDS = tuple("""ALTER AND AS ASC BEGIN BETWEEN BY CASE CHECK COMMIT CONSTRAINT CREATE DEFAULT DELETE DESC
DISTINCT DROP ELSE END EXISTS FOREIGN FROM GROUP HAVING IN INDEX INNER INSERT INTO IS JOIN KEY LEFT LIKE LIMIT
NOT NULL OFFSET ON OR ORDER OUTER PRIMARY REFERENCES ROLLBACK SELECT SET TABLE THEN TRIGGER UNION UNIQUE UPDATE
VALUES VIEW WHEN WHERE WITH""".split())


def one_entry(lines):
    """Makes the last `lines` entries of the history one, joined by line
    breaks: a statement typed over several lines comes back whole."""
    try:
        import readline
    except ImportError:
        return
    if lines < 2:
        return
    n = readline.get_current_history_length()
    if n < lines:
        return
    parts = [readline.get_history_item(i) for i in range(n - lines + 1, n + 1)]
    if any(p is None for p in parts):
        return
    for _ in range(lines):
        readline.remove_history_item(readline.get_current_history_length() - 1)
    readline.add_history("\n".join(parts))


def save_history(path):
    """Writes the history to `path`, each entry on one line."""
    import readline
    n = readline.get_current_history_length()
    entries = (readline.get_history_item(i) for i in range(max(1, n - HISTORY_LENGTH + 1), n + 1))
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(HISTORY_MARK + "\n")
        for entry in entries:
            if entry is not None:
                f.write(entry.replace("\\", "\\\\").replace("\n", "\\n") + "\n")


def load_history(path):
    """Adds the entries of a history file written by save_history (or one
    line an entry, by readline itself)."""
    import readline
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        lines = f.read().split("\n")[:-1]
    if lines[:1] != [HISTORY_MARK]:
        readline.read_history_file(path)
        return
    for line in lines[1:]:
        readline.add_history(re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), line))


def complete_words(word, line, names):
    """The completions of `word` in `line`: commands at the start of a
    command, else SQL keywords (in the case typed) and the names `names`
    gives (tables, views and their columns)."""
    if line.lstrip().startswith(".") and " " not in line.lstrip():
        return [c for c in COMMANDS if c.startswith(word.lower())]
    low = word.lower()
    found = [n for n in names if n.lower().startswith(low)]
    upper = not word or word[-1:].isupper()
    found += [k if upper else k.lower() for k in KEYWORDS if k.lower().startswith(low)]
    return sorted(set(found))


def setup(names):
    """Switches on line editing; `names` gives the table and column names
    to complete.
    Returns the function that saves the history, or None without readline."""
    try:
        import readline
    except ImportError:
        return None
    try:
        load_history(HISTORY)
    except OSError:
        pass
    readline.set_history_length(HISTORY_LENGTH)
    cache = {}

    def complete(word, state):
        if state == 0:
            if "names" not in cache:
                try:
                    cache["names"] = names()
                except Exception:  # completion never breaks the prompt
                    cache["names"] = []
            cache["found"] = complete_words(word, readline.get_line_buffer(), cache["names"])
        found = cache["found"]
        return found[state] if state < len(found) else None

    readline.set_completer(complete)
    readline.set_completer_delims(" \t\n,;()=<>'\"")
    readline.parse_and_bind("tab: complete")

    def save():
        try:
            save_history(HISTORY)
        except OSError:
            pass
    return save
