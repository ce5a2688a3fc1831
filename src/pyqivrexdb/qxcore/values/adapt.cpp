#include "adapt.h"

#include "../client/qscli.h"
#include "../base/common.h"
#include "classify.h"

#include <utility>

namespace qx::values {

namespace {

PyObject* registered(PyObject* type, PyObject* adapters) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(adapters); ++i) {
        PyObject* table = PyTuple_GET_ITEM(adapters, i);
        if (!PyDict_Check(table)) continue;
        PyObject* fn = PyDict_GetItemWithError(table, type);
        if (fn || PyErr_Occurred()) return fn;
    }
    return nullptr;
}

}  // namespace

Ref adapt(PyObject* value, PyObject* adapters, PyObject* label, int dialect) {
    if (!adapters || !PyTuple_Check(adapters)) return Ref::borrow(value);
    // The common values, which no adapter is asked for, without classifying.
    if (value == Py_None || PyLong_CheckExact(value) || PyUnicode_CheckExact(value) || PyFloat_CheckExact(value))
        return Ref::borrow(value);
    Classified v;
    if (classify_value(value, &v) < 0) return Ref();
    if (binds_as_is(v.kind)) return Ref::borrow(value);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    PyObject* fn = registered(type, adapters);
    if (!fn) return PyErr_Occurred() ? Ref() : Ref::borrow(value);
    Ref held = Ref::borrow(fn);  // the adapter may unregister itself
    Ref out(PyObject_CallOneArg(held.get(), value));
    if (!out) return out;
    if (classify_value(out.get(), &v) < 0) return Ref();
    if (binds_as_is(v.kind) || (dialect == QSCLI_DIALECT_PG && v.kind == Kind::SERVER)) return out;
    Ref why(PyUnicode_FromFormat("the adapter for %s returned %s, which cannot be bound", Py_TYPE(value)->tp_name,
                                 Py_TYPE(out.get())->tp_name));
    Ref text = why && label ? Ref(PyUnicode_FromFormat("%U: %U", label, why.get())) : std::move(why);
    if (text) raise_object("ProgrammingError", text.get());
    return Ref();
}

}  // namespace qx::values
