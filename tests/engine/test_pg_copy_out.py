"""qcSqlCopyOut: the data of a COPY ... TO STDOUT in pieces, as the server
writes it, and what the connection does while one is being read."""
import ctypes

import pytest

ROWS = "create table c (k int, v text); insert into c select i, repeat('x', i) || E'\\t\\\\' from generate_series(1, 300) i;"
WHOLE = "".join("%d\t%s\\t\\\\\n" % (i, "x" * i) for i in range(1, 301)).encode()


@pytest.fixture
def pg(eng, pg_cluster):
    from conftest import pg_dsn
    eng.qcSqlCopyOut.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_uint,
                                 ctypes.POINTER(ctypes.c_uint)]
    hdb = eng.open(pg_dsn(pg_cluster).encode())
    hs = eng.stmt(hdb)
    assert eng.exec(hs, ROWS) == 0
    yield hdb, hs
    eng.close(hdb)


def read(eng, hs, sql, size):
    """(code, bytes) of one call."""
    buf, n = ctypes.create_string_buffer(size), ctypes.c_uint(99)
    rc = eng.qcSqlCopyOut(hs, sql, buf, size, ctypes.byref(n))
    return rc, buf.raw[:n.value]


def read_all(eng, hs, sql, size):
    rc, data = read(eng, hs, sql, size)
    pieces = []
    while rc == 0 and data:
        assert 0 < len(data) <= size
        pieces.append(data)
        rc, data = read(eng, hs, None, size)
    return rc, b"".join(pieces), pieces


@pytest.mark.parametrize("size", [1, 2, 5, 6, 4095, 4096, 1 << 20])
def test_the_data_comes_whole_in_pieces_of_any_size(eng, pg, size):
    hdb, hs = pg
    rc, data, pieces = read_all(eng, hs, b"copy c to stdout;", size)
    assert rc == 0 and data == WHOLE
    assert all(len(p) == size for p in pieces[:-1])  # each piece as full as asked
    assert read(eng, hs, None, size) == (0, b"")  # ended: nothing more
    assert eng.exec(hs, "select 1") == 0


@pytest.mark.parametrize("begin", [False, True], ids=["autocommit", "transaction"])
def test_anything_else_on_the_connection_cuts_the_copy_short(eng, pg, begin):
    hdb, hs = pg
    if begin:
        assert eng.exec(hs, "begin") == 0
    assert read(eng, hs, b"copy c to stdout;", 10)[1] == WHOLE[:10]
    other = eng.stmt(hdb)
    assert eng.exec(other, "insert into c values (0, 'more')") == 0
    assert read(eng, hs, None, 10) == (-1, b"")  # never taken for the end of the data
    if begin:
        assert eng.exec(hs, "commit") == 0
    rc, data, _ = read_all(eng, hs, b"copy (select count(*) from c) to stdout;", 100)
    assert (rc, data) == (0, b"301\n")


@pytest.mark.parametrize("begin", [False, True], ids=["autocommit", "transaction"])
def test_a_failing_copy_takes_back_only_itself(eng, pg, begin):
    hdb, hs = pg
    if begin:
        assert eng.exec(hs, "begin; insert into c values (0, 'kept')") == 0
    assert read(eng, hs, b"copy nosuch to stdout;", 100)[0] == -1
    # a failure while the data comes: the server's division by zero at the last row
    rc, data, _ = read_all(eng, hs, b"copy (select 1 / (300 - k) from c order by k) to stdout;", 16)
    assert rc == -20  # a data exception
    if begin:
        assert eng.exec(hs, "commit") == 0
    assert read_all(eng, hs, b"copy (select count(*) from c) to stdout;", 100)[:2] == (0, b"301\n" if begin else b"300\n")


@pytest.mark.parametrize("sql, code", [(b"select 1", -95), (b"  -- c\n copy c from stdin", None), (None, 0)])
def test_only_a_copy_is_run(eng, pg, sql, code):
    hdb, hs = pg
    rc, data = read(eng, hs, sql, 10)
    assert data == b"" and (rc == code if code is not None else rc < 0)  # COPY FROM STDIN: refused by the server
    assert eng.exec(hs, "select 1") == 0


def test_the_engine_has_no_copy(eng, hdb, hs):
    eng.qcSqlCopyOut.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_uint,
                                 ctypes.POINTER(ctypes.c_uint)]
    assert read(eng, hs, b"copy t to stdout", 10) == (-90, b"")
