// Rows as something other than tuples, chosen by a cursor's row_factory:
// Row (by index or by column name, any case), a dict, a named tuple, or
// whatever a callable of the caller's makes of (cursor, tuple). The factory
// is read once a result set; the column names the built-in factories need
// are read once too, so a Row costs one small object more than its tuple.
#include "row.h"
#include "standard_cursor.h"

#include "../base/common.h"

namespace qx {

namespace {

struct RowObject {
    PyObject_HEAD
    PyObject* keys;  // tuple of the column names
    PyObject* data;  // tuple of the values
};

RowObject* as_row(PyObject* obj) { return reinterpret_cast<RowObject*>(obj); }

// The column names of the cursor's result, from its description.
PyObject* names_of(PyObject* cursor) {
    Ref description(PyObject_GetAttrString(cursor, "description"));
    if (!description) return nullptr;
    if (description.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "the cursor has no result set to name the row's columns");
        return nullptr;
    }
    Ref seq(PySequence_Fast(description.get(), "description must be a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref names(PyTuple_New(n));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PySequence_GetItem(PySequence_Fast_GET_ITEM(seq.get(), i), 0);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names.release();
}

// A new Row of `keys` and `data` (both stolen). A fetched row is not
// tracked by the collector: its names are texts and its values the
// decoders' (numbers, texts, dates, bytes), which can form no cycle, as
// the collector would find of a tuple of them; it then skips a young
// generation of rows after a large fetch.
PyObject* row_new_from(PyTypeObject* type, PyObject* keys, PyObject* data, bool track = true) {
    Ref k(keys), d(data);
    if (type != &RowType) {
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) return nullptr;
        as_row(obj)->keys = k.release();
        as_row(obj)->data = d.release();
        return obj;
    }
    RowObject* row = PyObject_GC_New(RowObject, &RowType);
    if (!row) return nullptr;
    row->keys = k.release();
    row->data = d.release();
    if (track) PyObject_GC_Track(row);
    return reinterpret_cast<PyObject*>(row);
}

// Row(cursor, values) as sqlite3.Row takes them, or Row(names, values).
PyObject* row_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* source = nullptr;
    PyObject* values = nullptr;
    if ((kwds && PyDict_GET_SIZE(kwds)) || !PyArg_UnpackTuple(args, "Row", 2, 2, &source, &values)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Row() takes no keyword arguments");
        return nullptr;
    }
    Ref keys(PyTuple_Check(source) || PyList_Check(source) ? PySequence_Tuple(source) : names_of(source));
    if (!keys) return nullptr;
    Ref data(PySequence_Tuple(values));
    if (!data) return nullptr;
    if (PyTuple_GET_SIZE(keys.get()) != PyTuple_GET_SIZE(data.get())) {
        PyErr_Format(PyExc_ValueError, "%zd column names for %zd values", PyTuple_GET_SIZE(keys.get()),
                     PyTuple_GET_SIZE(data.get()));
        return nullptr;
    }
    return row_new_from(type, keys.release(), data.release());
}

void row_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_row(self)->keys);
    Py_CLEAR(as_row(self)->data);
    Py_TYPE(self)->tp_free(self);
}

int row_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_row(self)->keys);
    Py_VISIT(as_row(self)->data);
    return 0;
}

int row_clear(PyObject* self) {
    Py_CLEAR(as_row(self)->keys);
    Py_CLEAR(as_row(self)->data);
    return 0;
}

Py_ssize_t row_length(PyObject* self) { return PyTuple_GET_SIZE(as_row(self)->data); }

// The index of the column `name`: the first spelled exactly so, else the
// first equal to it ignoring case (Cyrillic too); -1 with IndexError.
Py_ssize_t index_of(RowObject* row, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(row->keys);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(row->keys, i), name, Py_EQ);
        if (eq) return eq < 0 ? -1 : i;
    }
    Ref folded(PyObject_CallMethod(name, "casefold", nullptr));
    if (!folded) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(row->keys, i);
        if (!PyUnicode_Check(key)) continue;
        Ref other(PyObject_CallMethod(key, "casefold", nullptr));
        if (!other) return -1;
        const int eq = PyObject_RichCompareBool(other.get(), folded.get(), Py_EQ);
        if (eq) return eq < 0 ? -1 : i;
    }
    PyErr_Format(PyExc_IndexError, "no column named %R", name);
    return -1;
}

PyObject* row_subscript(PyObject* self, PyObject* key) {
    RowObject* row = as_row(self);
    if (PyUnicode_Check(key)) {
        const Py_ssize_t i = index_of(row, key);
        return i < 0 ? nullptr : new_ref(PyTuple_GET_ITEM(row->data, i));
    }
    if (PyIndex_Check(key) || PySlice_Check(key)) return PyObject_GetItem(row->data, key);
    return PyErr_Format(PyExc_TypeError, "Row indices must be integers, slices or column names, not %.100s",
                        Py_TYPE(key)->tp_name);
}

