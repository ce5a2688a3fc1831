"""Cursor: construction, close, the context manager, __del__, the properties
and pickling refusal."""

import copy
import gc
import logging
import pickle
import struct
import weakref

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import InterfaceError, ProgrammingError
from qxdouble import QSCLI_ATTR_FLD_VERBOSE, QSCLI_ET_LONG, colrec

ALLOC = [("qcSqlAllocStmt", (1, None)), ("qcSqlSetStmtAttr", (101, QSCLI_ATTR_FLD_VERBOSE, 1, 0))]
ERR_TO_USER = ("qcSqlExecDirect", (101, b"err_to_user(1);"))


@pytest.fixture
def loaded(double):
    qxcore.initlibrary()
    double.clear()
    return double


@pytest.fixture
def cur(loaded):
    c = qxcore.Cursor(1, False)
    loaded.clear()
    return c


def with_result(double, cur, rows=3):
    double.set_result([colrec(QSCLI_ET_LONG, 4, b"N")],
                      b"".join(struct.pack("<i", i) for i in range(rows)))
    cur.execute("select n")
    double.clear()


def test_class_shape():
    cls = qxcore.Cursor
    assert (cls.__module__, cls.__qualname__) == ("pyqivrexdb.qxcore", "Cursor")
    assert cls.__doc__ == ("\n    DB-API Cursor\n    Cursor(err_to_user=True)\n"
                           "    --Включение расширенной диагностики Qivrex\n"
                           "    --отправлять текстовые сообщения\n    ")
    assert cls.close.__doc__ == "\n        DB-API Cursor.close()\n        "
    assert "реультате" in cls.get_number_records.__doc__
    assert not hasattr(cls, "_reset")
    assert cls.__iter__ and cls.__next__


def test_instances_have_no_dictionary_and_hide_their_fields(cur):
    for name in ("stmt_handle", "read_buffer_size", "columns_count", "start_record", "columns",
                 "results", "results_open", "has_results", "return_code", "_reset", "vtab"):
        assert not hasattr(cur, name)
    with pytest.raises(AttributeError):
        cur.anything = 1


def test_new_cursor_state(cur):
    assert (cur.arraysize, cur.row_count, cur.get_number_records()) == (1, 0, 0)
    assert cur.description is None and cur.retcode() is None


@pytest.mark.parametrize("err_to_user, sends", [
    (False, False), (0, False), ("", False), (None, False),
    (True, True), (1, True), ("yes", True), ([0], True),
])
def test_construction_journal(loaded, err_to_user, sends):
    cur = qxcore.Cursor(1, err_to_user)
    assert loaded.calls() == ALLOC + ([ERR_TO_USER] if sends else [])
    del cur  # a dropped cursor gives its statement back
    assert loaded.calls()[-1] == ("qcSqlFreeStmt", (101,))


def test_construction_by_keyword_and_index(loaded):
    class Handle:
        def __index__(self):
            return 7
    qxcore.Cursor(err_to_user=False, hdb=Handle())
    assert loaded.calls("qcSqlAllocStmt") == [("qcSqlAllocStmt", (7, None))]


@pytest.mark.parametrize("args, kwargs, error", [
    ((), {}, TypeError),
    ((1,), {}, TypeError),
    ((1, 0, 2), {}, TypeError),
    ((1,), {"err": 0}, TypeError),
    (("1", 0), {}, TypeError),
    ((1.0, 0), {}, TypeError),
    ((2 ** 31, 0), {}, OverflowError),
    ((-2 ** 31 - 1, 0), {}, OverflowError),
])
def test_construction_refuses_bad_arguments_before_any_call(loaded, args, kwargs, error):
    with pytest.raises(error):
        qxcore.Cursor(*args, **kwargs)
    assert loaded.calls() == []


@pytest.mark.parametrize("hdb", [2 ** 31 - 1, -2 ** 31])
def test_construction_handle_bounds(loaded, hdb):
    qxcore.Cursor(hdb, 0)
    assert loaded.calls("qcSqlAllocStmt") == [("qcSqlAllocStmt", (hdb, None))]


@pytest.mark.parametrize("entry, error, template, journal", [
    ("qcSqlAllocStmt", InterfaceError, "qcSqlAllocStmt error %d:", ["qcSqlAllocStmt"]),
    ("qcSqlSetStmtAttr", InterfaceError, "qcSqlSetStmtAttr error %d:",
     ["qcSqlAllocStmt", "qcSqlSetStmtAttr", "qcSqlFreeStmt"]),
    ("qcSqlExecDirect", ProgrammingError, "qcSqlExecDirec error %d:",
     ["qcSqlAllocStmt", "qcSqlSetStmtAttr", "qcSqlExecDirect", "qcSqlFreeStmt"]),
])
@pytest.mark.parametrize("subclass", [False, True])
def test_failed_construction_gives_the_statement_back(loaded, entry, error, template, journal,
                                                      subclass):
    cls = type("Mine", (qxcore.Cursor,), {}) if subclass else qxcore.Cursor
    loaded.fail(entry, -11)
    loaded.fail("qcSqlFreeStmt", -1)  # its answer changes nothing
    with pytest.raises(error) as info:
        cls(1, True)
    gc.collect()  # a subclass's inherited __del__ finds nothing left to close
    assert info.value.args == (template, -11)
    assert loaded.names() == journal


