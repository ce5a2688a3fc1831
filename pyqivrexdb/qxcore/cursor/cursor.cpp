// STUB: replaced by the cursor work.
#include "../module/parts.h"

namespace qx {

PyTypeObject CursorType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "pyqivrexdb.qxcore.Cursor",
    sizeof(PyObject),
};

}  // namespace qx
