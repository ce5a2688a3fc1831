"""pyqivrexdb.dbapi as its callers see it: one module's names, wherever the
code behind them lives."""
import pickle

import pytest

from pyqivrexdb import dbapi


@pytest.mark.parametrize("name", ["Connection", "Cursor", "Json", "Jsonb", "connect", "register_adapter",
                                  "register_converter", "complete_statement", "DateFromTicks"])
def test_the_face_s_classes_and_functions_say_they_come_from_dbapi(name):
    assert getattr(dbapi, name).__module__ == "pyqivrexdb.dbapi"


def test_a_json_value_pickles_by_the_module_s_name():
    value = dbapi.Jsonb({"a": [1, 2]})
    data = pickle.dumps(value, protocol=2)
    assert b"pyqivrexdb.dbapi\nJsonb\n" in data
    back = pickle.loads(data)
    assert type(back) is dbapi.Jsonb and back.obj == {"a": [1, 2]}


@pytest.mark.parametrize("name, value", [("adapters", {complex: str}), ("converters", {"POINT": str}),
                                         ("_BULK_MIN_ROWS", 3)])
def test_rebinding_a_name_reaches_the_code_that_reads_it(monkeypatch, name, value):
    monkeypatch.setattr(dbapi, name, value)
    readers = [m for m in vars(dbapi).values() if getattr(m, "__name__", "").startswith("pyqivrexdb.dbapi._")
               and name in vars(m)]
    assert readers and all(vars(m)[name] is value for m in readers)


def test_every_public_name_is_there():
    assert all(hasattr(dbapi, name) for name in dbapi.__all__)
