// The SQL literal of one Python value in the library's dialect: the only
// place where a bound parameter's spelling is decided, so another library's
// dialect is one more table here.
#pragma once

#include "../base/ref.h"

#include <string>

namespace qx::values {

// Appends the literal of `value` (CP866) in `dialect` (QSCLI_DIALECT_*) to
// `out`. `label` names the parameter in messages ("parameter 2", "parameter
// :name"). A value the
// dialect cannot spell as exactly one literal raises DataError (non-finite
// numbers, NUL or characters CP866 lacks, dates the engine cannot hold, an
// integer beyond 64 bits), any other type ProgrammingError. On PostgreSQL
// a negative number is parenthesised, "(-5)", when `cast_follows` (a `::`
// or `[` comes next, which binds tighter than the minus); otherwise it is
// written " -5". 0, or -1 with an exception set.
int append_literal(std::string& out, PyObject* value, PyObject* label, int dialect, bool cast_follows = false);

}  // namespace qx::values
