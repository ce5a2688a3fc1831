// Dictionary-encoded (categorical) Arrow columns: each row holds an index
// into the column's dictionary, which holds each distinct value once.
// Both readers of Arrow data (the rows of rows.cpp, the bulk load of
// ingest.cpp) reach a column's value through value_view(), so a dictionary
// column loads as a column of its values' type would.
#pragma once

#include "rows.h"

namespace qx::arrow {

// Describes the dictionary column `c` in `column`: the reader and type of
// its values. 0, or -1 with NotSupportedError naming the column when its
// indices are no integers or its values a type that cannot be loaded.
int dictionary_column(const ArrowSchema* c, ColumnReader* column);

// The dictionary's view and position of the value at index row *i of the
// dictionary column's view v; null with DataError for an index outside the
// dictionary, null without an exception for a NULL value.
const ArrowArrayView* dictionary_value(const ArrowArrayView* v, int64_t* i);

// Where row *i of `column` (its view v) has its value: v itself, or the
// column's dictionary with *i its index there. Null for a NULL (with no
// exception set), or with an exception for an index the dictionary lacks.
inline const ArrowArrayView* value_view(const ColumnReader& column, const ArrowArrayView* v, int64_t* i) {
    if (ArrowArrayViewIsNull(v, *i)) return nullptr;
    return column.dictionary ? dictionary_value(v, i) : v;
}

}  // namespace qx::arrow
