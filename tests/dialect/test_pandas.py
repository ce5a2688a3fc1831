"""pandas through the dialect: to_sql and read_sql round trips, with no warning."""
import datetime

import pytest
import sqlalchemy as sa

pd = pytest.importorskip("pandas")
from pandas.testing import assert_frame_equal  # noqa: E402

pytestmark = pytest.mark.filterwarnings("error")

# pandas makes a column of ints with NULLs float, and one of booleans with
# NULLs object, unless told their types (so with SQLite's own dialect too).
DTYPES = {"i": "Int64", "b": "boolean"}


def read(engine, name="t", **kw):
    """The table through its column types (raw SQL text gets none)."""
    return pd.read_sql(sa.select(sa.Table(name, sa.MetaData(), autoload_with=engine)), engine, **kw)


def frame():
    """Every kind of column, a NULL in each."""
    return pd.DataFrame({
        "i": pd.array([1, None, -(2**40), 2**53], dtype="Int64"),
        "f": [1.5, float("nan"), -2.25e-300, 0.1],
        "s": ["abc", None, "Привет, 'мир'", ""],
        "d": [datetime.date(2024, 5, 1), None, datetime.date(1900, 1, 1), datetime.date(2078, 12, 31)],
        "b": pd.array([True, None, False, True], dtype="boolean"),
        "y": [b"\x00\x01\x00", None, b"", bytes(range(256))],
    })


def store(df, engine, name="t", **kw):
    # pandas declares a bytes column TEXT; it is binary
    df.to_sql(name, engine, dtype={"y": sa.LargeBinary}, **kw)


def test_round_trip(engine):
    df = frame()
    store(df, engine, index=False)
    assert [type(c["type"]) for c in sa.inspect(engine).get_columns("t")] == [
        sa.BIGINT, sa.DOUBLE, sa.TEXT, sa.DATE, sa.BOOLEAN, sa.BLOB]
    assert_frame_equal(read(engine, dtype=DTYPES), df)


def test_names_and_texts_of_any_script_round_trip(engine):
    df = pd.DataFrame({"café €": ["Zoë", "日本語", "👍🏽 مرحبا", None], "Ελληνικά": [1.5, 2.0, None, 0.25]})
    df.to_sql("données", engine, index=False)
    assert [c["name"] for c in sa.inspect(engine).get_columns("données")] == ["café €", "Ελληνικά"]
    assert_frame_equal(read(engine, "données"), df)


def test_round_trip_by_sql_text(engine):
    # Raw SQL gets no column types: a blob shorter than the result's longest
    # would come zero-padded. BIGINT reads as int64.
    df = frame().drop(columns="y")
    df.to_sql("t", engine, index=False)
    assert_frame_equal(pd.read_sql("select * from t", engine, dtype=DTYPES), df)
    got = pd.read_sql("select i, s from t where b = ?", engine, params=(1,), dtype={"i": "Int64"})
    assert_frame_equal(got, df.loc[[0, 3], ["i", "s"]].reset_index(drop=True))


@pytest.mark.parametrize("rows", [3, 100])  # the per-statement and the bulk path
def test_int64_beyond_2_to_the_53_round_trips(engine, rows):
    df = pd.DataFrame({"n": [2**53 + 1, -(2**63), 2**63 - 1] * (rows // 3) + [7] * (rows % 3)})
    df.to_sql("t", engine, index=False)
    got = pd.read_sql("select * from t", engine)
    assert got["n"].dtype == "int64"
    assert_frame_equal(got, df)
    assert_frame_equal(read(engine), df)


def test_read_in_chunks(engine):
    df = pd.DataFrame({"n": range(10), "s": [f"строка {k}" for k in range(10)]})
    df.to_sql("t", engine, index=False)
    table = sa.Table("t", sa.MetaData(), autoload_with=engine)
    chunks = list(pd.read_sql(sa.select(table).order_by(table.c.n), engine, chunksize=4))
    assert [len(c) for c in chunks] == [4, 4, 2]
    assert_frame_equal(pd.concat(chunks, ignore_index=True), df)


@pytest.mark.parametrize("if_exists, rows", [("append", 4), ("replace", 2)])
def test_if_exists(engine, if_exists, rows):
    first = pd.DataFrame({"n": [1, 2], "x": [0.5, None]})
    first.to_sql("t", engine, index=False)
    again = pd.DataFrame({"n": [3, 4], "x": [1.5, 2.5]})
    again.to_sql("t", engine, index=False, if_exists=if_exists)
    expected = pd.concat([first, again], ignore_index=True) if if_exists == "append" else again
    assert_frame_equal(read(engine), expected)
    assert len(expected) == rows
    with pytest.raises(ValueError, match="already exists"):
        again.to_sql("t", engine, index=False, if_exists="fail")


def test_index_written_and_read_back(engine):
    df = frame().set_index(pd.Index([10, 20, 30, 40], name="key"))
    store(df, engine, index=True)
    assert [c["name"] for c in sa.inspect(engine).get_columns("t")][0] == "key"
    assert_frame_equal(read(engine, index_col="key", dtype=DTYPES), df)