def test_failing_init_of_a_live_cursor_keeps_it(loaded):
    c = qxcore.Cursor(1, True)
    loaded.fail("qcSqlExecDirect", -3)
    with pytest.raises(ProgrammingError):
        c.__init__(1, True)
    loaded.clear()
    c.close()
    assert loaded.calls() == [("qcSqlFreeStmt", (101,))]


def test_init_calls_err_to_user_of_a_subclass_each_time(loaded):
    seen = []

    class Mine(qxcore.Cursor):
        def _err_to_user(self):
            seen.append(self)
    c = Mine(1, True)
    c.__init__(1, 1)
    c.__init__(1, 0)
    assert seen == [c, c]
    assert loaded.names() == ["qcSqlAllocStmt", "qcSqlSetStmtAttr"]


def test_construction_debug_line(loaded, caplog):
    qxcore.DEBUG = True
    with caplog.at_level(logging.DEBUG, "pyqivrexdb.qxcore"):
        c = qxcore.Cursor(1, 0)
    assert caplog.records[0].getMessage() == "%r: __cinit__(err_to_user=0)  " % c


def test_close_frees_the_statement_once(double, cur):
    assert cur.close() is None
    assert double.calls() == [("qcSqlFreeStmt", (101,))]
    double.clear()
    with pytest.raises(ProgrammingError) as info:
        cur.close()
    assert info.value.args == ("cursor is already closed",)
    assert double.calls() == []


def test_close_with_an_open_result_closes_it_and_ends_the_rows(double, cur):
    with_result(double, cur)
    cur.close()
    assert double.names() == ["qcSqlCloseResults", "qcSqlFreeStmt"]
    double.clear()
    assert (cur.fetchone(), cur.fetchall(), cur.fetchmany(5)) == (None, [], [])
    assert double.calls() == []
    assert cur.get_number_records() == 3  # close keeps the counts


@pytest.mark.parametrize("entry, message", [
    ("qcSqlCloseResults", "qcSqlCloseResults error -6:"),
    ("qcSqlFreeStmt", "qcSqlFreeStmt error -6:"),
])
def test_close_failures_keep_the_handle(double, cur, entry, message):
    with_result(double, cur)
    double.fail(entry, -6, times=1)
    with pytest.raises(ProgrammingError) as info:
        cur.close()
    assert info.value.args == (message,)
    double.clear()
    cur.close()  # the handle is still held: a second try goes through
    assert double.calls("qcSqlFreeStmt") == [("qcSqlFreeStmt", (101,))]


@pytest.mark.parametrize("during, journal", [
    # a close re-entered while the statement is being freed finds it gone
    ("qcSqlFreeStmt", ["qcSqlCloseResults", "qcSqlFreeStmt"]),
    # a close re-entered while the result set closes frees the statement
    # itself; the outer close has nothing left to free
    ("qcSqlCloseResults", ["qcSqlCloseResults", "qcSqlCloseResults", "qcSqlFreeStmt"]),
])
def test_close_reentered_from_a_server_message_frees_the_statement_once(double, loaded, during,
                                                                        journal):
    conn = qxcore.connect("srv", "user", "pw")
    c = conn.cursor()
    inner = []

    def on_message(message):
        try:
            c.close()
            inner.append(None)
        except ProgrammingError as e:
            inner.append(e.args)
    conn.send_callback(on_message)
    with_result(double, c)
    double.add_message(b"busy", during)
    assert c.close() is None
    assert [n for n in double.names() if n != "qcSqlConnReadMsg"] == journal
    assert double.stale_calls() == []
    assert inner == [("cursor is already closed",) if during == "qcSqlFreeStmt" else None]
    with pytest.raises(ProgrammingError, match="cursor is already closed"):
        c.close()


def test_close_keeps_the_handle_when_freeing_fails_during_a_message(double, loaded):
    conn = qxcore.connect("srv", "user", "pw")
    c = conn.cursor()
    conn.send_callback(lambda message: c.__exit__())  # sees no handle: does nothing
    double.clear()
    double.add_message(b"busy", "qcSqlFreeStmt")
    double.fail("qcSqlFreeStmt", -6, times=1)
    with pytest.raises(ProgrammingError, match="qcSqlFreeStmt error -6:"):
        c.close()
    first = double.calls("qcSqlFreeStmt")
    double.clear()
    c.close()  # the handle was kept: the second try frees the same statement
    assert double.calls() == first == [("qcSqlFreeStmt", (101,))]