PyObject* row_item(PyObject* self, Py_ssize_t i) {
    PyObject* data = as_row(self)->data;
    if (i < 0 || i >= PyTuple_GET_SIZE(data)) {
        PyErr_SetString(PyExc_IndexError, "Row index out of range");
        return nullptr;
    }
    return new_ref(PyTuple_GET_ITEM(data, i));
}

PyObject* row_iter(PyObject* self) { return PyObject_GetIter(as_row(self)->data); }

PyObject* row_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &RowType)) Py_RETURN_NOTIMPLEMENTED;
    int eq = PyObject_RichCompareBool(as_row(self)->keys, as_row(other)->keys, Py_EQ);
    if (eq > 0) eq = PyObject_RichCompareBool(as_row(self)->data, as_row(other)->data, Py_EQ);
    if (eq < 0) return nullptr;
    return PyBool_FromLong((op == Py_EQ) == (eq > 0));
}

Py_hash_t row_hash(PyObject* self) {
    const Py_hash_t k = PyObject_Hash(as_row(self)->keys);
    if (k == -1) return -1;
    const Py_hash_t d = PyObject_Hash(as_row(self)->data);
    if (d == -1) return -1;
    const Py_hash_t h = k ^ d;
    return h == -1 ? -2 : h;
}

PyObject* row_repr(PyObject* self) {
    return PyUnicode_FromFormat("%s(%R, %R)", Py_TYPE(self)->tp_name, as_row(self)->keys, as_row(self)->data);
}

PyObject* row_keys(PyObject* self, PyObject*) { return PySequence_List(as_row(self)->keys); }

// Pickled as the two tuples it is made of.
PyObject* row_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(OO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), as_row(self)->keys,
                         as_row(self)->data);
}

PyMethodDef row_methods[] = {
    {"keys", row_keys, METH_NOARGS, "keys() -> the column names, in order."},
    {"__reduce__", row_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PySequenceMethods row_as_sequence = [] {
    PySequenceMethods s{};
    s.sq_length = row_length;
    s.sq_item = row_item;
    return s;
}();

PyMappingMethods row_as_mapping = [] {
    PyMappingMethods m{};
    m.mp_length = row_length;
    m.mp_subscript = row_subscript;
    return m;
}();

// ---- the factories ----

PyObject* make_dict(PyObject* keys, PyObject* data) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(data);
    for (Py_ssize_t i = 0; i < n && i < PyTuple_GET_SIZE(keys); ++i)
        if (PyDict_SetItem(d.get(), PyTuple_GET_ITEM(keys, i), PyTuple_GET_ITEM(data, i)) < 0) return nullptr;
    return d.release();
}

// The named-tuple class of these column names, made once for each set of
// names (a few hundred at most are kept).
PyObject* named_class(PyObject* keys) {
    static PyObject* classes = nullptr;  // lives until exit
    if (!classes && !(classes = PyDict_New())) return nullptr;
    PyObject* found = PyDict_GetItemWithError(classes, keys);
    if (found) return new_ref(found);
    if (PyErr_Occurred()) return nullptr;
    Ref collections(PyImport_ImportModule("collections"));
    if (!collections) return nullptr;
    Ref namedtuple(PyObject_GetAttrString(collections.get(), "namedtuple"));
    Ref args(namedtuple ? Py_BuildValue("(sO)", "Row", keys) : nullptr);
    Ref kwargs(args ? Py_BuildValue("{sO}", "rename", Py_True) : nullptr);
    Ref cls(kwargs ? PyObject_Call(namedtuple.get(), args.get(), kwargs.get()) : nullptr);
    if (!cls) return nullptr;
    if (PyDict_GET_SIZE(classes) >= 256) PyDict_Clear(classes);
    if (PyDict_SetItem(classes, keys, cls.get()) < 0) return nullptr;
    return cls.release();
}

PyObject* make_named(PyObject* cls, PyObject* data) {
    // A named tuple is its class's tuple: tuple.__new__ skips the Python __new__.
    Ref args(PyTuple_Pack(1, data));
    return args ? PyTuple_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls), args.get(), nullptr) : nullptr;
}

int factory_args(PyObject* args, const char* name, PyObject** cursor, Ref* data) {
    PyObject* row = nullptr;
    if (!PyArg_UnpackTuple(args, name, 2, 2, cursor, &row)) return -1;
    data->reset(PySequence_Tuple(row));
    return *data ? 0 : -1;
}

PyObject* dict_row_fn(PyObject*, PyObject* args) {
    PyObject* cursor;
    Ref data;
    if (factory_args(args, "dict_row", &cursor, &data) < 0) return nullptr;
    Ref keys(names_of(cursor));
    return keys ? make_dict(keys.get(), data.get()) : nullptr;
}

PyObject* namedtuple_row_fn(PyObject*, PyObject* args) {
    PyObject* cursor;
    Ref data;
    if (factory_args(args, "namedtuple_row", &cursor, &data) < 0) return nullptr;
    Ref keys(names_of(cursor));
    Ref cls(keys ? named_class(keys.get()) : nullptr);
    return cls ? make_named(cls.get(), data.get()) : nullptr;
}

}  // namespace

