// STUB: replaced by the values work (table-driven codec).
#include "cp866.h"

namespace qx {

PyObject* cp866_decode(const char* data, Py_ssize_t size) {
    return PyUnicode_Decode(data, size, "cp866", "strict");
}

Ref cp866_encode(PyObject* obj) {
    Ref out(PyObject_CallMethod(obj, "encode", "s", "cp866"));
    if (out && !PyBytes_Check(out.get()) && !PyByteArray_Check(out.get())) {
        PyErr_SetString(PyExc_TypeError, "encode() did not return bytes");
        return Ref();
    }
    return out;
}

}  // namespace qx
