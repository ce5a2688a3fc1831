// ARRA values through binascii: the module's b2a_hex and a2b_hex are honoured
// as bound now, and the standard ones are done here without a call.
#include "shared.h"

#include <cstring>

namespace qx::values {

PyObject* hex_of(const unsigned char* p, Py_ssize_t n) {
    static const char digits[] = "0123456789abcdef";
    PyObject* out = PyBytes_FromStringAndSize(nullptr, 2 * n);
    if (!out) return nullptr;
    char* d = PyBytes_AS_STRING(out);
    for (Py_ssize_t i = 0; i < n; ++i) {
        d[2 * i] = digits[p[i] >> 4];
        d[2 * i + 1] = digits[p[i] & 0x0F];
    }
    return out;
}

namespace {

// Whether `fn` is the standard library's own binascii function `name`:
// compared by what it is, so a replacement made before the first use is
// still seen as one.
bool is_standard(PyObject* fn, const char* name) {
    if (!PyCFunction_Check(fn)) return false;
    PyObject* owner = PyCFunction_GET_SELF(fn);
    if (!owner || !PyModule_Check(owner)) return false;
    const char* module = PyModule_GetName(owner);
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(module, "binascii") == 0 &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(fn)->m_ml->ml_name, name) == 0;
}

}  // namespace

// binascii is a module name like any other: looked up at each use, so that
// rebinding it, or replacing its function, takes effect from the next value.
// While the function is the standard library's own, the conversion is done
// here instead of through a call: the bytes are the same. That finding is
// kept while neither the namespace nor the module changes; anything else
// bound there is looked up and called for every value.
int bound_hex(HexFunction which, Ref* fn) {
    static const char* const names[] = {"b2a_hex", "a2b_hex"};
    static PyObject* name[2] = {};  // interned, kept until exit
    static LateBound standard[2];
    if (standard[which].holds()) return 1;
    const uint64_t moment = LateBound::now();
    Ref module = global("binascii");
    if (!module) return -1;
    if (!interned(names[which], &name[which])) return -1;
    Ref found(PyObject_GetAttr(module.get(), name[which]));
    if (!found) return -1;
    if (is_standard(found.get(), names[which])) {
        if (watch_module(module.get())) standard[which].keep(moment);
        return 1;
    }
    standard[which].forget();
    *fn = std::move(found);
    return 0;
}

PyObject* arra_value(const unsigned char* p, Py_ssize_t n) {
    Ref fn;
    const int standard = bound_hex(B2A_HEX, &fn);
    if (standard < 0) return nullptr;
    if (standard) return hex_of(p, n);
    Ref raw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n));
    if (!raw) return nullptr;
    return PyObject_CallFunctionObjArgs(fn.get(), raw.get(), nullptr);
}

}  // namespace qx::values
