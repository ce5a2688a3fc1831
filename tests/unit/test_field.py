"""Field, the column descriptor, and Cursor.description built from Fields."""
import gc

import pytest

from qxdouble import QSCLI_ET_CHAR as CHAR, QSCLI_ET_DATE as DATE, QSCLI_ET_LONG as LONG, colrec

from pyqivrexdb import qxcore
from pyqivrexdb.qxcore import Field

SLOTS = ["aliasno", "fieldno", "type", "len", "off", "coder", "fname", "func", "asname", "key", "resno"]


def test_type():
    assert Field.__name__ == "Field"
    assert Field.__module__ == "pyqivrexdb.qxcore"
    assert qxcore.Field is Field
    assert [n for n in SLOTS if isinstance(getattr(Field, n), property)] == []  # C-level descriptors
    assert gc.is_tracked(Field())


def test_new_field_holds_none_everywhere():
    f = Field()
    assert [getattr(f, n) for n in SLOTS] == [None] * 11


@pytest.mark.parametrize("value", [-1, "text", None, object()])
@pytest.mark.parametrize("slot", SLOTS)
def test_slots_take_any_object(slot, value):
    f = Field()
    setattr(f, slot, value)
    assert getattr(f, slot) is value
    assert [getattr(f, n) for n in SLOTS if n != slot] == [None] * 10
    delattr(f, slot)
    assert getattr(f, slot) is None


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"type": 1})])
def test_construction_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        Field(*args, **kwargs)


def test_no_other_attributes():
    with pytest.raises(AttributeError):
        Field().width = 3
    with pytest.raises(AttributeError):
        Field().name = "x"


def test_subclass():
    class Named(Field):
        def __init__(self, asname):
            self.asname = asname

    f = Named(b"X")
    f.extra = 1
    assert f.name == "X" and f.extra == 1 and isinstance(f, Field)


@pytest.mark.parametrize("asname, fname, name", [
    (b"AMOUNT", b"SUM_1", "AMOUNT"),
    (b"", b"SUM_1", "SUM_1"),
    (b"", b"", ""),
    ("Сумма".encode("cp866"), b"SUM_1", "Сумма"),
    (b"", "Цена".encode("cp866"), "Цена"),
    (b"\0", b"SUM_1", "\0"),  # only the empty bytes value counts as no name
    (bytearray(b"AB"), b"", "AB"),  # anything with decode() and != b""
])
def test_name_prefers_asname(asname, fname, name):
    f = Field()
    f.asname, f.fname = asname, fname
    assert f.name == name
    assert type(f.name) is str


@pytest.mark.parametrize("asname, fname, error", [
    (None, b"X", AttributeError),  # a new Field: None.decode
    (b"", None, AttributeError),
    ("text", b"", AttributeError),  # a str has no decode
    (5, b"", AttributeError),
])
def test_name_errors(asname, fname, error):
    f = Field()
    f.asname, f.fname = asname, fname
    with pytest.raises(error):
        f.name


def test_name_survives_a_comparison_that_replaces_the_name():
    f = Field()

    class Sly(bytes):
        def __ne__(self, other):
            f.asname = b"other"  # drops the last reference to self
            gc.collect()
            return True

    f.asname = Sly(b"ABC")
    assert f.name == "ABC"


@pytest.mark.parametrize("asname, type_, text", [
    (b"PRICE", 10, "PRICE 10"),
    (b"", None, " None"),
    ("Имя".encode("cp866"), "x", "Имя x"),
])
def test_str(asname, type_, text):
    f = Field()
    f.asname, f.fname, f.type = asname, b"", type_
    assert str(f) == text


def test_str_uses_the_name_of_a_subclass():
    class Renamed(Field):
        name = "R"

    f = Renamed()
    f.type = 3
    assert str(f) == "R 3"


def test_cycle_through_a_field_is_collected():
    f = Field()
    f.coder = [f]
    probe = Field()
    f.key = probe
    refs = len(gc.get_referrers(probe))
    del f
    gc.collect()
    assert len(gc.get_referrers(probe)) == refs - 1


# --- Fields from the client's column records ------------------------------------

@pytest.fixture
def cur(double):
    return qxcore.connect("db").cursor()


def _columns(cur):
    """The cursor's list of Fields (Python reaches it only through the
    collector: the cursor's traverse visits it)."""
    for o in gc.get_referents(cur):
        if isinstance(o, list) and o and all(type(x) is Field for x in o):
            return o
    return []


