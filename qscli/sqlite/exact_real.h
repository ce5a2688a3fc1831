// Reals read from text exactly (the nearest double), and written as text that
// reads back as the same double, as every path of the engine reads and writes
// them: exact_real.cpp.
#pragma once

namespace qse {

// The text from b to e, all of it a decimal number as from_chars reads one
// ([-]digits[.digits][e[+-]digits]), as the nearest double. False when it
// is not one, or beyond the range of a double.
bool exact_real(const char* b, const char* e, double* v);

}  // namespace qse

// SQLite's sqlite3AtoF calls this with the text it read and its own
// result in *v (enc: SQLITE_UTF8, SQLITE_UTF16LE or SQLITE_UTF16BE), which it
// makes the nearest double.
extern "C" void qse_exact_real(const char* z, int length, int enc, double* v);

// A finite real as the shortest text that reads back as it, in SQLite's own
// form ("0.1", "2.0", "1.0e+15", "2.5e-07", "-0.0"): its length, written with
// a NUL into `out` (32 bytes hold any). 0 for an infinity or NaN, which
// SQLite renders itself.
extern "C" int qse_real_text(double v, char* out);
