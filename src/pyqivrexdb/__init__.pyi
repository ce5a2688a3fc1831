from .errors import *
from .qxcore import Connection as Connection, Cursor as Cursor, Field as Field
from .qxcore import connect as connect, pydate2qxdate as pydate2qxdate

DEBUG: bool
HEAPCTRL: int
apilevel: str
threadsafety: int
paramstyle: str
__all__ = ["DEBUG", "HEAPCTRL", "apilevel", "threadsafety", "paramstyle", "connect",
           "Connection", "Cursor", "Field", "pydate2qxdate",
           "Warning", "Error", "InterfaceError", "DatabaseError", "DataError",
           "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
           "NotSupportedError", "CommitOutcomeUnknown"]
