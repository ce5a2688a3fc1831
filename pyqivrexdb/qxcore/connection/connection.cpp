// STUB: replaced by the connections work.
#include "connection.h"
#include "../module/parts.h"

namespace qx {

PyTypeObject ConnectionType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "pyqivrexdb.qxcore.Connection",
    sizeof(ConnectionObject),
};

static PyObject* stub(PyObject*, PyObject*) { Py_RETURN_NONE; }
PyMethodDef connect_def = {"connect", stub, METH_VARARGS, nullptr};
PyMethodDef srvsendlog_def = {"srvsendlog", stub, METH_VARARGS, nullptr};
PyMethodDef srvusersendlog_def = {"srvusersendlog", stub, METH_VARARGS, nullptr};

}  // namespace qx
