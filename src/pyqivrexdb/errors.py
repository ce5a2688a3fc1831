"""Exceptions of pyqivrexdb, in the DB-API 2.0 hierarchy.

The driver raises them in three forms:

* one argument, the finished message: ``ProgrammingError("cursor is already closed")``;
* a message template and the client library's return code:
  ``DatabaseError("qcSqlConnect error %d:", -5)``, shown as ``qcSqlConnect error -5:``;
* a failed statement with parameters:
  ``IntegrityError("execute() error=%d: params=[$%]", (-19, "a, b"))``,
  shown as ``execute() error=-19: params=[a, b]``.

Every instance has ``_message`` (the first argument) and
``error_code_qivrex`` (the return code, or None when the exception carries none).
An error the library reported also has ``server_text``: the library's own
words for it, when it tells them (else None). The standard face
(``pyqivrexdb.dbapi``) raises them by cause with that text as the message,
and gives ``code``, the library's return code.
"""

__all__ = [
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError", "CommitOutcomeUnknown",
]


class Warning(Exception):  # noqa: A001 - the DB-API name
    """Important warnings, such as data truncation."""


class Error(Exception):
    """Base class of every error the driver raises."""

    code = None
    server_text = None

    def __init__(self, *args):
        super().__init__(*args)
        self._message = args[0] if args else ""
        code = args[1] if len(args) > 1 else None
        if isinstance(code, tuple) and code:
            code = code[0]
        self.error_code_qivrex = code

    def __str__(self):
        if len(self.args) == 2 and self.args[1] is None:
            # A message passed on with the code of a one-argument instance.
            return str(self._message)
        if len(self.args) == 2 and isinstance(self._message, str):
            # "$%" marks where the joined parameters go in the third form.
            template = self._message.replace("$%", "%s")
            try:
                return template % self.args[1]
            except (TypeError, ValueError):
                pass
        return super().__str__()


class InterfaceError(Error):
    """The driver or the client library could not be used."""


class DatabaseError(Error):
    """An error reported by the database."""


class DataError(DatabaseError):
    """A value was out of range or otherwise unusable."""


class OperationalError(DatabaseError):
    """The database's operation failed for reasons outside the program."""


class CommitOutcomeUnknown(OperationalError):
    """The connection to the server was lost after COMMIT was sent: the
    transaction may have committed or not, and only reading the data back
    (on this server, or the one that took its place) tells which. Retrying
    the whole transaction blindly may apply it twice."""


class IntegrityError(DatabaseError):
    """A statement with parameters failed."""


class InternalError(DatabaseError):
    """The database met an internal error."""


class ProgrammingError(DatabaseError):
    """Misuse of a connection or cursor, or a statement the server refused."""


class NotSupportedError(DatabaseError):
    """The operation is not supported."""
