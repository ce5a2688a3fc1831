// The table layouts the standard face keeps per connection handle, and what
// makes them stale: a refused record, a statement that may change a table,
// the end of the session.
#pragma once

#include "../base/ref.h"

namespace qx {

// The layout kept for `table` (the encoded name, as bytes) on `hdb`: the
// tuple keep_layout was given (borrowed), or null, with an exception set
// when the lookup failed.
PyObject* kept_layout(int hdb, PyObject* table);

// Keeps `entry` as the layout of `table` on `hdb`, whose statements are read
// in `dialect`. 0, or -1 with an exception set.
int keep_layout(int hdb, int dialect, PyObject* table, PyObject* entry);

// What the layouts kept for connection `hdb` no longer hold after:
// forget_layout: the library refused a record of `table` (the encoded name)
// as not of the table's length;
// layouts_see_statement: `sql` ran, and it may have changed a table (any
// statement but queries, row changes, BEGIN, COMMIT and savepoints);
// forget_layouts: the connection closed.
void forget_layout(int hdb, const char* table);
void layouts_see_statement(int hdb, const char* sql);
void forget_layouts(int hdb);

}  // namespace qx
