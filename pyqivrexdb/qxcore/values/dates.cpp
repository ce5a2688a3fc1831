// STUB: replaced by the values work.
#include "../module/parts.h"
#include <datetime.h>

namespace qx {

static PyObject* stub(PyObject*, PyObject*) { Py_RETURN_NONE; }
PyMethodDef pydate2qxdate_def = {"pydate2qxdate", stub, METH_O, nullptr};

int datetime_import() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI ? 0 : -1;
}

}  // namespace qx
