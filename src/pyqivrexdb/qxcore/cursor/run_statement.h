// The statement path: the library calls of one execute, made in one place for
// every face. A face says only what differs: its errors, its return value,
// what a statement without a result set leaves, and its rows.
#pragma once

#include "cursor.h"

namespace qx {

// The library calls of an execute, in order, as a face's error names them.
enum class Step { Execute, ResultType, ReturnSize, RowCount, ResultCols, BadColumnCount, OpenResults, Describe };

struct StatementFace {
    // Raises the face's error for the library's `rc` at `step` (for
    // BadColumnCount, `rc` is the count).
    void (*refused)(CursorObject* c, void* arg, Step step, int rc);
    // After the statement ran; 0, or -1 with an exception set.
    int (*executed)(CursorObject* c, void* arg);
    // Reads the statement's return value, of `size` bytes when known (else
    // asked); 0, or -1 with an exception set.
    int (*read_return)(CursorObject* c, void* arg, const uint32_t* size);
    // After the changed rows and the result's columns were counted.
    int (*counted)(CursorObject* c, void* arg);
    // A statement without a result set is done.
    int (*no_results)(CursorObject* c, void* arg);
    // A new record iterator over the open result (the cursor's columns are
    // set); null with an exception set.
    PyObject* (*results)(CursorObject* c, void* arg, uint32_t descriptor_length, uint32_t record_size);
    // Whether a result of the column records described last takes the
    // Fields made for them then (in a new list), not new ones.
    bool keeps_columns;
};

// Runs `sql` (the library's text) on `c` and prepares what fetching needs;
// `heap_limit` is HEAPCTRL as it was bound when the call began, `arg` the
// face's own. 0, or -1 with the face's exception set.
int run_statement(CursorObject* c, const char* sql, uint32_t heap_limit, const StatementFace& face, void* arg);

}  // namespace qx
