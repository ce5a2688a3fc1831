"""Arrow data whose buffers lie (built by hand, as a careless producer of
the C data interface may hand them over), loaded through adbc_ingest on
both backends: refused as the data's fault, before anything is written."""
import ctypes
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


# A producer written in Python (ctypes): its release callbacks run Python
# code, so they must never run while the refusal's exception is pending.
class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                        ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                        ("dictionary", ctypes.c_void_p), ("release", SchemaRelease), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                       ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p), ("release", ArrayRelease),
                       ("private_data", ctypes.c_void_p)]
capsule = ctypes.pythonapi.PyCapsule_New
capsule.restype, capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


@SchemaRelease
def release_schema(p):
    p.contents.release = SchemaRelease()


@ArrayRelease
def release_array(p):
    p.contents.release = ArrayRelease()


class HandMade:
    """One column `a` of Arrow format `fmt` over raw buffers, exported by
    __arrow_c_array__ with nothing checked."""

    def __init__(self, fmt, length, buffers, offset=0):
        self.fmt, self.length, self.buffers, self.offset = fmt, length, buffers, offset
        self.kept = []

    def pointers(self, items):
        array = (ctypes.c_void_p * len(items))(*items)
        self.kept.append(array)
        return ctypes.cast(array, ctypes.c_void_p)

    def __arrow_c_array__(self, requested_schema=None):
        datas = [None if b is None else ctypes.create_string_buffer(b, len(b) or 1) for b in self.buffers]
        child_schema = ArrowSchema(format=self.fmt.encode(), name=b"a", flags=2, release=release_schema)
        schema = ArrowSchema(format=b"+s", name=b"", n_children=1, release=release_schema,
                             children=self.pointers([ctypes.addressof(child_schema)]))
        child = ArrowArray(length=self.length, offset=self.offset, n_buffers=len(datas), release=release_array,
                           buffers=self.pointers([d and ctypes.addressof(d) for d in datas]))
        batch = ArrowArray(length=self.length, n_buffers=1, n_children=1, buffers=self.pointers([None]),
                           children=self.pointers([ctypes.addressof(child)]), release=release_array)
        self.kept += datas + [child_schema, schema, child, batch]
        return (capsule(ctypes.addressof(schema), b"arrow_schema", None),
                capsule(ctypes.addressof(batch), b"arrow_array", None))


@pytest.mark.parametrize("data", [
    HandMade("u", 2, [None, struct.pack("<3i", -4, 2, 2), b"aa"]),  # an offset before the data
    HandMade("u", 2, [None, struct.pack("<3i", 0, 1, 2), b"ab"], offset=1),  # sliced past its offsets
    HandMade("i", 3, [None, None]),  # no values at all
], ids=["negative_offset", "slice_past_the_offsets", "null_data"])
def test_a_hand_made_batch_that_lies_is_refused_as_a_data_error(conn, data):
    cur = conn.cursor()
    cur.execute("create table t (a %s)" % ("integer" if data.fmt == "i" else "text"))
    with pytest.raises(dbapi.DataError, match="does not match its schema"):
        cur.adbc_ingest("t", data, mode="append")
    assert cur.execute("select count(*) from t").fetchone() == (0,)
