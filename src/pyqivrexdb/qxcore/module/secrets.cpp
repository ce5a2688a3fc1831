// Server names as they may be shown: the rule is client/secrets.h's, shared
// with the library, which masks its own error texts by it.
#include "../client/secrets.h"

#include "../base/common.h"

namespace qx {

Ref masked_dsn(PyObject* server) {
    if (!PyUnicode_Check(server)) return Ref::borrow(server);
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(server, &n);
    if (!p) return Ref();
    const std::string shown = qsecret::masked(std::string(p, static_cast<size_t>(n)));
    return Ref(PyUnicode_DecodeUTF8(shown.data(), static_cast<Py_ssize_t>(shown.size()), "replace"));
}

PyObject* masked_dsn_fn(PyObject*, PyObject* server) {
    if (!PyUnicode_Check(server)) return PyErr_Format(PyExc_TypeError, "expected str, not %.100s", Py_TYPE(server)->tp_name);
    return masked_dsn(server).release();
}

PyObject* dsn_with_fn(PyObject*, PyObject* args) {
    const char *dsn, *key, *value;
    if (!PyArg_ParseTuple(args, "sss:dsn_with", &dsn, &key, &value)) return nullptr;
    if (!qsecret::names_server(dsn)) Py_RETURN_NONE;  // an engine file takes no settings
    const std::string out = qsecret::with_setting(dsn, key, value);
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
}

}  // namespace qx
