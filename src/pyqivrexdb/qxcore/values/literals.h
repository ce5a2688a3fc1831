// The SQL literal of one Python value in the library's dialect: the only
// place where a bound parameter's spelling is decided, so another library's
// dialect is one more table here.
#pragma once

#include "../module/ref.h"

#include <string>

namespace qx::values {

// Appends the literal of `value` (CP866) in `dialect` (QSCLI_DIALECT_*) to
// `out`. `label` names the parameter in messages ("parameter 2", "parameter
// :name"). A value the
// dialect cannot spell as exactly one literal raises DataError (non-finite
// numbers, NUL or characters CP866 lacks, dates the engine cannot hold, an
// integer beyond 64 bits), any other type ProgrammingError. 0, or -1 with an
// exception set.
int append_literal(std::string& out, PyObject* value, PyObject* label, int dialect);

}  // namespace qx::values
