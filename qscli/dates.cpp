// Packed dates: a day count where 1900-01-01 is 1.
#include "dates.h"

#include <cstdint>
#include <cstdio>

namespace qse {

namespace {

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, unsigned* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<unsigned>(yoe + era * 400 + (*m <= 2));
}

const int64_t DAY_ZERO = days_from_civil(QSCLI_DATE_FIRST_YEAR, 1, 1) - 1;

unsigned days_in_month(unsigned y, unsigned m) {
    static const unsigned dim[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return dim[m - 1];
}

}  // namespace

unsigned date_pack(unsigned day, unsigned month, unsigned year) {
    if (year < QSCLI_DATE_FIRST_YEAR || year > QSCLI_DATE_LAST_YEAR || month < 1 || month > 12 || day < 1 ||
        day > days_in_month(year, month))
        return 0;
    return static_cast<unsigned>(days_from_civil(year, month, day) - DAY_ZERO);
}

bool date_unpack(unsigned packed, unsigned* day, unsigned* month, unsigned* year) {
    unsigned d = 0, m = 0, y = 0;
    bool ok = packed >= 1 && packed <= DATE_MAX;
    if (ok) civil_from_days(DAY_ZERO + packed, &y, &m, &d);
    if (day) *day = d;
    if (month) *month = m;
    if (year) *year = y;
    return ok;
}

unsigned date_from_iso(const unsigned char* s, size_t n) {
    if (n != 10 || s[4] != '-' || s[7] != '-') return 0;
    unsigned v[3] = {0, 0, 0};
    const int spans[3][2] = {{0, 4}, {5, 7}, {8, 10}};
    for (int k = 0; k < 3; ++k) {
        for (int i = spans[k][0]; i < spans[k][1]; ++i) {
            if (s[i] < '0' || s[i] > '9') return 0;
            v[k] = v[k] * 10 + (s[i] - '0');
        }
    }
    return date_pack(v[2], v[1], v[0]);
}

void date_to_iso(unsigned packed, char out[10]) {
    unsigned d, m, y;
    date_unpack(packed, &d, &m, &y);  // y within 1900..2078, or all 0
    auto two = [out](int at, unsigned v) {
        out[at] = static_cast<char>('0' + v / 10 % 10);
        out[at + 1] = static_cast<char>('0' + v % 10);
    };
    two(0, y / 100);
    two(2, y % 100);
    out[4] = '-';
    two(5, m);
    out[7] = '-';
    two(8, d);
}

}  // namespace qse
