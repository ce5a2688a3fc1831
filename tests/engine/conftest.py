"""Engine tests: the staged libqscli.so, loaded by path with ctypes.

These run in a pytest process of their own (never together with tests/unit,
which loads the test double under the same bare name).
"""
import contextlib
import ctypes
import importlib.util
import os
import pathlib
import struct
import sys
import threading
import time

import pytest

# The test modules import the helpers below as `conftest`.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# The library's codes, as the extension has them.
from pyqivrexdb import _qxstandard as _codes, qxcore as _qxcore  # noqa: E402

ET = {name[len("QSCLI_ET_"):]: code for name, code in vars(_qxcore).items() if name.startswith("QSCLI_ET_")}
SAB_TYPE, DST_INFO, RC_TYPE, RC_SIZE, RC_BODY = (getattr(_codes, "QSCLI_STMT_" + name) for name in (
    "SAB_TYPE", "DST_INFO", "RC_TYPE", "RC_SIZE", "RC_BODY"))
SRV_VERS2, LCLADDR, RMTADDR = _codes.QSCLI_CONN_SRV_VERS2, _codes.QSCLI_CONN_LCLADDR, _codes.QSCLI_CONN_RMTADDR
CBK_SRVMSG, CBK_SRVUSERSEND = _codes.QSCLI_ATTR_CBK_SRVMSG, _codes.QSCLI_ATTR_CBK_SRVUSERSEND
FLD_VERBOSE = _codes.QSCLI_ATTR_FLD_VERBOSE

SrvMsgT = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int)


def library_path():
    found = importlib.util.find_spec("pyqivrexdb")
    return pathlib.Path(list(found.submodule_search_locations)[0]) / "libqscli.so"


COLSTRUCT = struct.Struct("<iiiII32s32si32sii")
COLNAMES = ("aliasno", "fieldno", "type", "len", "off", "coder", "fname", "func", "asname", "key", "resno")


def colstruct(raw):
    d = dict(zip(COLNAMES, COLSTRUCT.unpack(raw)))
    for k in ("coder", "fname", "asname"):
        d[k] = d[k].split(b"\0", 1)[0]
    return d


def decode_field(t, raw, eng):
    """A field's value as the driver reads it (enough for the tests)."""
    if t == ET["CHAR"]:
        return raw.decode("cp866")
    if t == ET["ARRA"]:
        return raw.hex().encode()
    if t == ET["FLOA"]:
        return struct.unpack("<f", raw)[0]
    if t in (ET["CURR"], ET["DFLT"]):
        return struct.unpack("<d", raw)[0]
    signed = t in (ET["INTR"], ET["LONG"])
    v = int.from_bytes(raw, "little", signed=signed)
    if t == ET["DATE"]:
        return eng.unpack(v) if v else None
    return v


