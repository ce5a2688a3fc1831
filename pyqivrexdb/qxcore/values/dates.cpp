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

// STUB continued
#include "dates.h"
namespace qx {
PyObject* qxdate2pydate(uint16_t) { PyErr_SetString(PyExc_NotImplementedError, "dates"); return nullptr; }
bool is_exact_date(PyObject*) { return false; }
uint16_t pack_date(PyObject*) { return 0; }
}  // namespace qx
