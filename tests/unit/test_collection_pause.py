"""fetchall pauses automatic collection only while C code alone cuts rows:
code that may run Python (the package's exception classes included) runs
with collection as the program left it."""

import datetime
import gc
import struct

import pytest

import qxdouble
from pyqivrexdb import qxcore
from qxdouble import QSCLI_ET_DATE, QSCLI_ET_LONG, colrec


class Recording(Exception):
    """Stands in for the package's InterfaceError and notes what it saw."""
    seen = []

    def __init__(self, *args):
        Recording.seen.append(gc.isenabled())
        super().__init__(*args)


def test_library_released_during_a_read_raises_with_collection_on(double):
    conn = qxcore.connect("srv", "user", "pw")
    cur = conn.cursor()
    day = qxdouble.pack_date(datetime.date(2024, 5, 1))
    qxcore.HEAPCTRL = 0
    double.set_result([colrec(QSCLI_ET_LONG, 4), colrec(QSCLI_ET_DATE, 2)],
                      b"".join(struct.pack("<iH", i, day) for i in range(3)))
    cur.execute("select")
    # A server message during the read releases every load of the library
    # (releases beyond the loads are ignored).
    conn.send_callback(lambda message: [qxcore.freelibrary() for _ in range(10000)])
    double.add_message(b"bye", "qcSqlReadResults")
    qxcore.InterfaceError = Recording
    Recording.seen.clear()
    assert gc.isenabled()
    with pytest.raises(Recording, match="not loaded"):
        cur.fetchall()
    assert Recording.seen == [True]
    assert gc.isenabled()
    qxcore.initlibrary()
