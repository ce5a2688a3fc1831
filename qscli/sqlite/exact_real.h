// Reals read from text exactly (the nearest double), as every path of the
// engine reads them: exact_real.cpp.
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
