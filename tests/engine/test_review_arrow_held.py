"""Review of Arrow ingest with several batches held for one load: a
refusal or a constraint in a later batch, a server lost, an interrupt or a
statement timeout part-way, dictionaries that change from batch to batch,
floats at their edges; and an error in the rest of a result kept while
another statement ran. Each time rows_sent tells what the table holds."""
import math
import threading
import time

import pytest

from pyqivrexdb import dbapi

pa = pytest.importorskip("pyarrow")

S = pa.schema([("k", pa.int64()), ("v", pa.string())])


def batch(keys, texts):
    return pa.record_batch([pa.array(keys, pa.int64()), pa.array(texts)], schema=S)


def reader(batches):
    return pa.RecordBatchReader.from_batches(S, batches)


def big_batches(n, then=None):
    for j in range(n):
        if then and j == n // 2:
            then()
        yield batch(range(j * 20000, (j + 1) * 20000), ["x" * 100] * 20000)


def count(cur, table):
    return cur.execute("select count(*) from %s" % table).fetchone()[0]


# Three batches, the third refused: by its field (packed, after two that
# may go as they are) or by the table's key (the server's word).
THIRD = [
    ("v varchar(2)", ["c", "long"], dbapi.DataError),
    ("k bigint primary key, w text", ["e", "f"], dbapi.IntegrityError),
]


@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
@pytest.mark.parametrize("decl, third, error", THIRD, ids=["misfit", "duplicate-key"])
def test_a_refusal_in_the_third_batch_leaves_what_rows_sent_says(dsn, backend, decl, third, error, autocommit):
    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        cur = conn.cursor()
        cur.execute("create table h (%s)" % (decl if decl.startswith("k ") else "k bigint, " + decl))
        if decl.startswith("k "):
            cur.execute("alter table h rename column w to v")
        conn.commit()
        data = reader([batch([0, 1], ["a", "b"]), batch([2, 3], ["c", "d"]), batch([4, 0], third)])
        with pytest.raises(error) as info:
            cur.adbc_ingest("h", data, mode="append")
        conn.commit()
        assert count(cur, "h") == info.value.rows_sent
        assert cur.execute("select k from h order by k").fetchall() == [(k,) for k in range(info.value.rows_sent)]


@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
@pytest.mark.parametrize("stop", ["interrupt", "statement-timeout"])
def test_a_load_stopped_part_way_keeps_what_rows_sent_says(dsn, backend, stop, autocommit):
    if stop == "statement-timeout" and backend != "postgresql":
        pytest.skip("a server's own timeout")
    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        cur = conn.cursor()
        cur.execute("create table h (k bigint, v text)")
        conn.commit()
        ended = threading.Event()
        if stop == "interrupt":
            def hammer():
                time.sleep(0.2)
                while not ended.wait(0.01):
                    conn.interrupt()
            thread = threading.Thread(target=hammer)
            thread.start()
        else:
            cur.execute("set statement_timeout = 40")
            conn.commit()
        try:
            with pytest.raises(dbapi.OperationalError) as info:
                cur.adbc_ingest("h", reader(big_batches(100)), mode="append")
        finally:
            ended.set()
            if stop == "interrupt":
                thread.join()
        if stop != "interrupt":
            cur.execute("set statement_timeout = 0")
        conn.commit()
        assert count(cur, "h") == info.value.rows_sent


@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
def test_a_server_lost_between_batches_is_an_operational_error(dsn, backend, autocommit):
    if backend != "postgresql":
        pytest.skip("a server's connection")
    # A lost session's commit raises, as it should: no `with` for conn.
    conn = dbapi.connect(dsn, autocommit=autocommit)
    with dbapi.connect(dsn, autocommit=True) as killer:
        cur = conn.cursor()
        cur.execute("create table h (k bigint, v text)")
        conn.commit()
        pid = cur.execute("select pg_backend_pid()").fetchone()[0]

        def kill():
            killer.cursor().execute("select pg_terminate_backend(%d)" % pid)
            time.sleep(0.2)
        with pytest.raises(dbapi.OperationalError, match="lost") as info:
            cur.adbc_ingest("h", reader(big_batches(60, then=kill)), mode="append")
        # What went in stays in autocommit; a transaction is lost with its connection.
        assert count(killer.cursor(), "h") == (info.value.rows_sent if autocommit else 0)
        with pytest.raises(dbapi.OperationalError):
            cur.execute("select 1")
    conn.close()


def test_a_dictionary_that_changes_from_batch_to_batch(conn):
    kind = pa.dictionary(pa.int8(), pa.string())
    schema = pa.schema([("k", pa.int64()), ("v", kind)])

    def part(keys, indices, values):
        return pa.record_batch([pa.array(keys, pa.int64()),
                                pa.DictionaryArray.from_arrays(pa.array(indices, pa.int8()), pa.array(values))],
                               schema=schema)
    data = pa.RecordBatchReader.from_batches(schema, [part([0, 1], [0, 1], ["a", "b"]),
                                                      part([2, 3], [1, 0], ["x", "y"]),
                                                      part([4, 5], [1, None], ["p", None])])
    cur = conn.cursor()
    assert cur.adbc_ingest("h", data) == 6
    assert cur.execute("select v from h order by k").fetchall() == [("a",), ("b",), ("y",), ("x",), (None,), (None,)]


