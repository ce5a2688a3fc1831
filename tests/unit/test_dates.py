"""pydate2qxdate: the range check and the library's packing."""
import datetime
import types

import pytest

import qxdouble

from pyqivrexdb import qxcore

D = datetime.date
MESSAGE = " - does not include the date range 01-01-1900 to 31-12-2078"


@pytest.fixture
def qx(double):
    qxcore.initlibrary()
    double.clear()
    return qxcore


@pytest.mark.parametrize("day", [D(1900, 1, 1), D(1900, 1, 2), D(2000, 2, 29), D(2078, 12, 30), D(2078, 12, 31)])
def test_dates_in_range_are_packed_by_the_library(qx, double, day):
    packed = qx.pydate2qxdate(day)
    assert type(packed) is int
    assert packed == qxdouble.pack_date(day)
    assert [c.args for c in double.calls()] == [(day.day, day.month, day.year)]
    assert double.names() == ["qcSqlPackDate"]


@pytest.mark.parametrize("day", [D(1899, 12, 31), D(2079, 1, 1), D(1, 1, 1), D(9999, 12, 31)])
def test_dates_out_of_range(qx, double, day):
    with pytest.raises(qx.ProgrammingError) as info:
        qx.pydate2qxdate(day)
    assert info.value.args == (str(day) + MESSAGE,)
    assert double.calls() == []


def test_message_of_the_day_before_the_range(qx):
    with pytest.raises(qx.ProgrammingError, match="^1899-12-31 - does not include"):
        qx.pydate2qxdate(D(1899, 12, 31))


class SubDate(D):
    pass


def test_a_date_subclass_is_packed(qx, double):
    assert qx.pydate2qxdate(SubDate(2001, 1, 1)) == qxdouble.pack_date(D(2001, 1, 1))


@pytest.mark.parametrize("value", [0, "2001-01-01", None, datetime.datetime(2001, 1, 1), 1.5])
def test_values_that_do_not_order_against_a_date(qx, double, value):
    with pytest.raises(TypeError):
        qx.pydate2qxdate(value)
    assert double.calls() == []


def test_an_object_that_only_compares_like_a_date_is_not_misread(qx, double):
    class Anything:
        def __ge__(self, other):
            return True

        def __le__(self, other):
            return True

    with pytest.raises(TypeError, match="must be datetime.date"):
        qx.pydate2qxdate(Anything())
    assert double.calls() == []


@pytest.mark.parametrize("returned, packed", [(-1, 0xFFFF), (0x12345, 0x2345), (65536, 0), (7, 7)])
def test_only_the_low_16_bits_of_the_library_result(qx, double, returned, packed):
    double.fail("qcSqlPackDate", returned)
    assert qx.pydate2qxdate(D(2000, 1, 1)) == packed


def test_bounds_come_from_the_datetime_attribute_at_call_time(qx, double):
    made = []

    class Date(D):
        def __new__(cls, *parts):
            made.append(parts)
            return D.__new__(cls, *parts)

    qx.datetime = types.SimpleNamespace(date=Date)
    qx.pydate2qxdate(D(2000, 1, 1))
    assert made == [(1900, 1, 1), (2078, 12, 31)]
    made.clear()
    with pytest.raises(qx.ProgrammingError):
        qx.pydate2qxdate(D(1800, 1, 1))
    assert made == [(1900, 1, 1)]  # the upper bound is made only when the lower holds


def test_arguments_and_docstring(qx):
    with pytest.raises(TypeError):
        qx.pydate2qxdate()
    with pytest.raises(TypeError):
        qx.pydate2qxdate(D(2000, 1, 1), D(2000, 1, 1))
    with pytest.raises(TypeError):
        qx.pydate2qxdate(pydate=D(2000, 1, 1))
    assert qx.pydate2qxdate.__doc__ == (
        "\n    граница диапазона с 01-01-1900 по 31-12-2078\n    :param pydate: datetime.date\n    :return: int\n    ")
