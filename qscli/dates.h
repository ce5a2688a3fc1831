// Dates in records: a day count where 1900-01-01 is 1 and 2078-12-31 is 65379.
#pragma once

#include "qscli_api.h"

#include <cstddef>

namespace qse {

constexpr unsigned DATE_MAX = 65379;
#define QSE_STR2(x) #x
#define QSE_STR(x) QSE_STR2(x)
// The first and the last day, as messages spell them.
#define QSE_DATE_FIRST QSE_STR(QSCLI_DATE_FIRST_YEAR) "-01-01"
#define QSE_DATE_LAST QSE_STR(QSCLI_DATE_LAST_YEAR) "-12-31"
// 0 for an impossible or out-of-range date.
unsigned date_pack(unsigned day, unsigned month, unsigned year);
// False (and zeros) for 0 or a count beyond DATE_MAX.
bool date_unpack(unsigned packed, unsigned* day, unsigned* month, unsigned* year);
// Exactly "YYYY-MM-DD" → day count; 0 when it is not such a date in range.
unsigned date_from_iso(const unsigned char* s, size_t n);
// Day count (1..DATE_MAX) → "YYYY-MM-DD" (10 bytes, no NUL).
void date_to_iso(unsigned packed, char out[10]);

}  // namespace qse
