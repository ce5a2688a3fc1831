// The loaders of a server's types, shared by the files of values/ that make
// them: each takes the value's text form (CP866, as the library hands text
// over) and makes the Python value the standard face reads, or raises
// ValueError (a value Python cannot hold, a text not of its type's form).
#pragma once

#include "values.h"

#include <cstddef>

namespace qx::values {

// ValueError "TYPE 'TEXT' WHY", which the reader raises as DataError naming
// the column; returns null.
std::nullptr_t load_refused(const char* type, const char* p, size_t n, const char* why);

// The temporal types (load_dates.cpp).
PyObject* load_date(const char* p, size_t n);
PyObject* load_time(const char* p, size_t n);
PyObject* load_timetz(const char* p, size_t n);
PyObject* load_timestamp(const char* p, size_t n);
PyObject* load_timestamptz(const char* p, size_t n);
PyObject* load_interval(const char* p, size_t n);
// Sets the tzinfo timestamptz values take on this thread (borrowed; null:
// each value's own offset); returns the one it replaces (ReadingScope).
PyObject* swap_reading_zone(PyObject* zone);
// 0 once the datetime C interface of load_dates.cpp is ready, -1 with an
// exception.
int load_dates_ready();

}  // namespace qx::values
