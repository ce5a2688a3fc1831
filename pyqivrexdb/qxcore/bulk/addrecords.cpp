// STUB: replaced by the bulk loading work.
#include "bulk.h"

namespace qx {

PyObject* connection_addrecords(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "addrecords");
    return nullptr;
}
const char* const addrecords_doc = nullptr;

}  // namespace qx
