"""Arrow data whose buffers lie (built by hand, as a careless producer of
the C data interface may hand them over), loaded through adbc_ingest on
both backends: refused as the data's fault, before anything is written."""
import struct

import pytest

from pyqivrexdb import dbapi

pa = pytest.importorskip("pyarrow")


def texts(typ, offsets, data):
    fmt = "<%di" if typ == pa.string() else "<%dq"
    return pa.Array.from_buffers(typ, len(offsets) - 1,
                                 [None, pa.py_buffer(struct.pack(fmt % len(offsets), *offsets)), pa.py_buffer(data)])


@pytest.mark.parametrize("typ", [pa.string(), pa.large_string(), pa.binary(), pa.large_binary()])
@pytest.mark.parametrize("offsets", [[0, 5, 2, 6], [0, 6, 0, 6], [0, 100, 6, 6]], ids=["backwards", "back_to_start", "past_the_data"])
def test_text_offsets_that_go_backwards_are_refused_as_a_data_error(conn, backend, typ, offsets):
    # Row 1 spans bytes 5 .. 2: a text of a negative length, which the
    # ingest read as a size and failed with a SystemError.
    cur = conn.cursor()
    decl = "text" if pa.types.is_string(typ) or pa.types.is_large_string(typ) else (
        "bytea" if backend == "postgresql" else "blob")
    cur.execute("create table t (a %s)" % decl)
    fmt = typ if typ in (pa.string(), pa.large_string()) else (
        pa.string() if typ == pa.binary() else pa.large_string())
    arr = texts(fmt, offsets, b"abcdef").view(typ)
    with pytest.raises(dbapi.DataError, match="does not match its schema"):
        cur.adbc_ingest("t", pa.table({"a": arr}), mode="append")
    assert cur.execute("select count(*) from t").fetchone() == (0,)


@pytest.mark.parametrize("offsets", [[0, 5, 2, 6], [0, 100, 6, 6]], ids=["backwards", "past_the_data"])
def test_a_dictionarys_values_whose_offsets_lie_are_refused_as_a_data_error(conn, offsets):
    # [0, 100, 6]: value 0 reads 100 bytes of a buffer of 6.
    cur = conn.cursor()
    cur.execute("create table t (a text)")
    column = pa.DictionaryArray.from_arrays(pa.array([0, 1, 2, 0], pa.int8()), texts(pa.string(), offsets, b"abcdef"))
    with pytest.raises(dbapi.DataError, match="does not match its schema"):
        cur.adbc_ingest("t", pa.table({"a": column}), mode="append")
    assert cur.execute("select count(*) from t").fetchone() == (0,)
