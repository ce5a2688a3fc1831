// Adapters: how a value of a caller's own type becomes one the standard face
// binds. The one rule both the statement path and the bulk load follow.
#pragma once

#include "../base/ref.h"

namespace qx::values {

// Whether the fixed mapping binds `value` as it is: None, bool, int, float,
// str, bytes-like, date, time, datetime, Decimal (subclasses included).
// -1 with an exception set.
int binds_as_is(PyObject* value);

// `value`, or what the adapter registered for its exact type makes of it.
// `adapters` is null or a tuple of dicts of type -> callable, asked in order
// (the connection's, then the module's); they are consulted only for values
// the fixed mapping does not take, so an unregistered type reaches the
// encoder unchanged and is refused there. An adapter's result must bind as it
// is, or on a server (`dialect` QSCLI_DIALECT_PG) be one of its own types
// (server_values.h); it is not adapted again. `label` names the value in messages (may be
// null). Null with an exception set.
Ref adapt(PyObject* value, PyObject* adapters, PyObject* label, int dialect);

}  // namespace qx::values
