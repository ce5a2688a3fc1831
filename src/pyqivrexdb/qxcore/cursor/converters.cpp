// The standard face's converters, chosen in C++ when the result is described:
// a fetch runs no Python code to learn them.
#include "converters.h"

#include "../base/common.h"
#include "../client/cp866.h"

namespace qx {

namespace {

// dbapi's `converters` as it is bound now, or with `server_text` its
// `_server_text` (null, no exception, before dbapi is imported).
PyObject* registry(bool server_text) {
    static PyObject* module_name = nullptr;
    static PyObject* name = nullptr;
    static PyObject* server_name = nullptr;
    if (!interned("pyqivrexdb.dbapi", &module_name) || !interned("converters", &name) ||
        !interned("_server_text", &server_name))
        return nullptr;
    Ref dbapi(PyImport_GetModule(module_name));
    return dbapi ? PyObject_GetAttr(dbapi.get(), server_text ? server_name : name) : nullptr;
}

// The registry's converter for `name` (a new reference), None for none.
PyObject* converter_for(PyObject* converters, PyObject* name) {
    if (!PyDict_CheckExact(converters)) return PyObject_CallMethod(converters, "get", "O", name);
    PyObject* fn = PyDict_GetItemWithError(converters, name);
    if (!fn && PyErr_Occurred()) return nullptr;
    return new_ref(fn ? fn : Py_None);
}

// The registry key of a declared type: its first word, upper case
// (`declared.split("(", 1)[0].strip().split(" ", 1)[0].upper()`).
PyObject* declared_name(PyObject* declared) {
    Ref paren(PyUnicode_FromString("(")), space(PyUnicode_FromString(" "));
    if (!paren || !space) return nullptr;
    Ref head(PyUnicode_Split(declared, paren.get(), 1));
    if (!head) return nullptr;
    Ref stripped(PyObject_CallMethod(PyList_GET_ITEM(head.get(), 0), "strip", nullptr));
    Ref word(stripped ? PyUnicode_Split(stripped.get(), space.get(), 1) : nullptr);
    if (!word) return nullptr;
    return PyObject_CallMethod(PyList_GET_ITEM(word.get(), 0), "upper", nullptr);
}

// The declared type of one Field, as the library reports it (its `coder`).
PyObject* declared_type(PyObject* field) {
    Ref coder(PyObject_GetAttrString(field, "coder"));
    if (!coder) return nullptr;
    return PyBytes_Check(coder.get()) ? cp866_decode(PyBytes_AS_STRING(coder.get()), PyBytes_GET_SIZE(coder.get()))
                                      : PyObject_Str(coder.get());
}

}  // namespace

PyObject* choose_converters(PyObject* columns, bool server_text, bool* failed) {
    *failed = false;
    if (!PyList_Check(columns)) return nullptr;
    Ref converters(registry(server_text));
    const int some = converters ? PyObject_IsTrue(converters.get()) : 0;
    if (some <= 0 || PyErr_Occurred()) return *failed = PyErr_Occurred() != nullptr, nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(columns);
    Ref chosen(PyTuple_New(n));
    bool any = false;
    for (Py_ssize_t i = 0; chosen && i < n; ++i) {
        Ref declared(declared_type(PyList_GET_ITEM(columns, i)));
        Ref name(declared ? declared_name(declared.get()) : nullptr);
        if (!name) return *failed = true, nullptr;
        PyObject* fn = converter_for(converters.get(), name.get());
        if (!fn) return *failed = true, nullptr;
        any = any || fn != Py_None;
        PyTuple_SET_ITEM(chosen.get(), i, fn);
    }
    if (!chosen) return *failed = true, nullptr;
    return any ? chosen.release() : nullptr;
}

}  // namespace qx