def test_close_calls_close_of_a_foreign_results_object(double, loaded):
    closed = []

    class Rows:
        def close(self):
            closed.append(True)

        def __next__(self):
            raise StopIteration

    class Mine(qxcore.Cursor):
        def _read_results(self, buffer_size, rec_size):
            return Rows()
    c = Mine(1, 0)
    double.set_result([colrec(QSCLI_ET_LONG, 4)])
    c.execute("select")
    c.close()
    assert closed == [True]


def test_context_manager(double, cur):
    with cur as entered:
        assert entered is cur
    assert double.names() == ["qcSqlFreeStmt"]


def test_context_manager_lets_exceptions_through_and_skips_a_closed_cursor(double, cur):
    with pytest.raises(KeyError):
        with cur:
            cur.close()
            raise KeyError("x")
    assert double.names() == ["qcSqlFreeStmt"]


def test_exit_takes_positional_arguments_only(cur):
    assert cur.__exit__(None, None, None) is None
    with pytest.raises(TypeError):
        cur.__exit__(exc=None)


def test_del_exit_use_the_close_of_a_subclass(double, loaded):
    closed = []

    class Mine(qxcore.Cursor):
        def close(self):
            closed.append(True)
            super().close()
    c = Mine(1, 0)
    c.__del__()
    c.__del__()  # the handle is gone: nothing more
    c.__exit__()
    assert closed == [True]


def test_a_dropped_cursor_gives_its_statement_back(double, loaded):
    qxcore.Cursor(1, 0)
    gc.collect()
    assert double.calls("qcSqlFreeStmt") == [("qcSqlFreeStmt", (101,))]

    class Mine(qxcore.Cursor):
        pass
    Mine(1, 0)
    gc.collect()
    assert double.calls("qcSqlFreeStmt")[1:] == [("qcSqlFreeStmt", (102,))]


def test_cursor_and_its_rows_are_collected_together(double, loaded):
    class Mine(qxcore.Cursor):
        pass
    c = Mine(1, 0)
    with_result(double, c)
    assert c.fetchone() == [0]  # the iterator now holds the cursor, and it the iterator
    double.clear()
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None
    assert double.names() == ["qcSqlCloseResults", "qcSqlFreeStmt"]  # its inherited __del__


@pytest.mark.parametrize("value, stored", [(0, 0), (5, 5), (2 ** 32 - 1, 2 ** 32 - 1), (True, 1)])
def test_arraysize_accepts_unsigned_32_bit(cur, value, stored):
    cur.arraysize = value
    assert cur.arraysize == stored


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, "can't convert negative value to unsigned int"),
    (2 ** 32, OverflowError, None),
    ("3", TypeError, "an integer is required"),
    (2.0, TypeError, "an integer is required"),
])
def test_arraysize_refuses_and_keeps_its_value(cur, value, error, message):
    with pytest.raises(error) as info:
        cur.arraysize = value
    if message:
        assert str(info.value) == message
    assert cur.arraysize == 1


@pytest.mark.parametrize("value, error", [
    (2 ** 31 - 1, None), (-2 ** 31, None), (2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError),
    (None, TypeError),
])
def test_row_count_is_signed_32_bit(cur, value, error):
    if error:
        with pytest.raises(error):
            cur.row_count = value
        assert cur.get_number_records() == 0
    else:
        cur.row_count = value
        assert cur.row_count == cur.get_number_records() == value


@pytest.mark.parametrize("name", ["arraysize", "row_count"])
def test_deleting_a_property_is_refused(cur, name):
    with pytest.raises(NotImplementedError) as info:
        delattr(cur, name)
    assert info.value.args == ("__del__",)


@pytest.mark.parametrize("value, error", [
    (2 ** 31, OverflowError), (-2 ** 31 - 1, OverflowError), ("5", TypeError),
])
def test_set_start_record_refuses_bad_values(cur, value, error):
    with pytest.raises(error):
        cur.set_start_record(value)


@pytest.mark.parametrize("action", [
    pickle.dumps, copy.copy, copy.deepcopy, lambda c: c.__reduce__(),
    lambda c: c.__setstate__({}),
])
def test_pickling_and_copying_are_refused(cur, action):
    with pytest.raises(TypeError) as info:
        action(cur)
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"


def test_calls_without_a_loaded_library_fail_at_their_call_site(tmp_path):
    # Runs in its own interpreter: this process has loaded the library. Before
    # any load every entry point answers -3001, so each call site raises its
    # own error instead of jumping through an empty table.
    import subprocess
    import sys
    code = ("from pyqivrexdb import qxcore, errors\n"
            "for make in (lambda: qxcore.Cursor(1, 0),\n"
            "             lambda: qxcore.Connection.__new__(qxcore.Connection).connect('a', 'b', 'c')):\n"
            "    try:\n        make()\n"
            "    except errors.InterfaceError as e:\n        print(e.args)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=tmp_path)
    assert out.stdout.split("\n")[:2] == ["('qcSqlAllocStmt error %d:', -3001)",
                                          "('qcSqlAllocConnect error %d:', -3001)"], out.stderr
