// Adapters: how a value of a caller's own type becomes one the standard face
// binds. The one rule both the statement path and the bulk load follow.
#pragma once

#include "../base/ref.h"

namespace qx::values {

// `value`, or what the adapter registered for its exact type makes of it.
// `adapters` is null or a tuple of dicts of type -> callable, asked in order
// (the connection's, then the module's); they are consulted only for values
// the fixed mapping does not take, so an unregistered type reaches the
// output unchanged and is refused there. An adapter's result must bind as
// it is (binds_as_is, classify.h), or on a server (`dialect`
// QSCLI_DIALECT_PG) be one of its own types; it is not adapted again.
// `label` names the value in messages (may be null). Null with an exception
// set.
Ref adapt(PyObject* value, PyObject* adapters, PyObject* label, int dialect);

}  // namespace qx::values
