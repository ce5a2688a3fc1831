"""pyqivrexdb: a DB-API 2.0 driver for the Qivrex SQL database.

New code starts with the standard face, ``pyqivrexdb.dbapi`` (bound
parameters, NULL as None, real transactions):

    from pyqivrexdb import dbapi
    with dbapi.connect("sales.db") as conn:
        cur = conn.cursor()
        cur.execute("select name, amount from orders where id = ?", (7,))
        print(cur.fetchone())

``pyqivrexdb.connect`` is the core face, kept as it was for existing
programs; its ``%`` parameters are spliced into the SQL text as text, so
never pass it untrusted values.

The native core ``pyqivrexdb.qxcore`` loads the client library ``libqscli.so``
(``qscli.dll`` on Windows) by name at run time. The package ships an embedded
engine under that name, so a database file works out of the box; a vendor
library found first on the library path takes its place.
"""

# Log every call of the native core on the "pyqivrexdb.qxcore" logger, register
# the default server-message loggers on each new connection and ask the server
# for extended diagnostics on every cursor. Read at each use: assigning it on
# a running program switches it.
DEBUG = False

# Bytes of result records the driver asks the client library for in one read
# (rounded up to whole records), and the most bytes one bulk-load call packs
# before handing them over. Measured from 4 KiB to 4 MiB on the embedded
# engine (bench/compare/run.py --heapctrl): fetching and bulk loading a
# million rows take the same time throughout, reads of 4 KiB make point
# queries and loads a little slower, and a larger value only holds more
# memory for every open result and every load.
HEAPCTRL = 65536

apilevel = "2.0"
threadsafety = 1  # threads may share the module, not connections
paramstyle = "format"  # cursor.execute("... where id = %s", (7,))

from .errors import *  # noqa: E402,F401,F403
from .errors import __all__ as _error_names  # noqa: E402
from .qxcore import Connection, Cursor, Field, connect, pydate2qxdate  # noqa: E402
from . import qxcore as _core  # noqa: E402


def _setting(name):
    return property(lambda self: getattr(_core, name),
                    lambda self, value: setattr(_core, name, value))


class _Package(type(_core)):
    """The package's settings are the core's own: the core took their first
    values from above, and reading or assigning either name here reads or
    assigns the value the core reads at each use."""

    DEBUG = _setting("DEBUG")
    HEAPCTRL = _setting("HEAPCTRL")


def __dir__():
    return sorted([*globals(), "DEBUG", "HEAPCTRL"])


del DEBUG, HEAPCTRL
import sys as _sys  # noqa: E402

_sys.modules[__name__].__class__ = _Package

__all__ = ["DEBUG", "HEAPCTRL", "apilevel", "threadsafety", "paramstyle", "connect",
           "Connection", "Cursor", "Field", "pydate2qxdate", *_error_names]