def test_categoricals_of_other_libraries(conn):
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    cur = conn.cursor()
    # polars: indices uint32 and uint8, values string_view.
    frame = pl.DataFrame({"k": [0, 1, 2, 3], "c": pl.Series(["lo", "hi", None, "lo"], dtype=pl.Categorical),
                          "e": pl.Series(["a", None, "b", "a"], dtype=pl.Enum(["a", "b"]))})
    assert cur.adbc_ingest("pl", frame) == 4
    assert cur.execute("select c, e from pl order by k").fetchall() == [
        ("lo", "a"), ("hi", None), (None, "b"), ("lo", "a")]
    # pandas: categories of numbers.
    frame = pd.DataFrame({"k": [0, 1, 2], "c": pd.Categorical([10, None, 2**40], ordered=True)})
    assert cur.adbc_ingest("pd", pa.Table.from_pandas(frame, preserve_index=False)) == 3
    assert cur.execute("select c from pd order by k").fetchall() == [(10,), (None,), (2**40,)]


@pytest.mark.parametrize("typ", [pa.float32(), pa.float64()])
def test_floats_into_double_precision_at_their_edges(conn, backend, typ):
    cur = conn.cursor()
    cur.execute("create table h (k bigint, v double precision)")
    values = [-0.0, math.inf, -math.inf, 3.4028234663852886e38, 1e-45]
    schema = pa.schema([("k", pa.int64()), ("v", typ)])
    table = pa.table({"k": pa.array(range(len(values)), pa.int64()), "v": pa.array(values, typ)}, schema=schema)
    assert cur.adbc_ingest("h", table, mode="append") == len(values)
    rows = cur.execute("select v from h order by k").fetchall()
    assert rows[1:3] == [(math.inf,), (-math.inf,)]
    # The same values as the row path stores them (the engine keeps -0.0 as 0.0).
    cur.execute("delete from h")
    cur.executemany("insert into h values (?, ?)", list(enumerate(table.column("v").to_pylist())))
    want = cur.execute("select v from h order by k").fetchall()
    assert [(v, math.copysign(1, v)) for (v,) in rows] == [(v, math.copysign(1, v)) for (v,) in want]
    with pytest.raises(dbapi.DataError, match="row 1, field v") as info:
        cur.adbc_ingest("h", pa.table({"k": pa.array([9, 9], pa.int64()), "v": pa.array([1.0, math.nan], typ)}),
                        mode="append")
    assert info.value.rows_sent == 0


@pytest.mark.parametrize("read", ["rows", "arrow"])
@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
def test_postgresql_an_error_in_the_rest_kept_for_another_statement(dsn, backend, autocommit, read):
    if backend != "postgresql":
        pytest.skip("a server's error part-way")
    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        cur = conn.cursor()
        cur.execute("select k, case when k = 25000 then abs(k * 0 - 9223372036854775807::bigint - 1) else k end, "
                    "case when k % 100 = 0 then null else 't' end from generate_series(1, 30000) k")
        head = cur.fetchmany(10)
        # The rest is read ahead, up to its error, for this one.
        assert conn.cursor().execute("select 1").fetchall() == [(1,)]
        got = list(head)
        with pytest.raises(dbapi.DataError, match="bigint out of range"):
            if read == "rows":
                while True:
                    row = cur.fetchone()
                    assert row is not None
                    got.append(row)
            else:
                for b in cur.fetch_record_batch():
                    got += [tuple(r.values()) for r in b.to_pylist()]
        assert [r[0] for r in got] == list(range(1, len(got) + 1))
        if read == "rows":
            assert len(got) == 24999
        with pytest.raises(dbapi.ProgrammingError, match="cannot be fetched"):
            cur.fetchone()
        assert conn.cursor().execute("select 2").fetchall() == [(2,)]


@pytest.mark.parametrize("mode", ["create", "append"])
def test_a_row_null_as_a_whole_is_refused_not_loaded_from_the_values_under_it(conn, mode):
    # A struct array's own validity: row 2 is absent, whatever its children hold.
    data = pa.StructArray.from_arrays([pa.array(range(4), pa.int64()), pa.array(["a", "b", "c", "d"])],
                                      names=["k", "v"], mask=pa.array([False, False, True, False]))
    cur = conn.cursor()
    if mode == "append":
        cur.execute("create table h (k bigint, v text)")
    with pytest.raises(dbapi.DataError, match="row 2 of an Arrow batch is null as a whole"):
        cur.adbc_ingest("h", data, mode=mode)
    # A slice without it loads.
    assert cur.adbc_ingest("h", data.slice(0, 2), mode="create_append") == 2
    assert cur.execute("select k, v from h order by k").fetchall() == [(0, "a"), (1, "b")]
