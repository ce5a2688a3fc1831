"""A number written into a column of another kind: every path (one execute
a row, executemany of a few rows, the bulk load) stores it exactly or
refuses it, the same way, on both backends."""
import pytest

from pyqivrexdb import dbapi

PATHS = {"execute": 1, "executemany": 2, "bulk": dbapi._BULK_MIN_ROWS}


def outcome(dsn, column, value, rows):
    with dbapi.connect(dsn) as conn:
        conn.execute("drop table if exists nb")
        conn.execute("create table nb(i integer, v %s)" % column)
        try:
            if rows == 1:
                conn.execute("insert into nb values (?, ?)", (0, value))
            else:
                conn.cursor().executemany("insert into nb values (?, ?)", [(i, value) for i in range(rows)])
        except (dbapi.DataError, dbapi.ProgrammingError):
            return "refused"
        return conn.execute("select distinct v from nb").fetchall()


@pytest.mark.xfail(strict=True, reason=(
    "execute() and a short executemany() store an int a double cannot hold as the nearest double "
    "(2**53 + 1 reads back 9007199254740992.0); the bulk load refuses it"))
@pytest.mark.parametrize("value", [2 ** 53 + 1, 2 ** 63 - 1])
def test_an_int_a_double_cannot_hold_is_refused_on_every_path(dsn, backend, value):
    column = "double precision" if backend == "postgresql" else "double"
    got = {path: outcome(dsn, column, value, rows) for path, rows in PATHS.items()}
    assert got == dict.fromkeys(PATHS, "refused")


def test_a_float_with_a_fraction_into_an_integer_column_is_refused_on_every_path(dsn, backend, request):
    if backend == "postgresql":
        request.applymarker(pytest.mark.xfail(strict=True, reason=(
            "execute() sends 1.5 as a number the server rounds into an integer column (2); "
            "executemany and the engine refuse it")))
    got = {path: outcome(dsn, "integer", 1.5, rows) for path, rows in PATHS.items()}
    assert got == dict.fromkeys(PATHS, "refused")
