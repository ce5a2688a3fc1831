// The standard face's rows other than tuples: the Row type, the dict and
// named-tuple factories, and how a result set applies a cursor's
// row_factory to each row it cuts.
#pragma once

#include "../base/pytype.h"

namespace qx {

extern PyTypeObject RowType;
// dict_row(cursor, row) and namedtuple_row(cursor, row), as functions of
// pyqivrexdb._qxstandard.
extern PyMethodDef row_factory_functions[];

// One result set's row factory, read from the cursor at its first fetch.
struct RowMaker {
    enum Kind : unsigned char { TUPLE, ROW, DICT, NAMED, CALL };
    Kind kind = TUPLE;
    PyObject* factory = nullptr;  // owned: the callable (CALL), or the named-tuple class (NAMED)
    PyObject* keys = nullptr;     // owned: the column names (ROW, DICT)
    // owned: a tuple of one converter (or None) a column, applied before the
    // factory; null when no column has one
    PyObject* converters = nullptr;
};

// Reads `cursor.row_factory` (None, or no such attribute: tuples); the
// converters were set when the result was described. 0, or -1 with an
// exception set.
int row_maker_start(RowMaker* m, PyObject* cursor);
// Whether a row needs more than the decoded tuple.
inline bool row_maker_plain(const RowMaker* m) { return m->kind == RowMaker::TUPLE && !m->converters; }
// The row the factory makes of `tuple` (stolen), its values converted first;
// null with an exception set.
PyObject* row_make(const RowMaker* m, PyObject* cursor, PyObject* tuple);
// Whether making a row may run Python code (a callable of the caller's).
inline bool row_maker_runs_python(const RowMaker* m) { return m->kind == RowMaker::CALL || m->converters; }
void row_maker_clear(RowMaker* m);
int row_maker_traverse(const RowMaker* m, visitproc visit, void* arg);

}  // namespace qx
