"""Reading statements at an interactive prompt: line editing, a history
kept between sessions (a statement typed over lines is one entry), and
completion of commands, SQL keywords, and table and column names."""

import os

PROMPT, MORE = "qx> ", "...> "
HISTORY = os.path.join(os.path.expanduser("~"), ".pyqivrexdb_history")
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
        readline.read_history_file(HISTORY)
    except OSError:
        pass
    readline.set_history_length(1000)
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
            readline.write_history_file(HISTORY)
        except OSError:
            pass
    return save
