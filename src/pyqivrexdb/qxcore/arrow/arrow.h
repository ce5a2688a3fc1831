// The Arrow functions of pyqivrexdb._qxstandard.
#pragma once

#include "../module/ref.h"

namespace qx::arrow {

// arrow_result(cursor, batch_size) -> an object exporting the rest of the
// cursor's result as an Arrow stream (stream.cpp).
PyObject* arrow_result(PyObject* self, PyObject* args);

// arrow_rows(data) -> an iterator of tuples over an object exporting
// __arrow_c_stream__ or __arrow_c_array__, with .fields, a list of (name,
// Arrow format, nullable); a column of a type it cannot load raises
// NotSupportedError naming the type before any row is read (rows.cpp).
PyObject* arrow_rows(PyObject* self, PyObject* data);

}  // namespace qx::arrow
