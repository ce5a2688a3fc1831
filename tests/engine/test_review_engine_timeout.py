"""The engine's statement_timeout stops a call whose time goes partly to
Python (an executemany fed by a generator): a stop that lands between two
library calls is not lost."""
import time

import pytest

from pyqivrexdb import dbapi


# The stop is made again every 50 ms until it lands in a library call: the
# sources run long enough after their pause (several seconds, unstopped) that
# a fast load cannot end before one does.
def rows_after_a_pause(pause):
    for i in range(5_000_000):
        if i == 10:
            time.sleep(pause)  # the timer fires here, between library calls
        yield (i, "abc")


@pytest.mark.parametrize("autocommit", [False, True])
def test_an_executemany_past_its_statement_timeout_is_stopped_on_the_engine(tmp_path, autocommit):
    conn = dbapi.connect(str(tmp_path / "t.db"), statement_timeout=0.2, autocommit=autocommit)
    conn.execute("create table st(id integer, s varchar(10))")
    conn.commit()
    started = time.monotonic()
    with pytest.raises(dbapi.OperationalError, match="statement_timeout"):
        conn.cursor().executemany("insert into st values (?, ?)", rows_after_a_pause(0.4))
    assert time.monotonic() - started < 5
    conn.rollback()
    # the stop does not outlive its call
    assert conn.execute("select count(*) from st").fetchone() == (0,)
    conn.close()


def batches_after_a_pause(pa, pause):
    schema = pa.schema([("id", pa.int64()), ("s", pa.string())])

    def batches():
        for i in range(500_000):
            if i == 10:
                time.sleep(pause)
            yield pa.record_batch([pa.array([i] * 10), pa.array(["abc"] * 10)], schema=schema)
    return pa.RecordBatchReader.from_batches(schema, batches())


@pytest.mark.parametrize("load", ["addrecords", "adbc_ingest"])
def test_a_bulk_load_past_its_statement_timeout_is_stopped_on_the_engine(tmp_path, load):
    conn = dbapi.connect(str(tmp_path / "t.db"), statement_timeout=0.2)
    conn.execute("create table st(id integer, s varchar(10))")
    conn.commit()
    started = time.monotonic()
    with pytest.raises(dbapi.OperationalError, match="statement_timeout"):
        if load == "addrecords":
            conn.addrecords("st", rows_after_a_pause(0.4))
        else:
            conn.cursor().adbc_ingest("st", batches_after_a_pause(pytest.importorskip("pyarrow"), 0.4), "append")
    assert time.monotonic() - started < 5
    conn.rollback()
    assert conn.execute("select count(*) from st").fetchone() == (0,)
    conn.close()