@pytest.mark.parametrize("record, expected", [
    (colrec(CHAR, 20, fname=b"NAME", asname=b"N", aliasno=1, fieldno=2, off=3, coder=b"866", func=4, key=5,
            resno=6),
     dict(aliasno=1, fieldno=2, type=0, len=20, off=3, coder=b"866", fname=b"NAME", func=4, asname=b"N",
          key=5, resno=6)),
    # signed members at their bounds, unsigned ones above 2**31
    (colrec(LONG, 0xFFFFFFFF, aliasno=-2 ** 31, fieldno=2 ** 31 - 1, off=0x80000000, func=-1, key=-1,
            resno=-2 ** 31),
     dict(aliasno=-2 ** 31, fieldno=2 ** 31 - 1, type=7, len=0xFFFFFFFF, off=0x80000000, func=-1, key=-1,
          resno=-2 ** 31)),
    # names of 31 and 32 bytes: the full 32 are taken when no zero ends them
    (colrec(CHAR, 1, fname=b"F" * 31, asname=b"A" * 32, coder=b"C" * 32),
     dict(fname=b"F" * 31, asname=b"A" * 32, coder=b"C" * 32)),
    (colrec(CHAR, 1, fname=b"AB\0CD", asname=b"\0X"), dict(fname=b"AB", asname=b"")),
])
def test_field_from_column_record(double, cur, record, expected):
    [field] = _fields(double, cur, record)
    for name, value in expected.items():
        got = getattr(field, name)
        assert type(got) is type(value) and got == value, name


def _fields(double, cur, *records):
    double.set_result(list(records), b"", rec_size=1, row_count=0)
    cur.execute("select")
    columns = _columns(cur)
    assert len(columns) == len(records)
    return columns


# --- description ----------------------------------------------------------------

def test_description_without_columns(double, cur):
    assert cur.description is None  # before any execute
    cur.execute("update")  # no result set: column count -1
    assert cur.description is None


def test_description_of_an_empty_column_list(double, cur):
    double.set_result([], b"", rec_size=0, col_count=0)
    cur.execute("select")
    assert cur.description is None


def test_description_items(double, cur):
    double.set_result([colrec(CHAR, 20, fname=b"TITLE"), colrec(DATE, 2, fname=b"D", asname="День")], b"",
                      rec_size=22, row_count=0)
    cur.execute("select")
    desc = cur.description
    assert type(desc) is list
    assert [tuple(d) for d in desc] == [("TITLE", 0, 0, 20, None, None, None), ("День", 5, 0, 2, None, None, None)]
    assert desc[1]._fields == ("name", "type_code", "display_size", "internal_size", "precision", "scale",
                               "null_ok")
    assert type(desc[0]).__name__ == "Field"
    assert desc[1].name == "День" and desc[1].internal_size == 2


def test_description_class_is_fresh_on_every_access(double, cur):
    double.set_result([colrec(LONG, 4, fname=b"N")], b"", row_count=0)
    cur.execute("select")
    first, second = cur.description, cur.description
    assert first == second
    assert type(first[0]) is not type(second[0])


def test_description_uses_collections_as_bound_now(double, cur):
    import collections

    made = []

    class Spy:
        @staticmethod
        def namedtuple(name, fields):
            made.append((name, list(fields)))
            return collections.namedtuple(name, fields)

    double.set_result([colrec(LONG, 4, fname=b"N")], b"", row_count=0)
    cur.execute("select")
    qxcore.collections = Spy
    cur.description
    assert made == [("Field", ["name", "type_code", "display_size", "internal_size", "precision", "scale",
                               "null_ok"])]


def test_description_lets_name_errors_through(double, cur):
    double.set_result([colrec(LONG, 4, fname=b"N")], b"", row_count=0)
    cur.execute("select")
    _columns(cur)[0].fname = None
    _columns(cur)[0].asname = b""
    with pytest.raises(AttributeError):
        cur.description


def test_description_keeps_the_column_list_it_started_from(double, cur):
    # Building the named-tuple class runs caller code, which may execute on
    # the cursor and drop the column list being described.
    import collections

    class Reentrant:
        @staticmethod
        def namedtuple(name, fields):
            qxcore.collections = collections
            cur.execute("update")  # no result set: the cursor's columns become None
            gc.collect()
            _ = [[i] for i in range(100)]  # reuse freed lists
            return collections.namedtuple(name, fields)

    double.set_result([colrec(LONG, 4, fname=b"N"), colrec(CHAR, 3, fname=b"S")], b"", row_count=0)
    cur.execute("select")
    qxcore.collections = Reentrant
    assert [tuple(d) for d in cur.description] == [("N", 7, 0, 4, None, None, None),
                                                   ("S", 0, 0, 3, None, None, None)]
    assert cur.description is None
