"""qcSqlReadArrow at the library's interface: a streamed PostgreSQL result's
rows after its records, as Arrow arrays; -90 where there are none."""
import ctypes

import pytest

from conftest import pg_dsn
from pyqivrexdb._qxstandard import QSCLI_ATTR_INT64 as INT64, QSCLI_ATTR_STREAM as STREAM

pa = pytest.importorskip("pyarrow")

TEXT_UTF8 = 1210
UNSUPPORTED = -90


def read_arrow(eng, hs, start, max_rows, schema=None, array=None):
    rows = ctypes.c_int32(0)
    f = eng.lib.qcSqlReadArrow
    f.argtypes = [ctypes.c_int, ctypes.c_int32, ctypes.c_int32, ctypes.c_uint, ctypes.c_void_p, ctypes.c_void_p,
                  ctypes.POINTER(ctypes.c_int32)]
    return f(hs, start, max_rows, 0, schema, array, ctypes.byref(rows)), rows.value


def streamed(eng, hdb, sql):
    hs = eng.stmt(hdb)
    for attr in (STREAM, INT64):
        assert eng.qcSqlSetStmtAttr(hs, attr, ctypes.c_void_p(1), 0) == 0
    assert eng.exec(hs, sql) == 0
    return hs


@pytest.fixture
def pg(eng, pg_cluster):
    h = ctypes.c_int(0)
    assert eng.qcSqlAllocConnect(ctypes.byref(h)) == 0
    assert eng.qcSqlSetConnectAttr(h, TEXT_UTF8, ctypes.c_void_p(1), 0) == 0
    assert eng.qcSqlConnect(h, pg_dsn(pg_cluster).encode(), b"", b"") == 0
    yield h.value
    eng.close(h.value)


def test_postgresql_rows_come_as_arrow_after_the_records_made_before(eng, pg):
    hs = streamed(eng, pg, "select g::int8 as i, 'v' || g as s from generate_series(1, 5000) g")
    schema_buf = ctypes.create_string_buffer(72)
    assert read_arrow(eng, hs, 0, 0, schema=ctypes.addressof(schema_buf))[0] == 0
    schema = pa.Schema._import_from_c(ctypes.addressof(schema_buf))
    assert str(schema) == "i: int64\ns: string"
    # The first batch was made as records: those are read first.
    unused = ctypes.create_string_buffer(80)  # held: the library writes into it
    first, _ = read_arrow(eng, hs, 0, 1000, array=ctypes.addressof(unused))
    assert 0 < first < 5000
    assert len(eng.read(hs, 0, 1 << 20)[1]) == first * eng.rec_size(hs)
    start, got = first, []
    while True:
        array = ctypes.create_string_buffer(80)
        rc, n = read_arrow(eng, hs, start, 1000, array=ctypes.addressof(array))
        assert rc == 0
        if n == 0:
            break
        assert n <= 1000
        batch = pa.RecordBatch._import_from_c(ctypes.addressof(array), schema)
        got += batch.column("i").to_pylist()
        start += n
    assert got == list(range(first + 1, 5001))
    count = ctypes.c_int32(0)
    assert eng.qcSqlRowCount(hs, ctypes.byref(count)) == 0 and count.value == 5000


def test_no_arrow_on_the_engine_nor_on_a_cp866_connection(eng, hdb, pg_cluster):
    hs = streamed(eng, hdb, "select 1 as i")
    unused = ctypes.create_string_buffer(80)  # held: the library writes into it
    assert read_arrow(eng, hs, 0, 10, array=ctypes.addressof(unused))[0] == UNSUPPORTED
    cp866 = eng.open(pg_dsn(pg_cluster).encode())
    try:
        hs = streamed(eng, cp866, "select g from generate_series(1, 5000) g")
        assert read_arrow(eng, hs, 64, 10, array=ctypes.addressof(unused))[0] == UNSUPPORTED
    finally:
        eng.close(cp866)
