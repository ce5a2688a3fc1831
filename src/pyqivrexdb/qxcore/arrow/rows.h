// Arrow data read a batch at a time (rows.cpp): the object arrow_rows()
// makes, which the row iterator and the bulk load of Arrow data both read.
#pragma once

#include "../base/ref.h"

#include <nanoarrow/nanoarrow.h>

#include <cstdint>
#include <vector>

namespace qx::arrow {

// A column's reader: the Python value at row i of its view (never NULL there).
using Reader = PyObject* (*)(const ArrowArrayView* v, int64_t i, const ArrowSchemaView& type);

// The reader of an Arrow type; null for a type that cannot be loaded.
Reader reader_for(ArrowType type);

struct ColumnReader {
    Reader read;
    ArrowSchemaView type;  // of its values: a dictionary column's are its dictionary's
    bool dictionary;       // its rows are indices into a dictionary (dictionary.h)
};

// NotSupportedError naming column `c` and its type; -1.
int refuse_column(const ArrowSchema* c, const char* type_name);

struct RowsObject {
    PyObject_HEAD
    ArrowArrayStream stream;  // released when done
    ArrowSchema schema;
    ArrowArray batch;         // the current batch, or release null
    ArrowArrayView view;      // of the batch, from the schema
    bool viewing;             // view initialised
    int64_t row;              // next row in the batch
    std::vector<ColumnReader>* columns;  // owned: one a column of the schema
    PyObject* fields;         // owned: list of (name, format, nullable)
    PyObject* single;         // owned: the capsules of an __arrow_c_array__ export, until read
};

// `obj` as arrow_rows()'s object, or null with TypeError.
RowsObject* as_rows(PyObject* obj);

// Makes a batch with rows left current (r->row its next): 1, 0 at the end,
// -1 with an exception (DataError for a stream that failed).
int next_batch(RowsObject* r);

// A tuple of the values of row `row` of the current batch.
PyObject* row_values(RowsObject* r, int64_t row);

// Civil date of a day count since 1970-01-01.
void civil_from_days(int64_t z, int* y, int* m, int* d);
// Floor division: times before 1970 count back from it.
int64_t floor_div(int64_t a, int64_t b, int64_t* rest);

// A timestamp's value to the microsecond a datetime keeps: its day since
// 1970-01-01, second of that day and microsecond, and the nanoseconds past
// the microsecond that a finer unit has and a datetime would lose.
struct Instant {
    int64_t days, second, micro, lost;
};
Instant instant_of(int64_t value, const ArrowSchemaView& type);

}  // namespace qx::arrow
