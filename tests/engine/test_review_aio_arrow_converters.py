"""The asyncio cursor's Arrow reads of a result read through converters
(detect_types): refused as the standard cursor refuses them, never the
converters' values written into the Arrow columns as text."""
import asyncio

import pytest

from pyqivrexdb import aio, dbapi

pa = pytest.importorskip("pyarrow")


@pytest.mark.parametrize("method", ["fetch_arrow_table", "fetch_df", "fetch_polars"])
@pytest.mark.parametrize("rows", [1, 3])
def test_an_asyncio_arrow_read_of_converted_rows_is_refused(dsn, backend, monkeypatch, method, rows):
    if method == "fetch_polars":
        pytest.importorskip("polars")
    if method == "fetch_df":
        pytest.importorskip("pandas")
    monkeypatch.setitem(dbapi.converters, "TEXT", lambda text: ("converted", text))

    async def main():
        async with await aio.connect(dsn, detect_types=dbapi.PARSE_DECLTYPES) as conn:
            await conn.execute("create table p (k integer, v text)")
            await conn.cursor().executemany("insert into p values (?, '7')", [(k,) for k in range(rows)])
            cur = await conn.execute("select k, v from p order by k")
            with pytest.raises(dbapi.NotSupportedError, match="'v'.*converter"):
                await getattr(cur, method)()
    asyncio.run(main())
