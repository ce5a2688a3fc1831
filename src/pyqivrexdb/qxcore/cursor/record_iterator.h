// The record iterator's state, shared by the files that read records
// (record_reading.cpp), cut them into rows (row_cutting.cpp) and make
// the generator Python sees (record_iterator.cpp).
#pragma once

#include "cursor.h"

#include "../client/loader.h"
#include "../client/causes.h"
#include "../base/common.h"
#include "../client/cp866.h"
#include "../values/values.h"
#include "row.h"
#include "standard_cursor.h"
#include "run_statement.h"

#include <new>

namespace qx {

struct RecordsObject {
    PyObject_HEAD
    CursorObject* cursor;  // owned until the iteration finishes
    uint32_t buffer_size;  // logged only
    uint32_t rec_size;     // bytes of one record, as the client reported it
    enum State : unsigned char { FRESH, READING, FINISHED } state;
    bool running;          // inside next/send/throw/close: no re-entry
    unsigned long runner;  // the thread inside, while running
    MemBlock buffer;       // the read buffer, from the first next() to the end
    uint32_t capacity;     // its size in bytes
    uint32_t pos;          // where the next record starts in it
    uint32_t left;         // bytes of the last read not yet cut (whole records)
    values::ColumnLayout layout;
    uint64_t layout_stamp; // the cursor's kept_layout_stamp when `layout` is a copy of its kept layout, else 0
    PyObject* layout_columns;  // owned: the Field list `layout` was resolved from
    values::Face face;     // whose rows: the core's lists, or the standard face's tuples
    uint32_t flag_bytes;   // null flags ending each record (standard face), or 0
    bool arra_lengths;     // each ARRA value's length follows the flags
    bool streamed;         // records come in batches, each with its own layout (QSCLI_ATTR_STREAM)
    uint64_t trailer;      // bytes after the fields: flags and lengths (for this layout)
    RowMaker rows;         // the standard face's row_factory, from the first fetch
    std::vector<values::ServerType> server_types;  // each column's, when the library told them
    bool plain_values;     // no column's loader runs Python code or makes values that hold references
    PyObject* json_loads;  // owned: the connection's json_loads when a column reads json, or null
    PyObject* zone;        // owned: the session's time zone when a column reads timestamptz, or null
    bool zoned;            // a column reads timestamptz (values::zoned_type)
    PyObject* failed;      // owned: why the standard face's rows ended early, or null
    bool text_utf8;        // its texts are UTF-8 (the standard cursor's text_utf8)
};

inline RecordsObject* as_records(PyObject* obj) { return reinterpret_cast<RecordsObject*>(obj); }

// Ends the iteration for good, as a generator's frame ends: the buffer goes,
// and so do the references to the cursor and its columns.
void finish(RecordsObject* r);

// Ends the iteration after `row` (null: the end or an error). An error ends
// the standard face's rows for good, and every later fetch says so rather
// than report the end of rows never read: the record that failed (a
// converter, a row_factory, a read) is gone, and so are those after it.
void end_unless(RecordsObject* r, PyObject* row);

// The error of a fetch after end_unless() ended the rows on an error; -1.
int refuse_failed(RecordsObject* r);

// Makes a whole record ready to cut: 1 when one is, 0 at the end of the
// records, -1 with an exception set. Reads from the client when the buffer
// is used up; Python code may run here (logging, server messages, Field
// attributes), never while records are being cut.
int fill(RecordsObject* r);

}  // namespace qx
