"""The test double of the client library, driven from Python.

``build()`` compiles ``tests/double/double.cpp`` into a shared library whose
SONAME is ``libqscli.so``; once it is loaded with ``ctypes`` (``Double(path)``)
the module's own load by bare name finds that same object, so every call the
module makes lands in the double's journal and is answered from its scripts.

Messages scripted with ``thread=True`` are delivered from a thread that the
double starts during the scripted call and does *not* join there; it is joined
by ``join_threads()``, ``calls()``, ``names()`` and ``reset()``.
"""

import collections
import ctypes
import datetime
import hashlib
import os
import struct
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "double" / "double.cpp"
HEADER = ROOT / "src" / "pyqivrexdb" / "qxcore" / "client" / "qscli.h"
CACHE = ROOT / "build" / "double"

ENTRY_POINTS = (
    "qcSqlInit", "qcSqlDone", "qcSqlAllocConnect", "qcSqlDisconnect", "qcSqlFreeConnect",
    "qcSqlConnect", "qcSqlGetConnectAttr", "qcSqlSetConnectAttr", "qcSqlAllocStmt",
    "qcSqlSetStmtAttr", "qcSqlExecDirect", "qcSqlExecDirectAsync", "qcSqlExecDirectQuery",
    "qcSqlConnReadMsg", "qcSqlGetStmtAttr", "qcSqlNumResultCols", "qcSqlRowCount",
    "qcSqlOpenResults", "qcSqlReadResults", "qcSqlCloseResults", "qcSqlFreeStmt",
    "qcSqlAddRecords", "qcSqlPackDate", "qcSqlUnpackDate",
)
# Entry points our own library adds; the vendor's has none of them.
OPTIONAL_ENTRY_POINTS = ("qcSqlCancel", "qcSqlConcurrency", "qcSqlDialect", "qcSqlTransactionState",
                         "qcSqlExecRecords")
QSCLI_E_INTERRUPTED = -9
QSCLI_E_RECORD_LENGTH = -94
QSCLI_DIALECT_ENGINE, QSCLI_DIALECT_PG = 0, 1
QSCLI_TX_IDLE, QSCLI_TX_OPEN, QSCLI_TX_FAILED = 0, 1, 2

# Client-library constants, as the module uses them.
QSCLI_ATTR_FLD_VERBOSE = 1001
QSCLI_ATTR_CBK_SRVMSG = 1100
QSCLI_ATTR_CBK_SRVUSERSEND = 1101
QSCLI_STMT_SAB_TYPE = 102
QSCLI_STMT_DST_INFO = 107
QSCLI_STMT_RC_TYPE = 109
QSCLI_STMT_RC_SIZE = 110
QSCLI_STMT_RC_BODY = 111
QSCLI_RES_NONE = -1
QSCLI_CONN_SRV_VERS2 = 103
QSCLI_CONN_LCLADDR = 152
QSCLI_CONN_RMTADDR = 153
# Optional capabilities of our own library; the double offers none unless told.
QSCLI_ATTR_NULL_FLAGS = 1201
QSCLI_ATTR_INT64 = 1206
QSCLI_STMT_ERR_TEXT = 1202
QSCLI_CONN_ERR_TEXT = 1203
QSCLI_STMT_CHANGES = 1204
QSCLI_STMT_LAST_ROWID = 1205
QSCLI_CONN_MSG_CHANNEL = 1207
QSCLI_ATTR_STREAM = 1208
QSCLI_ATTR_SERVER_TYPES = 1211
(QSCLI_ET_CHAR, QSCLI_ET_ARRA, QSCLI_ET_BYTE, QSCLI_ET_INTR, QSCLI_ET_WORD, QSCLI_ET_DATE,
 QSCLI_ET_NMBR, QSCLI_ET_LONG, QSCLI_ET_DWRD, QSCLI_ET_FLOA, QSCLI_ET_CURR,
 QSCLI_ET_DFLT) = range(12)

Call = collections.namedtuple("Call", "name args")

_COLREC = struct.Struct("<iiiII32s32si32sii")
assert _COLREC.size == 128
_DAY_ZERO = datetime.date(1899, 12, 31).toordinal()


