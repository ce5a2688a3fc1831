// What every subsystem shares (common.h): names of the module namespace
// looked up at their use, exceptions raised at the call site, debug logging
// and the C-typed argument conversions.
#include "common.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace qx {

namespace {

// The interned key of a name. Names are nearly always string literals, so
// the cache is keyed by the pointer and checked against the text, which
// keeps it right for the odd name built in a buffer.
PyObject* interned_key(const char* name) {
    static std::unordered_map<const char*, PyObject*> keys;
    PyObject*& key = keys[name];
    if (key && std::strcmp(PyUnicode_AsUTF8(key), name) == 0) return key;
    Py_XDECREF(key);
    key = PyUnicode_InternFromString(name);
    return key;
}

}  // namespace

Ref global(const char* name) {
    PyObject* key = interned_key(name);
    if (!key) return Ref();
    PyObject* value = PyDict_GetItemWithError(module_dict(), key);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return Ref();
    }
    return Ref::borrow(value);
}

uint64_t g_debug_off_at = 0;

int debug_enabled() {
    static LateBound kept;
    static int known = 0;
    if (kept.holds()) return known;
    g_debug_off_at = 0;
    const uint64_t moment = LateBound::now();
    Ref debug = global("DEBUG");
    if (!debug) return -1;
    if (debug.get() == Py_True || debug.get() == Py_False) {
        known = debug.get() == Py_True;
        kept.keep(moment);
        if (!known) g_debug_off_at = moment;
        return known;
    }
    kept.forget();
    return PyObject_IsTrue(debug.get());
}

int log_text(const char* level, PyObject* text) {
    Ref log = global("log");
    if (!log) return -1;
    Ref done(PyObject_CallMethod(log.get(), level, "O", text));
    return done ? 0 : -1;
}

int debug_write(const char* format, ...) {
    int on = debug_enabled();
    if (on <= 0) return on;
    va_list args;
    va_start(args, format);
    Ref text(PyUnicode_FromFormatV(format, args));
    va_end(args);
    return text ? log_text("debug", text.get()) : -1;
}

namespace {

// The integer value of obj as an exact int, by the C-typed conversion rule.
Ref as_index(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    if (Py_TYPE(obj)->tp_as_number && Py_TYPE(obj)->tp_as_number->nb_index)
        return Ref(PyNumber_Index(obj));
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return Ref();
}

}  // namespace

int to_int32(PyObject* obj, int32_t* out) {
    Ref value = as_index(obj);
    if (!value) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<int32_t>(v);
    return 0;
}

int to_uint32(PyObject* obj, uint32_t* out) {
    Ref value = as_index(obj);
    if (!value) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned int");
        return -1;
    }
    if (overflow > 0 || v > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned int");
        return -1;
    }
    *out = static_cast<uint32_t>(v);
    return 0;
}

}  // namespace qx
