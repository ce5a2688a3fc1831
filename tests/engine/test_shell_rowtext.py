"""The shell's page formatter (pyqivrexdb._rowtext) against what Python
itself shows for each value."""
import csv
import datetime
import gc
import io
import random
import struct

import pytest

from pyqivrexdb import _rowtext

EDGE_FLOATS = [0.0, -0.0, 1e16, 1e15, 9999999999999998.0, 1e-4, 1e-5, 0.1 + 0.2, 5e-324, 2.2250738585072014e-308,
               1.7976931348623157e308, -1.5, 1e22, 123456789.0, 0.5, 100.0, 1 / 3, float("inf"), float("-inf"),
               float("nan")]


def show(v):
    return "NULL" if v is None else str(v)


def lines(values):
    return _rowtext.table_lines([[v] for v in values], [0], [0], show).split("\n")[:-1]


def test_floats_read_as_repr():
    r = random.Random(5)
    values = list(EDGE_FLOATS)
    for _ in range(50000):
        values.append(struct.unpack("<d", r.getrandbits(64).to_bytes(8, "little"))[0])
        values.append(round(r.uniform(-1e5, 1e5), r.randrange(8)))
        values.append(r.randrange(-10 ** 17, 10 ** 17) * 10.0 ** r.randrange(-25, 25))
    assert lines(values) == [repr(v) for v in values]


@pytest.mark.parametrize("value, shown", [
    (None, "NULL"),
    (0, "0"),
    (-2147483648, "-2147483648"),
    (2 ** 70, str(2 ** 70)),  # past 64 bits: through str()
    (True, "True"),  # not exactly int: through show()
    ("Иван", "Иван"),
    ("", ""),
    (datetime.date(1900, 1, 1), "1900-01-01"),
    (datetime.date(2078, 12, 31), "2078-12-31"),
    (datetime.date(1, 2, 3), "0001-02-03"),
    (b"0a1f", "b'0a1f'"),
])
def test_values(value, shown):
    assert lines([value]) == [shown]


def test_alignment_counts_characters_not_bytes():
    rows = [[1, "Ян", 2.5], [22, "abcd", None]]
    text = _rowtext.table_lines(rows, [2, 4, 4], [1, 0, 1], show)
    assert text == " 1 | Ян   |  2.5\n22 | abcd | NULL\n"
    # the last column, left-aligned, gets no padding; a longer value sticks out
    assert _rowtext.table_lines([["abc", "x"]], [1, 5], [0, 0], show) == "abc | x\n"


def test_csv_reads_back_as_the_csv_module_writes_it():
    texts = ["", "plain", "a,b", 'say "hi"', "line\nbreak", "cr\r", "Ян, \"Ив\"", " lead", '"']
    rows = [[t, 1, 2.5, None, datetime.date(2024, 1, 2)] for t in texts] + [[None, -3, 1e16, "x", None]]
    got = _rowtext.csv_lines(rows, 5, show)
    f = io.StringIO()
    # with "\r\n" between rows the module quotes a lone "\r" too, as we do
    csv.writer(f, lineterminator="\r\n").writerows(rows)
    assert got == f.getvalue().replace("\r\n", "\n")
    assert list(csv.reader(io.StringIO(got))) == [["" if v is None else str(v) for v in r] for r in rows]
    # one empty cell stays a row
    assert _rowtext.csv_lines([[None], [""]], 1, show) == '""\n""\n'


@pytest.mark.parametrize("call, error", [
    (lambda: _rowtext.table_lines([[1, 2], [3]], [1, 1], [0, 0], show), ValueError),
    (lambda: _rowtext.table_lines([[b"x"]], [1], [0], lambda v: 5), TypeError),
    (lambda: _rowtext.table_lines([[b"x"]], [1], [0], lambda v: 1 / 0), ZeroDivisionError),
    (lambda: _rowtext.table_lines([[1]], [1, 2], [0], show), ValueError),
    (lambda: _rowtext.csv_lines([[1, 2]], 1, show), ValueError),
    (lambda: _rowtext.csv_lines([[]], 0, show), ValueError),
])
def test_errors(call, error):
    with pytest.raises(error):
        call()


def test_show_may_change_the_row_it_is_showing():
    row = [b"x", b"y", 3]

    def shrink(v):
        row.clear()
        gc.collect()
        return "z"
    with pytest.raises(ValueError):
        _rowtext.table_lines([row], [1, 1, 1], [0, 0, 0], shrink)
