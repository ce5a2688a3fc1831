"""fetchone, fetchmany, fetchall and iteration over a cursor."""

import gc
import struct

import pytest

from pyqivrexdb import qxcore
from pyqivrexdb.errors import ProgrammingError
from qxdouble import QSCLI_ET_LONG, colrec

NO_RESULT = "execute() did not produce any result set"


def run(double, cur, n=5, heapctrl=0, **script):
    qxcore.HEAPCTRL = heapctrl
    double.set_result([colrec(QSCLI_ET_LONG, 4, b"N")],
                      b"".join(struct.pack("<i", i) for i in range(n)), **script)
    cur.execute("select n")
    double.clear()


def rows(*numbers):
    return [[i] for i in numbers]


@pytest.mark.parametrize("fetch", [
    lambda c: c.fetchone(), lambda c: c.fetchmany(), lambda c: c.fetchmany(-1),
    lambda c: c.fetchall(), lambda c: next(iter(c)), lambda c: c.next(), lambda c: list(c),
])
def test_fetching_before_execute_is_refused(double, cur, fetch):
    with pytest.raises(ProgrammingError) as info:
        fetch(cur)
    assert info.value.args == (NO_RESULT,)
    assert double.calls() == []


def test_fetch_sequence_with_arraysize_one(double, cur):
    run(double, cur, n=5)
    assert cur.fetchmany() == rows(0)
    assert cur.fetchmany(2) == rows(1, 2)
    assert cur.fetchmany(0) == rows(3)
    assert cur.fetchall() == rows(4)
    assert (cur.fetchone(), cur.fetchall(), cur.fetchmany(9)) == (None, [], [])


@pytest.mark.parametrize("size, taken", [
    (-1, 0), (-2 ** 70, 0), (None, 2), (0, 2), (False, 2), (1, 1), (True, 1), (2.5, 3),
    (6, 6), (7, 6), (2 ** 40, 6), (2 ** 70, 6),
])
def test_fetchmany_sizes(double, cur, size, taken):
    run(double, cur, n=6, heapctrl=8)
    cur.arraysize = 2
    assert cur.fetchmany(size) == rows(*range(taken))
    assert cur.fetchall() == rows(*range(taken, 6))


def test_fetchmany_pulls_no_row_beyond_its_size(double, cur):
    run(double, cur, n=6, heapctrl=0)
    assert cur.fetchmany(size=2) == rows(0, 1)
    assert [c.args[1] for c in double.calls("qcSqlReadResults")] == [0, 1]


def test_fetchmany_with_arraysize_zero_takes_nothing(double, cur):
    run(double, cur, n=3)
    cur.arraysize = 0
    assert cur.fetchmany() == []
    assert double.calls() == []


@pytest.mark.parametrize("args, kwargs", [((1, 2), {}), ((), {"count": 1}), ((1,), {"size": 1})])
def test_fetchmany_argument_errors(cur, args, kwargs):
    with pytest.raises(TypeError):
        cur.fetchmany(*args, **kwargs)


def test_fetchmany_size_that_does_not_compare_fails_before_pulling(double, cur):
    run(double, cur, n=3)
    with pytest.raises(TypeError):
        cur.fetchmany("2")
    assert double.calls() == []
    assert cur.fetchone() == [0]


def test_fetchmany_size_compared_each_row(double, cur):
    run(double, cur, n=9)
    compared = []

    class Size:
        def __gt__(self, taken):
            compared.append(taken)
            return taken < 3
    assert cur.fetchmany(Size()) == rows(0, 1, 2)
    assert compared == [0, 1, 2, 3]


def test_iteration(double, cur):
    run(double, cur, n=4, heapctrl=8)
    assert iter(cur) is cur
    assert [r for r in cur] == rows(0, 1, 2, 3)
    assert [r for r in cur] == []
    with pytest.raises(StopIteration):
        next(cur)
    with pytest.raises(StopIteration):
        cur.next()


def test_a_false_row_ends_iteration_and_subclass_fetchone_is_used(double):
    qxcore.initlibrary()
    served = iter([[1], [], [2]])

    class Mine(qxcore.Cursor):
        def fetchone(self):
            return next(served)
    c = Mine(1, 0)
    assert list(c) == [[1]]
    assert c.next() == [2]


def test_a_subclass_next_is_used_by_next_method(double):
    qxcore.initlibrary()

    class Mine(qxcore.Cursor):
        def __next__(self):
            return "mine"
    assert Mine(1, 0).next() == "mine"


def test_fetchall_across_many_buffers(double, cur):
    run(double, cur, n=1000, heapctrl=64)  # 16 records a read
    assert cur.fetchall() == rows(*range(1000))
    starts = [c.args[1] for c in double.calls("qcSqlReadResults")]
    assert starts == list(range(0, 1001, 16))[:63] + [1000]


@pytest.mark.parametrize("fetch", ["fetchall", "fetchmany"])
def test_rows_are_lost_with_an_error_and_the_iterator_ends(double, cur, fetch):
    run(double, cur, n=10, heapctrl=16)
    assert cur.fetchone() == [0]
    double.fail("qcSqlReadResults", -3, times=1)
    with pytest.raises(ProgrammingError):
        getattr(cur, fetch)(*([5] if fetch == "fetchmany" else []))
    assert cur.fetchall() == []


@pytest.mark.parametrize("enabled", [True, False])
def test_fetchall_restores_automatic_collection(double, cur, enabled):
    run(double, cur, n=3000, heapctrl=4096)
    (gc.enable if enabled else gc.disable)()
    try:
        assert len(cur.fetchall()) == 3000
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


def test_automatic_collection_runs_again_after_a_long_fetchall(double, cur):
    run(double, cur, n=50000, heapctrl=65536)
    assert len(cur.fetchall()) == 50000
    collections = gc.get_stats()[0]["collections"]
    for _ in range(2000):
        a = []
        a.append(a)
    assert gc.get_stats()[0]["collections"] > collections


def test_fetching_foreign_results(double):
    qxcore.initlibrary()

    class Mine(qxcore.Cursor):
        def _read_results(self, buffer_size, rec_size):
            return (r for r in rows(1, 2, 3, 4))
    c = Mine(1, 0)
    double.set_result([colrec(QSCLI_ET_LONG, 4)])
    c.execute("select")
    assert (c.fetchone(), c.fetchmany(2), c.fetchall(), c.fetchone()) == (
        [1], rows(2, 3), rows(4), None)
