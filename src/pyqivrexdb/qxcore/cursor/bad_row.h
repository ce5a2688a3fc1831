// A bad row of the standard face's (a load's, executemany's) told by its
// row and field.
#pragma once

#include "../base/ref.h"

namespace qx {

// Renames the pending exception, raised for field j (-1: the row as a whole)
// of row `index` of a standard face's load, so its message names the row and
// the field `name`; it stays pending.
void name_bad_row(PyObject* row, Py_ssize_t index, PyObject* name, Py_ssize_t j);

}  // namespace qx