class Engine:
    """Thin ctypes front of the engine; every call returns its code."""

    def __init__(self, path):
        self.lib = lib = ctypes.CDLL(str(path))
        i, u, p, c = ctypes.c_int, ctypes.c_uint, ctypes.c_void_p, ctypes.c_char_p
        pi, pu = ctypes.POINTER(i), ctypes.POINTER(u)
        sigs = {
            "qcSqlInit": [i], "qcSqlDone": [], "qcSqlAllocConnect": [pi], "qcSqlDisconnect": [pi],
            "qcSqlFreeConnect": [pi], "qcSqlConnect": [i, c, c, c],
            "qcSqlGetConnectAttr": [i, u, i, p, u, pu], "qcSqlSetConnectAttr": [i, u, p, u],
            "qcSqlConnReadMsg": [i, p, u, pu], "qcSqlAllocStmt": [i, pi], "qcSqlSetStmtAttr": [i, u, p, u],
            "qcSqlExecDirect": [i, c], "qcSqlGetStmtAttr": [i, u, i, p, u, pu],
            "qcSqlNumResultCols": [i, pi], "qcSqlRowCount": [i, ctypes.POINTER(ctypes.c_int32)],
            "qcSqlOpenResults": [i, pu], "qcSqlReadResults": [i, ctypes.c_int32, p, u, pu],
            "qcSqlCloseResults": [i], "qcSqlFreeStmt": [i], "qcSqlAddRecords": [i, c, ctypes.c_int32, u, p],
            "qcSqlPackDate": [u, u, u], "qcSqlUnpackDate": [ctypes.c_ushort, pu, pu, pu],
        }
        for name, args in sigs.items():
            f = getattr(lib, name)
            f.argtypes = args
            f.restype = i
        self.callbacks = []  # keep ctypes thunks alive

    def __getattr__(self, name):
        return getattr(self.lib, name)

    # connections
    def open(self, server, user=b"", passwd=b""):
        h = ctypes.c_int(0)
        assert self.lib.qcSqlAllocConnect(ctypes.byref(h)) == 0
        rc = self.lib.qcSqlConnect(h, server if isinstance(server, bytes) else str(server).encode("cp866"),
                                   user, passwd)
        assert rc == 0, rc
        return h.value

    def close(self, hdb):
        h = ctypes.c_int(hdb)
        return self.lib.qcSqlDisconnect(ctypes.byref(h)), self.lib.qcSqlFreeConnect(ctypes.byref(h))

    def stmt(self, hdb):
        h = ctypes.c_int(0)
        rc = self.lib.qcSqlAllocStmt(hdb, ctypes.byref(h))
        assert rc == 0, rc
        return h.value

    def exec(self, hs, sql):
        return self.lib.qcSqlExecDirect(hs, sql if isinstance(sql, bytes) else sql.encode("cp866"))

    def attr_u32(self, hs, attr):
        buf, n = ctypes.c_uint32(0), ctypes.c_uint(0)
        rc = self.lib.qcSqlGetStmtAttr(hs, attr, 0, ctypes.byref(buf), 4, ctypes.byref(n))
        assert rc == 0, rc
        return buf.value

    def retval(self, hs):
        size = self.attr_u32(hs, RC_SIZE)
        if not size:
            return None
        t = ctypes.c_int32(self.attr_u32(hs, RC_TYPE)).value
        buf, n = ctypes.create_string_buffer(size), ctypes.c_uint(0)
        assert self.lib.qcSqlGetStmtAttr(hs, RC_BODY, 0, buf, size, ctypes.byref(n)) == 0
        return t, buf.raw[:n.value]

    def counts(self, hs):
        rows, cols = ctypes.c_int32(0), ctypes.c_int(0)
        assert self.lib.qcSqlRowCount(hs, ctypes.byref(rows)) == 0
        assert self.lib.qcSqlNumResultCols(hs, ctypes.byref(cols)) == 0
        return rows.value, cols.value

    def columns(self, hs):
        _, ncols = self.counts(hs)
        buf, n = ctypes.create_string_buffer(128 * max(ncols, 1)), ctypes.c_uint(0)
        assert self.lib.qcSqlGetStmtAttr(hs, DST_INFO, 0, buf, 128 * ncols, ctypes.byref(n)) == 0
        assert n.value == 128 * ncols
        return [colstruct(buf.raw[128 * k:128 * k + 128]) for k in range(ncols)]

    def rec_size(self, hs):
        r = ctypes.c_uint(0)
        assert self.lib.qcSqlOpenResults(hs, ctypes.byref(r)) == 0
        return r.value

    def read(self, hs, start, size):
        buf, n = ctypes.create_string_buffer(max(size, 1)), ctypes.c_uint(0)
        rc = self.lib.qcSqlReadResults(hs, start, buf, size, ctypes.byref(n))
        return rc, buf.raw[:n.value]

    def records(self, hs, bufsize=65536):
        rs = self.rec_size(hs)
        out, start = b"", 0
        while True:
            rc, data = self.read(hs, start, max(bufsize // rs, 1) * rs)
            assert rc == 0, rc
            if not data:
                return out
            assert len(data) % rs == 0
            out += data
            start += len(data) // rs

    def rows(self, hs):
        cols = self.columns(hs)
        data = self.records(hs)
        rs = sum(c["len"] for c in cols)
        out = []
        for k in range(0, len(data), rs):
            row, at = [], k
            for c in cols:
                row.append(decode_field(c["type"], data[at:at + c["len"]], self))
                at += c["len"]
            out.append(row)
        return out

    def query(self, hs, sql):
        rc = self.exec(hs, sql)
        assert rc == 0, (rc, sql)
        return self.rows(hs)

    def unpack(self, packed):
        import datetime
        d, m, y = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
        self.lib.qcSqlUnpackDate(packed, ctypes.byref(d), ctypes.byref(m), ctypes.byref(y))
        return datetime.date(y.value, m.value, d.value)

    def on_message(self, hdb, user=False):
        """Registers a callback; returns the list that collects its messages."""
        got = []

        def cb(h, usertype):
            text, buf, n = b"", ctypes.create_string_buffer(250), ctypes.c_uint(1)
            while True:
                self.lib.qcSqlConnReadMsg(h, buf, 250, ctypes.byref(n))
                if not n.value:
                    break
                text += buf.raw[:n.value]
            got.append((text.decode("cp866"), usertype) if user else text.decode("cp866"))

        thunk = SrvMsgT(cb)
        self.callbacks.append(thunk)
        attr = CBK_SRVUSERSEND if user else CBK_SRVMSG
        assert self.lib.qcSqlSetConnectAttr(hdb, attr, ctypes.cast(thunk, ctypes.c_void_p), 0) == 0
        return got


@pytest.fixture(scope="session")
def eng():
    e = Engine(library_path())
    assert e.qcSqlInit(0) == 0
    return e


@pytest.fixture
def hdb(eng):
    h = eng.open(b":memory:")
    yield h
    eng.close(h)


@pytest.fixture
def hs(eng, hdb):
    return eng.stmt(hdb)


# ---- the two backends ----
#
# Tests that take `dsn` run once on an SQLite file and once on a PostgreSQL
# server: a throw-away cluster started for the session (tests/pgcluster.py),
# or the server QX_PG_DSN names. Each test gets a schema of its own there.

BACKENDS = ["sqlite", "postgresql"]


@pytest.fixture(scope="session")
def pg_cluster():
    import pgcluster
    if not pgcluster.bindir():
        why = "PostgreSQL's server programs (initdb) are not installed; tools/setup installs them"
        if os.environ.get("CI") == "true":
            pytest.fail("CI must run the PostgreSQL half: " + why)
        pytest.skip(why)
    cluster = pgcluster.Cluster().start()
    yield cluster
    cluster.remove()


def pg_dsn(cluster):
    """A DSN whose tables land in a fresh schema."""
    import uuid
    schema = "t" + uuid.uuid4().hex[:16]
    cluster.psql(f"create schema {schema}")
    return cluster.dsn(options=f"-csearch_path%3D{schema}")


@pytest.fixture(params=BACKENDS)
def backend(request):
    return request.param


@pytest.fixture
def dsn(request, backend, tmp_path):
    if backend == "sqlite":
        return str(tmp_path / "db.sqlite")
    return pg_dsn(request.getfixturevalue("pg_cluster"))


@pytest.fixture
def conn(dsn):
    """A standard connection to the test's backend; a test file may define its own."""
    from pyqivrexdb import dbapi
    c = dbapi.connect(dsn)
    yield c
    c.close()


@pytest.fixture
def cur(conn):
    """A cursor of the test file's own `conn`."""
    return conn.cursor()


@pytest.fixture(autouse=True)
def _restore_module():
    """Callbacks and HEAPCTRL set by a test go with it."""
    from pyqivrexdb import qxcore
    saved = qxcore.SCALLBACK, qxcore.USCALLBACK, qxcore.HEAPCTRL
    yield
    qxcore.SCALLBACK, qxcore.USCALLBACK, qxcore.HEAPCTRL = saved


# ---- stopping what runs ----

@contextlib.contextmanager
def interrupting(stop, every=0.05):
    """Calls `stop` (conn.interrupt, or a cancel of the library) again and
    again until the block ends. An interrupt reaches only a call that runs,
    so a statement the block starts is stopped however long a loaded machine
    takes to start it; none is sent once the block has ended."""
    done = threading.Event()

    def keep_stopping():
        while not done.wait(every):
            stop()

    thread = threading.Thread(target=keep_stopping, daemon=True)
    thread.start()
    try:
        yield
    finally:
        done.set()
        thread.join()


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until_busy(pid, seconds, timeout=60):
    """Waits until process `pid` has used `seconds` of processor time: a
    child that said it starts a call is then inside it (a fixed sleep is not
    enough on a loaded machine)."""
    deadline = time.monotonic() + timeout
    while cpu_seconds(pid) < seconds:
        assert time.monotonic() < deadline, "the process never got busy"
        time.sleep(0.05)
