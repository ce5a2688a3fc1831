"""Reading statements at an interactive prompt: line editing, a history
kept between sessions, and completion of table names and commands."""

import os

PROMPT, MORE = "qx> ", "...> "
HISTORY = os.path.join(os.path.expanduser("~"), ".pyqivrexdb_history")
COMMANDS = (".bail", ".exit", ".headers", ".help", ".load", ".mode", ".output", ".quit", ".read",
            ".schema", ".tables", ".timer")


def setup(tables):
    """Switches on line editing; `tables` gives the names to complete.
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
            line = readline.get_line_buffer()
            if line.lstrip().startswith(".") and " " not in line.lstrip():
                names = COMMANDS
            else:
                if "tables" not in cache:
                    try:
                        cache["tables"] = tables()
                    except Exception:  # completion never breaks the prompt
                        cache["tables"] = []
                names = cache["tables"]
            cache["found"] = [n for n in names if n.lower().startswith(word.lower())]
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
