// Bound parameters of the standard cursor: placeholders in a statement text
// replaced by the literals of the values, never by formatting.
#pragma once

#include "../base/ref.h"

namespace qx {

// The statement `operation` (a str) in CP866 with its placeholders bound:
// `?` takes the next value of a sequence, `:name` the value of a mapping.
// Placeholders inside string literals, quoted identifiers and comments of
// `dialect` (QSCLI_DIALECT_*) are text. With `params` None the text is sent
// as it is. A text of more than one statement is refused. A new bytes object
// without NUL, or null with ProgrammingError or DataError set. `adapters`
// (None, or a tuple of dicts) turns values of own types into bound ones: see
// values::adapt.
Ref bind_statement(PyObject* operation, PyObject* params, int dialect, PyObject* adapters = Py_None);

// The CP866 text of `operation` when it is one statement whose placeholders
// are all `?` (their count in *marks), for the library to bind a record's
// fields to; null, with no exception, for any other (bind_statement()
// then says what is wrong with it).
Ref positional_text(PyObject* operation, int dialect, Py_ssize_t* marks);

}  // namespace qx
