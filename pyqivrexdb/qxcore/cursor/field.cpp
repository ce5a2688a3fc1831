// STUB: replaced by the values work.
#include "field.h"
#include "../module/parts.h"

namespace qx {

uint64_t field_version = 0;

PyTypeObject FieldType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "pyqivrexdb.qxcore.Field",
    sizeof(FieldObject),
};

}  // namespace qx

// STUB continued
namespace qx {
PyObject* field_from_colstruct(const ColStruct_t*) { PyErr_SetString(PyExc_NotImplementedError, "Field"); return nullptr; }
PyObject* description_of(PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "description"); return nullptr; }
}  // namespace qx
