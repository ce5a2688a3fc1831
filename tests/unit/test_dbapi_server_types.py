"""A library that tells no server types (the vendor's, played by the test
double): the standard face asks once, and every value reads as its element
type gives it, as before the capability."""
import struct

import pytest

from pyqivrexdb import dbapi
from qxdouble import QSCLI_ATTR_SERVER_TYPES, QSCLI_ET_BYTE, QSCLI_ET_CHAR, QSCLI_ET_DFLT, colrec


@pytest.mark.parametrize("offered", [False, True], ids=["refused", "accepted-but-tells-none"])
def test_values_stay_as_the_element_types_give_them(double, offered):
    if offered:
        double.offer(QSCLI_ATTR_SERVER_TYPES)
    cols = [colrec(QSCLI_ET_CHAR, 20, fname=b"at"), colrec(QSCLI_ET_CHAR, 5, fname=b"amount", off=20),
            colrec(QSCLI_ET_BYTE, 1, fname=b"ok", off=25), colrec(QSCLI_ET_DFLT, 8, fname=b"x", off=26)]
    record = b"2024-01-02 03:04:05\0" + b"12.50" + b"\x01" + struct.pack("<d", 1.5)
    with dbapi.connect("srv", autocommit=True) as conn:
        cur = conn.cursor()
        asked = [c.args[1:] for c in double.calls("qcSqlSetStmtAttr") if c.args[1] == QSCLI_ATTR_SERVER_TYPES]
        assert asked == [(QSCLI_ATTR_SERVER_TYPES, 1, 0)]
        double.set_result(cols, record, rec_size=len(record))
        cur.execute("select")
        row = cur.fetchone()
    assert [(type(v), v) for v in row] == [(str, "2024-01-02 03:04:05"), (str, "12.50"), (int, 1), (float, 1.5)]
