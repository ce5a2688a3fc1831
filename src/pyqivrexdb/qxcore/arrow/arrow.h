// The Arrow functions of pyqivrexdb._qxstandard.
#pragma once

#include "../base/ref.h"

namespace qx::arrow {

// arrow_result(cursor, batch_size) -> an object exporting the rest of the
// cursor's result as an Arrow stream (stream.cpp).
PyObject* arrow_result(PyObject* self, PyObject* args);

// arrow_rows(data) -> an iterator of tuples over an object exporting
// __arrow_c_stream__ or __arrow_c_array__, with .fields, a list of (name,
// Arrow format, nullable); a column of a type it cannot load raises
// NotSupportedError naming the type before any row is read (rows.cpp).
PyObject* arrow_rows(PyObject* self, PyObject* data);

// arrow_load(connection, table, rows, order, cursor=None, alone=None,
// whole=False) -> the rows loaded: the batches of `rows` (from arrow_rows)
// packed straight into the records of `table`'s bulk load, field j from
// Arrow column order[j]. A value that does not fit raises as the standard
// face's load does, naming the row and the field, with rows_sent; `alone`
// stores a row whose text is longer than its unbounded field by itself;
// `whole`: the data is in memory already, so its batches that go to the
// library as they are go in one send (ingest.cpp).
PyObject* arrow_load(PyObject* self, PyObject* args);

}  // namespace qx::arrow
