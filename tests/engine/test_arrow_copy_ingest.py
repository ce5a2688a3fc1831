"""Arrow batches loaded as they are (on PostgreSQL straight into binary COPY)
beside batches packed into records: the same values in the table, the same
refusals, and rows_sent telling what went in, on both backends."""
import math

import pytest

from pyqivrexdb import dbapi

pa = pytest.importorskip("pyarrow")


def back(cur, table, cols="*"):
    return cur.execute("select %s from %s order by k" % (cols, table)).fetchall()


# (declared type, Arrow type, values with their edges); the values of each
# row k are the same in every batch but for k.
DIRECT = [
    ("bigint", pa.int8(), [-128, 127, None]),
    ("bigint", pa.int16(), [-32768, 32767, None]),
    ("bigint", pa.int32(), [-(2**31), 2**31 - 1, None]),
    ("bigint", pa.int64(), [-(2**63) + 1, 2**63 - 1, None]),
    ("integer", pa.int8(), [-128, 127, None]),
    ("integer", pa.int32(), [-(2**31) + 1, 2**31 - 1, None]),
    ("smallint", pa.int16(), [-32767, 32767, None]),
    ("double precision", pa.float32(), [1.5, -math.inf, None]),
    ("double precision", pa.float64(), [-0.0, 1.7976931348623157e308, None]),
    ("text", pa.string(), ["", "жёлтый\t\\N\n", None]),
    ("text", pa.large_string(), ["x" * 300, "'\"", None]),
    ("varchar(4)", pa.string(), ["жжжж", "a", None]),
    ("char(3)", pa.string(), ["ab", "", None]),
]


def test_every_pair_taken_as_it_is_round_trips_through_sliced_batches(conn, backend):
    # The engine keeps a char's blanks.
    DIRECT_HERE = [c for c in DIRECT if c[0] != "char(3)" or backend == "postgresql"]
    cur = conn.cursor()
    cur.execute("create table dp (k bigint, %s)" % ", ".join("c%d %s" % (j, d) for j, (d, _, _) in
                                                             enumerate(DIRECT_HERE)))
    # Several batches of a table sliced inside them: the struct's offset and
    # each column's own.
    rows = 3 * 7
    cols = {"k": pa.array(range(rows), pa.int64())}
    for j, (_, typ, values) in enumerate(DIRECT_HERE):
        cols["c%d" % j] = pa.array([values[k % 3] for k in range(rows)], typ)
    table = pa.table(cols).slice(2).combine_chunks()
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=5))
    sliced = pa.Table.from_batches(list(reader)).slice(1, 15)
    assert cur.adbc_ingest("dp", sliced, mode="append") == 15
    got = back(cur, "dp")
    want = [tuple(row.values()) for row in sliced.to_pylist()]
    assert got == want


def batches(schema, *columns_per_batch):
    return pa.RecordBatchReader.from_batches(
        schema, [pa.record_batch([pa.array(c, t.type) for c, t in zip(cols, schema)], schema=schema)
                 for cols in columns_per_batch])


# A value of a later batch that the standard face refuses, after a first
# batch that on PostgreSQL goes as it is (`direct`: straight into COPY,
# and stays in); the refusal is the records'.
REFUSED = [
    ("double precision", pa.float64(), [1.0, 2.0], [3.0, math.nan], True),
    ("varchar(2)", pa.string(), ["a", "b"], ["c", "long"], True),
    ("text", pa.string(), ["a", "b"], ["c", "d\x00"], True),
    # int64 into integer is checked value by value: both batches are packed.
    ("integer", pa.int64(), [1, 2], [3, 2**40], False),
]


@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
@pytest.mark.parametrize("decl, typ, first, second, direct", REFUSED, ids=[r[0] for r in REFUSED])
def test_a_refusal_after_a_batch_taken_as_it_is(dsn, backend, decl, typ, first, second, direct, autocommit):
    schema = pa.schema([("k", pa.int64()), ("v", typ)])
    with dbapi.connect(dsn, autocommit=autocommit) as conn:
        cur = conn.cursor()
        cur.execute("create table rf (k bigint, v %s)" % decl)
        conn.commit()
        with pytest.raises(dbapi.DataError, match="row 3, field v") as info:
            cur.adbc_ingest("rf", batches(schema, ([0, 1], first), ([2, 3], second)), mode="append")
        assert info.value.rows_sent == (2 if direct and backend == "postgresql" else 0)
        assert back(cur, "rf") == [(0, first[0]), (1, first[1])][:info.value.rows_sent]


def test_a_null_into_not_null_refuses_its_batch_only(conn, backend):
    schema = pa.schema([("k", pa.int64()), ("v", pa.string())])
    cur = conn.cursor()
    cur.execute("create table nn (k bigint, v text not null)")
    with pytest.raises(dbapi.IntegrityError) as info:
        cur.adbc_ingest("nn", batches(schema, ([0, 1], ["a", "b"]), ([2, 3], ["c", None])), mode="append")
    assert info.value.rows_sent == len(back(cur, "nn"))
    assert back(cur, "nn") == [(0, "a"), (1, "b")][:info.value.rows_sent]


