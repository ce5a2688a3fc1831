// Connection.addrecords: packing Python rows into records of a table's
// layout and handing them to the client library a buffer at a time.
#pragma once

#include "../module/ref.h"

namespace qx {

// The method Connection.addrecords(table_name, pydata, cursor=None),
// METH_VARARGS | METH_KEYWORDS; `self` is a Connection.
PyObject* connection_addrecords(PyObject* self, PyObject* args, PyObject* kwds);
extern const char* const addrecords_doc;

}  // namespace qx
