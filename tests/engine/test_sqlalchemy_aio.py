"""SQLAlchemy's asyncio extension over the asyncio face (qivrex+aio)."""
import asyncio
import importlib.metadata
import os
import time

import pytest

sa = pytest.importorskip("sqlalchemy")
pytest.importorskip("greenlet")
# greenlet throws C++ exceptions across its switched stacks, which the
# preloaded AddressSanitizer runtime cannot intercept: it aborts the process.
if os.environ.get("QX_SANITIZE") == "1":
    pytest.skip("greenlet does not run under the preloaded AddressSanitizer", allow_module_level=True)

from sqlalchemy.dialects import registry  # noqa: E402
from sqlalchemy.ext.asyncio import create_async_engine  # noqa: E402

# A development tree is not installed: no entry points.
if not any(ep.name == "qivrex.aio" for ep in importlib.metadata.entry_points(group="sqlalchemy.dialects")):
    registry.register("qivrex.aio", "pyqivrexdb.dialect_aio", "QivrexAsyncDialect")

LONG = "with recursive r(i) as (select 1 union all select i + 1 from r) select count(*) from r"


def test_orm_free_core_round_trip_and_transactions(tmp_path):
    meta = sa.MetaData()
    t = sa.Table("t", meta, sa.Column("id", sa.Integer, primary_key=True), sa.Column("name", sa.String(20)))

    async def main():
        engine = create_async_engine(f"qivrex+aio:///{tmp_path}/db")
        try:
            async with engine.begin() as conn:
                await conn.run_sync(meta.create_all)
                await conn.execute(t.insert(), [{"id": i, "name": "n%d" % i} for i in range(5)])
            with pytest.raises(ZeroDivisionError):
                async with engine.begin() as conn:
                    await conn.execute(t.delete())
                    1 / 0
            async with engine.connect() as conn:
                rows = (await conn.execute(sa.select(t.c.name).where(t.c.id >= 3).order_by(t.c.id))).all()
                stream = await conn.stream(sa.select(t.c.id))
                streamed = [row.id async for row in stream]
            return rows, streamed
        finally:
            await engine.dispose()

    rows, streamed = asyncio.run(main())
    assert [r.name for r in rows] == ["n3", "n4"]
    assert sorted(streamed) == [0, 1, 2, 3, 4]


def test_a_timeout_interrupts_the_statement_and_the_engine_goes_on(tmp_path):
    async def main():
        engine = create_async_engine(f"qivrex+aio:///{tmp_path}/db")
        try:
            start = time.monotonic()
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.5):
                    async with engine.connect() as conn:
                        await conn.exec_driver_sql(LONG)
            assert time.monotonic() - start < 5
            async with engine.connect() as conn:
                return (await conn.exec_driver_sql("select 41 + 1")).scalar()
        finally:
            await engine.dispose()

    assert asyncio.run(main()) == 42