def build(cxxflags="", omit=()):
    """Compile the double (cached by a hash of its sources and flags) and
    return the path of the library. ``omit`` names entry points the library
    must not export, to stand in for an incomplete client library."""
    flags = cxxflags.split()
    omit = sorted(omit)
    unknown = set(omit) - set(ENTRY_POINTS) - set(OPTIONAL_ENTRY_POINTS)
    if unknown:
        raise ValueError("not entry points: %s" % ", ".join(sorted(unknown)))
    cxx = os.environ.get("CXX", "g++")
    cmd = [cxx, "-std=c++17", "-shared", "-fPIC", "-O1", "-g",
           "-pthread", "-Wall", "-Wextra", "-fvisibility=hidden",
           # no unique symbols: they would pin the library in memory for good,
           # and the tests release and reload it (clang makes none)
           *([] if "clang" in os.path.basename(cxx) else ["-fno-gnu-unique"]),
           "-I", str(HEADER.parent), *flags, "-Wl,-soname,libqscli.so"]
    key = hashlib.sha256()
    for part in (SOURCE.read_bytes(), HEADER.read_bytes(), " ".join(cmd).encode(),
                 " ".join(omit).encode()):
        key.update(part + b"\0")
    folder = CACHE / key.hexdigest()[:16]
    target = folder / "libqscli.so"
    if target.exists():
        return target
    folder.mkdir(parents=True, exist_ok=True)
    if omit:
        script = folder / "omit.map"
        script.write_text("{ local: %s; };\n" % "; ".join(omit))
        cmd.append("-Wl,--version-script=%s" % script)
    # Built under a temporary name and renamed: test processes running side
    # by side never see half a library.
    fd, tmp = tempfile.mkstemp(dir=folder, suffix=".so")
    os.close(fd)
    try:
        subprocess.run([*cmd, "-o", tmp, str(SOURCE)], check=True)
        os.replace(tmp, target)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return target


def pack_date(date):
    """The double's packing: a day count where 1 January 1900 is 1."""
    return date.toordinal() - _DAY_ZERO


def unpack_date(packed):
    """The date of a packed value; None for 0 (no date)."""
    if packed == 0:
        return None
    return datetime.date.fromordinal(_DAY_ZERO + packed)


def _name(value):
    if isinstance(value, str):
        return value.encode("cp866")
    return bytes(value)


def colrec(type, len, fname=b"", asname=b"", aliasno=0, fieldno=0, off=0, coder=b"",  # noqa: A002
           func=0, key=0, resno=0):
    """One 128-byte column record (names may be bytes or str, cut to 32 bytes)."""
    return _COLREC.pack(aliasno, fieldno, type, len & 0xFFFFFFFF, off & 0xFFFFFFFF,
                        _name(coder), _name(fname), func, _name(asname), key, resno)


def _int64_array(values):
    if values is None:
        return None, -1
    values = list(values)
    return (ctypes.c_int64 * max(1, len(values)))(*values), len(values)


