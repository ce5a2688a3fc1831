"""qcSqlReadArrow at the library's interface: a streamed PostgreSQL result's
rows after its records, as Arrow arrays; -90 where there are none."""
import ctypes

import pytest

from conftest import pg_dsn
from pyqivrexdb._qxstandard import QSCLI_ATTR_INT64 as INT64, QSCLI_ATTR_STREAM as STREAM

pa = pytest.importorskip("pyarrow")

from pyqivrexdb._qxstandard import QSCLI_ATTR_TEXT_UTF8 as TEXT_UTF8, QSCLI_E_UNSUPPORTED as UNSUPPORTED


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


def arrays_after_records(eng, hs, total, step):
    """A streamed result's schema, its records made before (read) and then
    its Arrow batches of at most `step` rows: (records, schema, batches)."""
    schema_buf = ctypes.create_string_buffer(72)
    assert read_arrow(eng, hs, 0, 0, schema=ctypes.addressof(schema_buf))[0] == 0
    schema = pa.Schema._import_from_c(ctypes.addressof(schema_buf))
    # The first batch was made as records: those are read first.
    unused = ctypes.create_string_buffer(80)  # held: the library writes into it
    first, _ = read_arrow(eng, hs, 0, step, array=ctypes.addressof(unused))
    assert 0 < first < total
    assert len(eng.read(hs, 0, 1 << 20)[1]) == first * eng.rec_size(hs)
    start, batches = first, []
    while True:
        array = ctypes.create_string_buffer(80)
        rc, n = read_arrow(eng, hs, start, step, array=ctypes.addressof(array))
        assert rc == 0
        if n == 0:
            break
        assert n <= step
        batches.append(pa.RecordBatch._import_from_c(ctypes.addressof(array), schema))
        start += n
    count = ctypes.c_int32(0)
    assert eng.qcSqlRowCount(hs, ctypes.byref(count)) == 0 and count.value == total
    return first, schema, batches


def test_postgresql_rows_come_as_arrow_after_the_records_made_before(eng, pg):
    hs = streamed(eng, pg, "select g::int8 as i, 'v' || g as s from generate_series(1, 5000) g")
    first, schema, batches = arrays_after_records(eng, hs, 5000, 1000)
    assert str(schema) == "i: int64\ns: string"
    assert [i for b in batches for i in b.column("i").to_pylist()] == list(range(first + 1, 5001))


def test_no_arrow_for_a_whole_engine_result_nor_on_a_cp866_connection(eng, hdb, pg_cluster):
    hs = streamed(eng, hdb, "select 1 as i")
    unused = ctypes.create_string_buffer(80)  # held: the library writes into it
    assert read_arrow(eng, hs, 0, 10, array=ctypes.addressof(unused))[0] == UNSUPPORTED
    cp866 = eng.open(pg_dsn(pg_cluster).encode())
    try:
        hs = streamed(eng, cp866, "select g from generate_series(1, 5000) g")
        assert read_arrow(eng, hs, 64, 10, array=ctypes.addressof(unused))[0] == UNSUPPORTED
    finally:
        eng.close(cp866)


@pytest.mark.parametrize("zone, arrow_zone", [
    ("'UTC'", "UTC"), ("'Asia/Kathmandu'", "Asia/Kathmandu"), ("'EST5EDT'", "EST5EDT"),
    ("5", "+05:00"),                                    # named <+05>-05 by the server
    ("interval '-03:30' hour to minute", "-03:30"),     # <-03:30>+03:30
    ("'UTC+3'", "-03:00"),                              # POSIX: three hours west
    ("'<+25>-25'", "UTC"),                              # no Arrow offset names it
])
def test_postgresql_timestamptz_arrays_are_in_the_session_zone(eng, pg, zone, arrow_zone):
    hs = eng.stmt(pg)
    if eng.exec(hs, "set time zone %s" % zone) != 0:
        pytest.skip("the server refuses %s" % zone)
    hs = streamed(eng, pg, "select now() + g * interval '1 s' as t from generate_series(1, 5000) g")
    schema_buf = ctypes.create_string_buffer(72)
    assert read_arrow(eng, hs, 0, 0, schema=ctypes.addressof(schema_buf))[0] == 0
    schema = pa.Schema._import_from_c(ctypes.addressof(schema_buf))
    assert schema.field("t").type == pa.timestamp("us", tz=arrow_zone)


def test_postgresql_batches_of_large_buffers_hold_every_value(eng, pg):
    # 20000 rows a batch: fixed-width buffers past 64 KiB and text that
    # grows its buffer as it comes, NULLs among them, released as pyarrow
    # drops each batch.
    hs = streamed(eng, pg, "select g::int8 as i, case when g % 7 = 0 then null else repeat('x', g % 50) || g end as s,"
                           " g / 4.0::float8 as d from generate_series(1, 60000) g")
    first, schema, batches = arrays_after_records(eng, hs, 60000, 20000)
    assert str(schema) == "i: int64\ns: string\nd: double"
    assert max(b.num_rows for b in batches) == 20000
    def column(name):
        return [v for b in batches for v in b.column(name).to_pylist()]
    wanted = range(first + 1, 60001)
    assert column("i") == list(wanted)
    assert column("s") == [None if g % 7 == 0 else "x" * (g % 50) + str(g) for g in wanted]
    assert column("d") == [g / 4 for g in wanted]
