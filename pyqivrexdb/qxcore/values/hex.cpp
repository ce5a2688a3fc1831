// ARRA values through binascii: the module's b2a_hex and a2b_hex are honoured
// as bound now, and the standard ones are done here without a call.
#include "shared.h"

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

// binascii is a module name like any other: looked up at each use, so that
// rebinding it takes effect from the next value. While the function it
// holds is the standard library's own, the conversion is done here instead
// of through a call: the bytes are the same. That finding is kept until the
// module namespace changes; anything else bound there is looked up and
// called for every value.
int bound_hex(HexFunction which, Ref* fn) {
    static const char* const names[] = {"b2a_hex", "a2b_hex"};
    static PyObject* name[2] = {};         // interned, kept until exit
    static PyObject* standard_fn[2] = {};  // strong, kept until exit
    static bool looked[2] = {};
    static bool standard_known[2] = {};
    static uint64_t standard_at[2] = {};   // the namespace in which it was standard
    const uint64_t version = namespace_version();
    if (standard_known[which] && standard_at[which] == version) return 1;
    Ref module = global("binascii");
    if (!module) return -1;
    if (!interned(names[which], &name[which])) return -1;
    Ref found(PyObject_GetAttr(module.get(), name[which]));
    if (!found) return -1;
    if (!looked[which]) {
        looked[which] = true;
        // The standard module itself, whatever the namespace holds.
        Ref std_module(PyImport_ImportModule("binascii"));
        if (std_module) standard_fn[which] = PyObject_GetAttr(std_module.get(), name[which]);
        PyErr_Clear();  // without it every call goes through Python: slower, not wrong
    }
    // Python code may have run above: only a namespace unchanged since the
    // start vouches for the finding.
    if (standard_fn[which] && found.get() == standard_fn[which]) {
        standard_known[which] = version == namespace_version();
        standard_at[which] = version;
        return 1;
    }
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