class Double:
    """The loaded double. See the module docstring for threads."""

    def __init__(self, path):
        self.path = Path(path)
        lib = self.lib = ctypes.CDLL(str(path))
        lib.qxd_journal_size.restype = ctypes.c_size_t
        lib.qxd_journal_copy.restype = ctypes.c_size_t
        lib.qxd_journal_copy.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        lib.qxd_fail.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int64]
        lib.qxd_set_attr_text.argtypes = [ctypes.c_uint, ctypes.c_char_p, ctypes.c_size_t]
        lib.qxd_set_result.argtypes = [
            ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint,
            ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(ctypes.c_int64), ctypes.c_int64,
            ctypes.c_uint]
        lib.qxd_add_batch.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t,
                                      ctypes.c_uint]
        lib.qxd_set_retval.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t,
                                       ctypes.c_uint]
        lib.qxd_add_message.argtypes = [
            ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_int, ctypes.c_int,
            ctypes.POINTER(ctypes.c_int64), ctypes.c_int64, ctypes.c_int]
        lib.qxd_set_bulk_journal.argtypes = [ctypes.c_int]
        lib.qxd_offer.argtypes = [ctypes.c_uint, ctypes.c_int, ctypes.c_int64]
        lib.qxd_fail_after.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int64,
                                       ctypes.c_int64]
        lib.qxd_live_handles.restype = ctypes.c_size_t
        lib.qxd_live_handles.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int),
                                         ctypes.c_size_t]
        lib.qxd_stale_calls.restype = ctypes.c_size_t
        lib.qxd_stale_calls.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        lib.qxd_block.argtypes = [ctypes.c_char_p, ctypes.c_int64]
        lib.qxd_wait_blocked.argtypes = [ctypes.c_int, ctypes.c_int]
        lib.qxd_unblock.argtypes = [ctypes.c_char_p]

    # -- journal ---------------------------------------------------------

    def reset(self):
        """Forget the journal and every script; join delivering threads."""
        self.lib.qxd_reset()

    def clear(self):
        """Empty the journal only."""
        self.lib.qxd_clear()

    def join_threads(self):
        """Wait for messages delivered from threads (lets the callbacks run)."""
        self.lib.qxd_join_threads()

    def _journal(self):
        self.join_threads()
        size = self.lib.qxd_journal_size()
        buf = ctypes.create_string_buffer(size)
        size = self.lib.qxd_journal_copy(buf, size)
        return buf.raw[:size]

    def calls(self, name=None):
        """The journal: Call(name, args) in call order, or only those of ``name``."""
        data = self._journal()
        unpack_from = struct.unpack_from
        out = []
        pos, end = 0, len(data)
        while pos < end:
            n = data[pos]
            call_name = data[pos + 1:pos + 1 + n].decode()
            pos += 1 + n
            argc = data[pos]
            pos += 1
            args = []
            for _ in range(argc):
                tag = data[pos]
                pos += 1
                if tag == 0x69:  # 'i'
                    args.append(unpack_from("<q", data, pos)[0])
                    pos += 8
                elif tag == 0x62:  # 'b'
                    length = unpack_from("<I", data, pos)[0]
                    args.append(data[pos + 4:pos + 4 + length])
                    pos += 4 + length
                else:  # 'n'
                    args.append(None)
            if name is None or call_name == name:
                out.append(Call(call_name, tuple(args)))
        return out

    def names(self):
        """The entry-point names of the journal, in call order."""
        return [c.name for c in self.calls()]

    # -- scripts ---------------------------------------------------------

    def fail(self, name, rc, times=None, skip=0):
        """``name`` returns ``rc`` without doing its work: always, or for the
        next ``times`` calls; with ``skip``, only after the next ``skip`` calls
        have gone through. ``fail(name, 0)`` stops it."""
        _check_entry(name)
        if skip:
            self.lib.qxd_fail_after(name.encode(), rc, skip, -1 if times is None else times)
        else:
            self.lib.qxd_fail(name.encode(), rc, -1 if times is None else times)

    # -- handle bookkeeping ------------------------------------------------

    def _live(self, kind):
        n = self.lib.qxd_live_handles(kind, None, 0)
        arr = (ctypes.c_int * max(1, n))()
        n = min(n, self.lib.qxd_live_handles(kind, arr, n))
        return list(arr[:n])

    def live_connections(self):
        """Connection handles issued and not released (a release that was
        made to fail releases nothing), ascending."""
        self.join_threads()
        return self._live(0)

    def live_statements(self):
        """Statement handles issued and not released, ascending."""
        self.join_threads()
        return self._live(1)

    def stale_calls(self):
        """Names of the calls that were handed a connection or statement
        handle after it had been released, in call order."""
        self.join_threads()
        size = self.lib.qxd_stale_calls(None, 0)
        buf = ctypes.create_string_buffer(max(1, size))
        size = min(size, self.lib.qxd_stale_calls(buf, size))
        return buf.raw[:size].decode().split()

    def set_attr_text(self, attr, data):
        """What qcSqlGetConnectAttr writes for ``attr`` (cut to size-1, then NUL)."""
        data = bytes(data)
        self.lib.qxd_set_attr_text(attr, data, len(data))

    def set_result(self, columns, records=b"", rec_size=None, row_count=None, col_count=None,
                   reads=None, sab_type=0):
        """The result of the next qcSqlExecDirect (on any statement)."""
        columns = [bytes(c) for c in columns]
        if rec_size is None:
            rec_size = sum(_COLREC.unpack_from(c)[3] for c in columns if len(c) >= 16)
        if row_count is None:
            row_count = len(records) // rec_size if rec_size else 0
        if col_count is None:
            col_count = len(columns)
        cols = b"".join(columns)
        records = bytes(records)
        arr, n = _int64_array(reads)
        self.lib.qxd_set_result(cols, len(cols), records, len(records), rec_size & 0xFFFFFFFF,
                                row_count, col_count, arr, n, sab_type & 0xFFFFFFFF)

    def add_batch(self, columns, records, rec_size=None):
        """A further batch of the result set_result scripted with
        row_count=-1 (QSCLI_ATTR_STREAM): a read at the end of the current
        batch delivers 0 bytes and moves to it (after the last one,
        qcSqlOpenResults gives 0 and qcSqlRowCount the count)."""
        columns = [bytes(c) for c in columns]
        if rec_size is None:
            rec_size = sum(_COLREC.unpack_from(c)[3] for c in columns)
        cols, records = b"".join(columns), bytes(records)
        self.lib.qxd_add_batch(cols, len(cols), records, len(records), rec_size)

    def set_retval(self, type, body, size=None):  # noqa: A002
        """The next statement's return value."""
        body = bytes(body)
        self.lib.qxd_set_retval(type, body, len(body),
                                (len(body) if size is None else size) & 0xFFFFFFFF)

    def add_message(self, text, during, user_type=None, chunks=None, thread=False):
        """During the next call of ``during`` call the connection's server-message
        callback (or, with ``user_type``, its user-message callback) and serve
        ``text`` through qcSqlConnReadMsg: reads of the buffer's size (250 from
        the module) and then 0, or exactly the byte counts in ``chunks`` and
        then 0 (a count past the buffer is reported as it stands; only the
        buffer is written). The connection is the call's own; for a call
        without one (or one without a callback) the last connection that
        registered one. A message nobody listens to is dropped. ``thread=True``
        delivers it from a thread of its own, joined later; ``thread=WAITED``
        from a thread the call waits for, as a library calling back from its
        own thread while the caller waits."""
        _check_entry(during)
        text = bytes(text)
        arr, n = _int64_array(chunks)
        self.lib.qxd_add_message(text, len(text), during.encode(), user_type is not None,
                                 user_type or 0, arr, n, int(thread))

    # -- threads -----------------------------------------------------------

    def set_concurrency(self, level):
        """What qcSqlConcurrency answers (0 after reset); the module asks when
        it loads the library."""
        self.lib.qxd_set_concurrency(level)

    def set_dialect(self, dialect):
        """What qcSqlDialect answers (QSCLI_DIALECT_ENGINE, 0, after reset;
        PG is 1; None: the double lacks it, as the vendor's library); left
        out of the journal, as the driver asks at log-on."""
        self.lib.qxd_set_dialect(-1 if dialect is None else dialect)

    def set_tx_state(self, state):
        """What qcSqlTransactionState answers (QSCLI_TX_*) until a statement
        that begins with BEGIN (then OPEN), COMMIT or ROLLBACK (then IDLE) goes
        through; None: the double lacks it (the default). It is not
        journalled."""
        self.lib.qxd_set_tx_state(-1 if state is None else state)

    def block(self, name, times=None):
        """The next ``times`` calls of ``name`` (every one by default) wait
        until ``unblock()`` or a qcSqlCancel of their connection, which makes
        them return QSCLI_E_INTERRUPTED."""
        _check_entry(name)
        self.lib.qxd_block(name.encode(), -1 if times is None else times)

    def wait_blocked(self, n=1, timeout=5.0):
        """Waits until ``n`` calls are blocked (at most ``timeout`` s); how many are."""
        return self.lib.qxd_wait_blocked(n, int(timeout * 1000))

    def unblock(self, name=None):
        """Lets the blocked calls of ``name`` (every one by default) go on."""
        if name is not None:
            _check_entry(name)
        self.lib.qxd_unblock(None if name is None else name.encode())

    def max_threads(self):
        """The most threads that were inside calls at the same time."""
        return self.lib.qxd_max_threads()

    def overlaps(self):
        """How often a thread entered a call on a connection that another
        thread was inside a call on (a thread a call waits for excepted)."""
        return self.lib.qxd_overlaps()

    def offer(self, attr, on=True, value=0):
        """Offer (or withdraw) an optional capability: QSCLI_ATTR_NULL_FLAGS
        (statement and connection; setting 2 on a statement only with
        value=2: then scripted records carry the ARRA lengths), the error
        texts (read as set_attr_text set them), QSCLI_STMT_CHANGES /
        QSCLI_STMT_LAST_ROWID (read `value`), QSCLI_ATTR_INT64 (statement
        and connection), QSCLI_ATTR_STREAM (see add_batch).
        Without an offer the double refuses them with -95."""
        self.lib.qxd_offer(attr, bool(on), value)

    def set_bulk_journal(self, on):
        """False: qcSqlAddRecords journals None instead of the record bytes."""
        self.lib.qxd_set_bulk_journal(bool(on))

    pack_date = staticmethod(pack_date)
    unpack_date = staticmethod(unpack_date)


WAITED = 2  # add_message(thread=WAITED)


def _check_entry(name):
    if name not in ENTRY_POINTS and name not in OPTIONAL_ENTRY_POINTS:
        raise ValueError("%r is not an entry point of the client library" % (name,))
