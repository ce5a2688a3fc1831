// Type codes: which of the twelve element types a Field's type names, by the
// QSCLI_ET_* names of the module namespace as they are bound now.
#include "shared.h"

namespace qx::values {

std::nullptr_t field_type_error() { return raise_message("ProgrammingError", "Field type error"); }

// The objects bound to the twelve names, shared by every lookup while the
// module namespace stays as it was: a rebinding moves namespace_version() and
// empties the table, so each name is looked up again at its next use. A name
// is looked up only when a match reaches it, as a fresh lookup would. The
// references live until exit.
struct CodeTable {
    LateBound kept;
    PyObject* obj[QSCLI_ET_COUNT] = {};
    long value[QSCLI_ET_COUNT] = {};
    bool small[QSCLI_ET_COUNT] = {};  // an exact int within a C long
};

namespace {
CodeTable g_codes;
}  // namespace

PyObject* Codes::get(int i) {
    CodeTable& t = current();
    if (t.obj[i]) return t.obj[i];
    Ref found = global(kCodeNames[i]);
    if (!found) return nullptr;
    long value = 0;
    bool small = PyLong_CheckExact(found.get());
    if (small) {
        int overflow = 0;
        value = PyLong_AsLongAndOverflow(found.get(), &overflow);
        small = !overflow;
    }
    // The lookup ran no code, so the table is still the current one.
    t.value[i] = value;
    t.small[i] = small;
    t.obj[i] = found.release();
    return t.obj[i];
}

int Codes::match(PyObject* type) {
    bool small = PyLong_CheckExact(type);
    long value = 0;
    if (small) {
        int overflow = 0;
        value = PyLong_AsLongAndOverflow(type, &overflow);
        small = !overflow;
    }
    return small ? match_small(value, type) : match_from(0, type);
}

int Codes::match_small(long value, PyObject* type) {
    const CodeTable& t = current();
    for (int i = 0; i < QSCLI_ET_COUNT; ++i) {
        if (!t.obj[i] || !t.small[i]) return match_from(i, type, true, value);
        if (t.value[i] == value) return i;
    }
    return -1;
}

int Codes::match_from(int first, PyObject* type, bool small, long value) {
    for (int i = first; i < QSCLI_ET_COUNT; ++i) {
        PyObject* code = get(i);
        if (!code) return -2;
        int equal;
        if (small && g_codes.small[i]) {
            equal = g_codes.value[i] == value;
        } else {
            // Held: the comparison may run code that empties the table.
            Ref held = Ref::borrow(code);
            equal = PyObject_RichCompareBool(type, held.get(), Py_EQ);
            if (equal < 0) return -2;
        }
        if (equal) return i;
    }
    return -1;
}

CodeTable& Codes::current() {
    if (!g_codes.kept.holds()) {
        PyObject* old[QSCLI_ET_COUNT];
        for (int i = 0; i < QSCLI_ET_COUNT; ++i) {
            old[i] = g_codes.obj[i];
            g_codes.obj[i] = nullptr;
        }
        g_codes.kept.keep(LateBound::now());
        // Dropped once the table is consistent: a destructor may run code.
        for (PyObject* o : old) Py_XDECREF(o);
    }
    return g_codes;
}

int classify(PyObject* type, Codes& codes) {
    if (PyLong_CheckExact(type)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(type, &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (overflow || v > 11 || v < 0) return field_type_error(), -1;
    } else {
        Ref eleven(PyLong_FromLong(11)), zero(PyLong_FromLong(0));
        if (!eleven || !zero) return -1;
        int above = PyObject_RichCompareBool(type, eleven.get(), Py_GT);
        if (above < 0) return -1;
        if (above) return field_type_error(), -1;
        int below = PyObject_RichCompareBool(type, zero.get(), Py_LT);
        if (below < 0) return -1;
        if (below) return field_type_error(), -1;
    }
    int code = codes.match(type);
    if (code == -2) return -1;
    if (code == -1) return field_type_error(), -1;
    return code;
}

}  // namespace qx::values