PyTypeObject RowType = [] {
    PyTypeObject t = static_type("pyqivrexdb.dbapi.Row", sizeof(RowObject));
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE;
    t.tp_doc = "Row(cursor, values) or Row(names, values): a row read by index, slice or column name\n"
               "(any case), with keys(); equal to a Row of the same names and values.";
    t.tp_new = row_tp_new;
    t.tp_dealloc = row_dealloc;
    t.tp_traverse = row_traverse;
    t.tp_clear = row_clear;
    t.tp_as_sequence = &row_as_sequence;
    t.tp_as_mapping = &row_as_mapping;
    t.tp_iter = row_iter;
    t.tp_richcompare = row_richcompare;
    t.tp_hash = row_hash;
    t.tp_repr = row_repr;
    t.tp_methods = row_methods;
    return t;
}();

PyMethodDef row_factory_functions[] = {
    {"dict_row", dict_row_fn, METH_VARARGS,
     "dict_row(cursor, row) -> a dict of column name to value: a row_factory."},
    {"namedtuple_row", namedtuple_row_fn, METH_VARARGS,
     "namedtuple_row(cursor, row) -> a named tuple of the columns (names that are not identifiers are\n"
     "renamed _0, _1 ...): a row_factory."},
    {nullptr, nullptr, 0, nullptr}};

namespace {

// `tuple` (stolen) with each non-NULL value of a column that has a converter
// replaced by what the converter makes of its text (bytes stay bytes).
PyObject* convert(PyObject* converters, PyObject* tuple) {
    Ref row(tuple);
    const Py_ssize_t n = PyTuple_GET_SIZE(row.get());
    if (PyTuple_GET_SIZE(converters) != n) {
        PyErr_SetString(PyExc_TypeError, "the converters do not match the result's columns");
        return nullptr;
    }
    if (Py_REFCNT(row.get()) != 1) {
        row = Ref(PyTuple_GetSlice(row.get(), 0, n));
        if (!row) return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* fn = PyTuple_GET_ITEM(converters, i);
        PyObject* value = PyTuple_GET_ITEM(row.get(), i);
        if (fn == Py_None || value == Py_None) continue;
        Ref text(PyUnicode_Check(value) || PyBytes_Check(value) ? new_ref(value) : PyObject_Str(value));
        Ref out(text ? PyObject_CallOneArg(fn, text.get()) : nullptr);
        if (!out) return nullptr;
        PyTuple_SET_ITEM(row.get(), i, out.release());
        Py_DECREF(value);
    }
    return row.release();
}

}  // namespace

int row_maker_start(RowMaker* m, PyObject* cursor) {
    m->kind = RowMaker::TUPLE;
    Py_CLEAR(m->factory);
    Py_CLEAR(m->keys);
    static PyObject* name = nullptr;
    if (!interned("row_factory", &name)) return -1;
    Ref factory(cursor_row_factory(cursor, name));
    if (!factory) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (factory.get() == Py_None) return 0;
    const bool is_row = factory.get() == reinterpret_cast<PyObject*>(&RowType);
    const bool is_dict = PyCFunction_Check(factory.get()) &&
                         PyCFunction_GET_FUNCTION(factory.get()) == reinterpret_cast<PyCFunction>(dict_row_fn);
    const bool is_named = PyCFunction_Check(factory.get()) &&
                          PyCFunction_GET_FUNCTION(factory.get()) == reinterpret_cast<PyCFunction>(namedtuple_row_fn);
    if (!is_row && !is_dict && !is_named) {
        m->kind = RowMaker::CALL;
        m->factory = factory.release();
        return 0;
    }
    Ref keys(names_of(cursor));
    if (!keys) return -1;
    if (is_named) {
        m->factory = named_class(keys.get());
        if (!m->factory) return -1;
        m->kind = RowMaker::NAMED;
        return 0;
    }
    m->keys = keys.release();
    m->kind = is_row ? RowMaker::ROW : RowMaker::DICT;
    return 0;
}

PyObject* row_make(const RowMaker* m, PyObject* cursor, PyObject* tuple) {
    if (m->converters) {
        tuple = convert(m->converters, tuple);
        if (!tuple) return nullptr;
    }
    switch (m->kind) {
    case RowMaker::TUPLE: return tuple;
    case RowMaker::ROW: return row_new_from(&RowType, new_ref(m->keys), tuple, false);
    default: break;
    }
    Ref data(tuple);
    if (m->kind == RowMaker::DICT) return make_dict(m->keys, data.get());
    if (m->kind == RowMaker::NAMED) return make_named(m->factory, data.get());
    return PyObject_CallFunctionObjArgs(m->factory, cursor, data.get(), nullptr);
}

void row_maker_clear(RowMaker* m) {
    m->kind = RowMaker::TUPLE;
    Py_CLEAR(m->factory);
    Py_CLEAR(m->keys);
    Py_CLEAR(m->converters);
}

int row_maker_traverse(const RowMaker* m, visitproc visit, void* arg) {
    Py_VISIT(m->factory);
    Py_VISIT(m->keys);
    Py_VISIT(m->converters);
    return 0;
}

}  // namespace qx
