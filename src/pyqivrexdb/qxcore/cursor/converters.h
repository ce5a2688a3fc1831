// The standard face's converters (dbapi.register_converter): one a column,
// chosen when a result is described.
#pragma once

#include "../base/pytype.h"

namespace qx {

// The converter of each column of `columns` (a list of Field) by its
// declared type's first word, from the registry dbapi.converters (declared
// type name in upper case -> callable(text)) as it is bound now: a new
// tuple (None for a column without one), or null when no column has one
// (*failed tells an exception apart). With `server_text` the registry is
// dbapi._server_text instead: the types whose server text a connection
// asked to read as it is.
PyObject* choose_converters(PyObject* columns, bool server_text, bool* failed);

}  // namespace qx