def test_batches_packed_and_taken_as_they_are_keep_their_order(conn):
    # The first batch has a text no record carries (it goes by itself), the
    # others go as they are.
    schema = pa.schema([("k", pa.int64()), ("s", pa.string()), ("n", pa.float64())])
    cur = conn.cursor()
    cur.execute("create table mx (k bigint, s text, n double precision)")
    data = batches(schema, ([0, 1], ["ж" * 400, "a"], [0.5, None]), ([2, 3], ["b", None], [1.0, 2.0]),
                   ([4], ["c"], [-1.0]))
    assert cur.adbc_ingest("mx", data, mode="append") == 5
    assert back(cur, "mx") == [(0, "ж" * 400, 0.5), (1, "a", None), (2, "b", 1.0), (3, None, 2.0), (4, "c", -1.0)]


def test_a_table_changed_between_loads_is_read_again(conn):
    schema = pa.schema([("k", pa.int64()), ("v", pa.int32())])
    cur = conn.cursor()
    cur.execute("create table ch (k bigint, v integer)")
    assert cur.adbc_ingest("ch", batches(schema, ([0], [1])), mode="append") == 1
    cur.execute("drop table ch")
    cur.execute("create table ch (k bigint, v bigint)")
    assert cur.adbc_ingest("ch", batches(schema, ([1], [2**31 - 1])), mode="append") == 1
    assert back(cur, "ch") == [(1, 2**31 - 1)]


@pytest.mark.parametrize("source", ["table", "reader"])
def test_a_table_held_in_memory_goes_in_as_one_copy(dsn, backend, source):
    # Over 16 MiB of batches, the last with a key met before: a table is held
    # already, so it goes in one COPY, whole or not at all; a stream's
    # batches are not held past 16 MiB, so those sent before stay, as
    # rows_sent says.
    if backend != "postgresql":
        pytest.skip("a server's statements")
    keys = pa.array(range(20000), pa.int64())
    texts = pa.array(["x" * 100] * 20000)
    parts = [pa.record_batch([pa.array(range(j * 20000, (j + 1) * 20000), pa.int64()), texts], names=["k", "v"])
             for j in range(10)] + [pa.record_batch([keys, texts], names=["k", "v"])]
    data = pa.Table.from_batches(parts) if source == "table" else pa.RecordBatchReader.from_batches(
        parts[0].schema, parts)
    with dbapi.connect(dsn, autocommit=True) as conn:
        cur = conn.cursor()
        cur.execute("create table one (k bigint primary key, v text)")
        with pytest.raises(dbapi.IntegrityError) as info:
            cur.adbc_ingest("one", data, mode="append")
        held = cur.execute("select count(*) from one").fetchone()[0]
        assert held == info.value.rows_sent
        assert (held == 0) == (source == "table")


# A column's values told fit or not from its bytes at once: a value past
# the first eight bytes, a slice of a longer column. (declared type, Arrow
# type, the values, a position made NULL, the refused row of the slice).
WORD = "abcdefgh"
AT_ONCE = [
    ("text", pa.string(), [WORD] * 6 + ["ab\x00cdefghij"] + [WORD] * 3, None, 5),
    ("text", pa.large_string(), [WORD] * 6 + ["abcdefgжhij"] + [WORD] * 3, None, None),
    ("varchar(4)", pa.string(), ["abcd"] * 6 + ["abcde"] + ["abcd"] * 3, None, 5),
    ("varchar(4)", pa.string(), ["abcd"] * 6 + ["жжжж"] + ["abcd"] * 3, None, None),
    # Too long, but outside the slice loaded.
    ("varchar(4)", pa.string(), ["abcdefghijk"] + ["abcd"] * 9, None, None),
    ("double precision", pa.float64(), [0.5] * 6 + [math.nan] + [1.5] * 3, None, 5),
    ("double precision", pa.float64(), [0.5] * 6 + [math.nan] + [1.5] * 3, 6, None),
]


@pytest.mark.parametrize("decl, typ, values, null, refused", AT_ONCE, ids=[
    "nul", "not-ascii", "too-long", "not-ascii-fits", "too-long-outside", "nan", "nan-under-null"])
def test_a_column_checked_whole_takes_what_value_by_value_would(conn, decl, typ, values, null, refused):
    cur = conn.cursor()
    cur.execute("create table ao (k bigint, v %s)" % decl)
    mask = [k == null for k in range(len(values))]
    data = pa.table({"k": pa.array(range(len(values)), pa.int64()), "v": pa.array(values, typ, mask=mask)})
    part = data.slice(1, 8)
    if refused is not None:
        with pytest.raises(dbapi.DataError, match="row %d, field v" % refused):
            cur.adbc_ingest("ao", part, mode="append")
        return
    assert cur.adbc_ingest("ao", part, mode="append") == 8
    assert back(cur, "ao") == [tuple(row.values()) for row in part.to_pylist()]
