// The bulk load, one for both faces: the face says how values are packed, a
// bad row is told and a refused batch is raised.
#pragma once

#include "../base/ref.h"
#include "../values/values.h"

#include <cstdint>

namespace qx {

struct ConnectionObject;

// Records per send: the whole load of `rows` records of `record_length`
// bytes (an int) when it fits into HEAPCTRL bytes, otherwise as many whole
// records as HEAPCTRL holds (at least one). A HEAPCTRL at or above its
// default counts as `at_least` bytes when that is more. 0, or -1 with an
// exception set.
int records_per_batch(Py_ssize_t rows, PyObject* record_length, Py_ssize_t* per_batch, int32_t at_least = 0);

// The batch in bytes a load on PostgreSQL sends at the least: each batch is a
// COPY of its own, and setting one up costs the server more than the rows of
// a 64 KiB batch.
constexpr int32_t PG_BATCH_BYTES = 8 << 20;

// Loads every row of `rows` into `table` (the encoded name, kept by the
// caller), whose layout is the Field list `fields`, `per_batch` records a
// send; the standard face's records end with `flag_bytes` bytes of null
// flags. *sent: the rows the library accepted. 0, or -1 with the face's
// exception set, annotated with rows_sent. `adapters` (borrowed, may be
// null) adapts the standard face's values as a bound statement does.
// `alone` (borrowed, may be null): called with a tuple of a row's adapted
// values when a text of the row is longer than its unbounded text field
// (a field of a UTF-8 connection whose width is no declared length's), to
// store that row by itself after the rows before it; without it such a row
// is refused.
int bulk_load(ConnectionObject* conn, const char* table, PyObject* fields, Py_ssize_t per_batch, values::Face face,
              uint32_t flag_bytes, PyObject* rows, Py_ssize_t* sent, PyObject* adapters = nullptr,
              PyObject* alone = nullptr);

// Renames the pending exception, raised for field j (-1: the row as a whole)
// of row `index` of a standard face's load, so its message names the row and
// the field `name`; it stays pending.
void name_bad_row(PyObject* row, Py_ssize_t index, PyObject* name, Py_ssize_t j);

}  // namespace qx
