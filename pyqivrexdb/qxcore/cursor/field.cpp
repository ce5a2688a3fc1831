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
