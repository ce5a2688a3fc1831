// Connection.addrecords: packing Python rows into records of a table's
// layout and handing them to the client library a buffer at a time.
#pragma once

#include "../base/ref.h"

namespace qx {

// The method Connection.addrecords(table_name, pydata, cursor=None),
// METH_VARARGS | METH_KEYWORDS; `self` is a Connection.
PyObject* connection_addrecords(PyObject* self, PyObject* args, PyObject* kwds);
extern const char* const addrecords_doc;

// The standard face's bulk load, load(connection, table, rows): every row a
// sequence of one value a field, packed exactly (None as NULL through the
// connection's null flags); a value that does not fit raises an error
// naming the row and the field, with rows_sent. Returns the rows loaded.
PyObject* standard_load(PyObject* module, PyObject* args);

}  // namespace qx
