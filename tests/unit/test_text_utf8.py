"""The UTF-8 text capability (QSCLI_ATTR_TEXT_UTF8) through the test double:
the standard face asks for it before log-on, the core face never does, and
a library without it keeps code page 866 and says so when it refuses."""
import pytest

import pyqivrexdb
from pyqivrexdb import dbapi
from qxdouble import QSCLI_ATTR_TEXT_UTF8, QSCLI_ET_LONG, QSCLI_STMT_COL_NAMES, colrec


def asked(double):
    return [c.name for c in double.calls() if c.name == "qcSqlConnect" or
            (c.name == "qcSqlSetConnectAttr" and c.args[1] == QSCLI_ATTR_TEXT_UTF8)]


def test_the_standard_face_asks_before_log_on_and_keeps_cp866_when_refused(double):
    double.clear()
    with dbapi.connect("srv", autocommit=True) as c:
        assert asked(double) == ["qcSqlSetConnectAttr", "qcSqlConnect"]
        assert c.text_encoding == "cp866"
        cur = c.cursor()
        cur.execute("select ?", ("Жук",))
        assert double.calls("qcSqlExecDirect")[-1].args[1] == "select 'Жук'".encode("cp866")


@pytest.mark.parametrize("run, cls", [
    (lambda c: c.execute("select ?", ("5 €",)), dbapi.DataError),
    (lambda c: c.execute("select '5 €'"), dbapi.ProgrammingError),
])
def test_a_library_without_it_refuses_naming_its_code_page(double, run, cls):
    with dbapi.connect("srv", autocommit=True) as c:
        with pytest.raises(cls, match="speaks only code page 866"):
            run(c)


def test_the_core_face_never_asks(double):
    double.offer(QSCLI_ATTR_TEXT_UTF8)
    double.clear()
    conn = pyqivrexdb.connect("srv", "", "")
    try:
        assert asked(double) == ["qcSqlConnect"]
        with pytest.raises(UnicodeEncodeError):
            conn.cursor().execute("select '€'")
    finally:
        conn.close()


def test_an_offering_library_gets_utf8_everywhere(double):
    double.offer(QSCLI_ATTR_TEXT_UTF8)
    double.clear()
    with dbapi.connect("srv€", "Zoë", "päss", autocommit=True) as c:
        assert c.text_encoding == "utf-8"
        assert double.calls("qcSqlConnect")[0].args[1:4] == ("srv€".encode(), "Zoë".encode(), "päss".encode())
        c.execute("select ?, '日本'", ("😀",))
        assert double.calls("qcSqlExecDirect")[-1].args[1] == "select '😀', '日本'".encode()


# A library without whole names: a name that fills its record is asked for
# once, refused, and reads as the record gives it; a UTF-8 character the
# record's cut split is left out rather than read as U+FFFD.
@pytest.mark.parametrize("utf8, raw, name", [
    (False, "ц" * 31, "ц" * 31),
    (True, "наименование_товара".encode()[:30], "наименование_то"),
    (True, ("😀" * 8).encode()[:31], "😀" * 7),
    (True, "x" * 31, "x" * 31),
])
def test_a_name_filling_its_record_reads_as_the_record_gives_it(double, utf8, raw, name):
    if utf8:
        double.offer(QSCLI_ATTR_TEXT_UTF8)
    with dbapi.connect("srv", autocommit=True) as c:
        cur = c.cursor()
        double.set_result([colrec(QSCLI_ET_LONG, 4, fname=raw if utf8 else raw.encode("cp866")),
                           colrec(QSCLI_ET_LONG, 4, fname=b"n", off=4)], b"\1\0\0\0\2\0\0\0", rec_size=8)
        double.clear()
        cur.execute("select")
        assert [d[0] for d in cur.description] == [name, "n"]
        assert cur.fetchall() == [(1, 2)]
    asked = [call.args[1] for call in double.calls("qcSqlGetStmtAttr") if call.args[1] == QSCLI_STMT_COL_NAMES]
    assert asked == [QSCLI_STMT_COL_NAMES]


def test_short_names_cost_no_call(double):
    with dbapi.connect("srv", autocommit=True) as c:
        cur = c.cursor()
        double.set_result([colrec(QSCLI_ET_LONG, 4, fname=b"x" * 27)], b"\1\0\0\0", rec_size=4)
        double.clear()
        cur.execute("select")
        assert cur.description[0][0] == "x" * 27
    assert not [call for call in double.calls("qcSqlGetStmtAttr") if call.args[1] == QSCLI_STMT_COL_NAMES]
