// Element types, declared SQL types, packed dates, and the packing of one
// SQLite value into a record field.
#include "dates.h"
#include "elemtype.h"
#include "text.h"
#include "value.h"

// SQLite's printf renders a real as the engine shows it, on either backend.
#include <sqlite3.h>

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qse {

// ---- dates ----

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

// ---- declared types ----

namespace {

enum Shape { FIXED, CHARLIKE, BINLIKE };

struct TypeWord {
    const char* word;
    int type;
    Shape shape;
};

// The first word of a declared type, upper case. CHAR-like and binary
// words take a length in parentheses; without one the width follows the data.
const TypeWord TYPE_WORDS[] = {
    {"CHAR", QSCLI_ET_CHAR, CHARLIKE},      {"VARCHAR", QSCLI_ET_CHAR, CHARLIKE},
    {"CHARACTER", QSCLI_ET_CHAR, CHARLIKE}, {"NCHAR", QSCLI_ET_CHAR, CHARLIKE},
    {"NVARCHAR", QSCLI_ET_CHAR, CHARLIKE},  {"TEXT", QSCLI_ET_CHAR, CHARLIKE},
    {"CLOB", QSCLI_ET_CHAR, CHARLIKE},      {"STRING", QSCLI_ET_CHAR, CHARLIKE},
    {"BINARY", QSCLI_ET_ARRA, BINLIKE},     {"VARBINARY", QSCLI_ET_ARRA, BINLIKE},
    {"BLOB", QSCLI_ET_ARRA, BINLIKE},       {"ARRA", QSCLI_ET_ARRA, BINLIKE},
    {"BYTE", QSCLI_ET_BYTE, FIXED},         {"TINYINT", QSCLI_ET_BYTE, FIXED},
    {"BOOLEAN", QSCLI_ET_BYTE, FIXED},      {"BOOL", QSCLI_ET_BYTE, FIXED},
    {"SMALLINT", QSCLI_ET_INTR, FIXED},     {"INTR", QSCLI_ET_INTR, FIXED},
    {"WORD", QSCLI_ET_WORD, FIXED},         {"DATE", QSCLI_ET_DATE, FIXED},
    {"NMBR", QSCLI_ET_NMBR, FIXED},         {"INTEGER", QSCLI_ET_LONG, FIXED},
    {"INT", QSCLI_ET_LONG, FIXED},          {"LONG", QSCLI_ET_LONG, FIXED},
    {"MEDIUMINT", QSCLI_ET_LONG, FIXED},    {"DWORD", QSCLI_ET_DWRD, FIXED},
    {"DWRD", QSCLI_ET_DWRD, FIXED},         {"FLOAT", QSCLI_ET_FLOA, FIXED},
    {"FLOA", QSCLI_ET_FLOA, FIXED},         {"MONEY", QSCLI_ET_CURR, FIXED},
    {"CURRENCY", QSCLI_ET_CURR, FIXED},     {"CURR", QSCLI_ET_CURR, FIXED},
    {"DOUBLE", QSCLI_ET_DFLT, FIXED},       {"REAL", QSCLI_ET_DFLT, FIXED},
    {"DFLT", QSCLI_ET_DFLT, FIXED},         {"NUMERIC", QSCLI_ET_DFLT, FIXED},
    {"DECIMAL", QSCLI_ET_DFLT, FIXED},      {"BIGINT", QSCLI_ET_DFLT, FIXED},
    {"INT8", QSCLI_ET_DFLT, FIXED},
};

constexpr uint32_t MAX_DECLARED_WIDTH = 1u << 24;

bool is_word_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Parses `s` (n bytes) as a type: first word, optional "(n)". `rest` receives
// whether anything but blanks follows the parsed part.
bool lookup(const char* s, size_t n, ElemType* out, bool* trailing) {
    size_t k = 0;
    while (k < n && (s[k] == ' ' || s[k] == '\t' || s[k] == '\n' || s[k] == '\r')) ++k;
    char word[16];
    size_t w = 0;
    while (k < n && is_word_char(static_cast<unsigned char>(s[k]))) {
        if (w == sizeof word - 1) return false;
        char c = s[k++];
        word[w++] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    word[w] = 0;
    if (!w) return false;
    const TypeWord* hit = nullptr;
    for (const TypeWord& t : TYPE_WORDS)
        if (std::strcmp(t.word, word) == 0) hit = &t;
    if (!hit) return false;
    // Further words ("DOUBLE PRECISION", "CHARACTER VARYING") and a length.
    uint64_t len = 0;
    bool has_len = false;
    while (k < n && s[k] != '(') {
        unsigned char c = static_cast<unsigned char>(s[k]);
        if (!is_word_char(c) && c != ' ' && c != '\t') break;
        ++k;
    }
    if (k < n && s[k] == '(') {
        ++k;
        while (k < n && s[k] == ' ') ++k;
        while (k < n && s[k] >= '0' && s[k] <= '9') {
            has_len = true;
            if (len <= MAX_DECLARED_WIDTH) len = len * 10 + (s[k] - '0');
            ++k;
        }
        while (k < n && s[k] != ')') ++k;
        if (k < n) ++k;
    }
    while (k < n && (s[k] == ' ' || s[k] == '\t' || s[k] == '\n' || s[k] == '\r')) ++k;
    if (trailing) *trailing = k < n;
    ElemType e;
    e.type = hit->type;
    e.int64 = std::strcmp(word, "BIGINT") == 0 || std::strcmp(word, "INT8") == 0;
    if (hit->shape == FIXED) {
        e.len = natural_width(hit->type);
    } else if (has_len && len >= 1 && len <= MAX_DECLARED_WIDTH) {
        e.len = static_cast<uint32_t>(len);
    } else {
        e.var = true;
    }
    *out = e;
    return true;
}

}  // namespace

#define QSE_WIDTH(name, code, width, low, high) width,
#define QSE_NAME(name, code, width, low, high) #name,
constexpr uint32_t kWidths[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QSE_WIDTH)};
constexpr const char* kNames[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QSE_NAME)};
#undef QSE_WIDTH
#undef QSE_NAME

uint32_t natural_width(int type) {
    if (type == QSCLI_ET_INT64) return 8;
    return type >= 0 && type < QSCLI_ET_COUNT ? kWidths[type] : 0;
}

const char* type_name(int type) {
    if (type == QSCLI_ET_INT64) return "INT64";
    return type >= 0 && type < QSCLI_ET_COUNT ? kNames[type] : "?";
}

ElemType map_decltype(const char* decl) {
    ElemType e;
    if (!decl || !lookup(decl, std::strlen(decl), &e, nullptr)) {
        e = ElemType();
        e.infer = true;
    }
    return e;
}

bool parse_type_name(const char* name, size_t n, ElemType* out) {
    bool trailing = false;
    return lookup(name, n, out, &trailing) && !trailing;
}

// ---- packing ----

#define DATE_RULE "is not a date YYYY-MM-DD from " QSE_DATE_FIRST " to " QSE_DATE_LAST

namespace {

void put_le(unsigned char* dst, uint64_t v, unsigned bytes) {
    for (unsigned k = 0; k < bytes; ++k) dst[k] = static_cast<unsigned char>(v >> (8 * k));
}

std::string describe(const Value& v) {
    char buf[64];
    switch (v.kind) {
    case VKind::Int: std::snprintf(buf, sizeof buf, "%" PRId64, v.i); return buf;
    case VKind::Float: std::snprintf(buf, sizeof buf, "%.17g", v.d); return buf;
    case VKind::Text:
    case VKind::Text866: {
        std::string s = "text '";
        size_t n = v.n < 40 ? v.n : 40;
        // Up to a NUL (the message is a C string) and never into a character.
        if (const void* z = std::memchr(v.p, 0, n)) n = static_cast<size_t>(static_cast<const unsigned char*>(z) - v.p);
        if (v.kind == VKind::Text)
            while (n < v.n && n > 0 && (v.p[n] & 0xC0) == 0x80) --n;
        if (v.kind == VKind::Text) s.append(reinterpret_cast<const char*>(v.p), n);
        else cp866_to_utf8(v.p, n, s);
        if (n < v.n) s += "...";
        return s + "'";
    }
    case VKind::Blob: std::snprintf(buf, sizeof buf, "a blob of %zu bytes", v.n); return buf;
    default: return "NULL";
    }
}

int mismatch(const Value& v, int type, const char* what, std::string* why) {
    if (why) {
        *why = describe(v);
        *why += " ";
        *why += what;
        *why += " (";
        *why += type_name(type);
        *why += ")";
    }
    return QSCLI_E_MISMATCH;
}

// The exact integer a value stands for; false for text, blobs and fractions.
bool integral(const Value& v, int64_t* out) {
    if (v.kind == VKind::Int) {
        *out = v.i;
        return true;
    }
    if (v.kind == VKind::Float && std::isfinite(v.d) && std::floor(v.d) == v.d &&
        v.d >= -9223372036854775808.0 && v.d < 9223372036854775808.0) {
        *out = static_cast<int64_t>(v.d);
        return true;
    }
    return false;
}

bool numeric(const Value& v, double* out) {
    if (v.kind == VKind::Float) {
        *out = v.d;
        return true;
    }
    if (v.kind == VKind::Int) {
        *out = static_cast<double>(v.i);
        return true;
    }
    return false;
}

// A number as the database would show it as text.
size_t render_number(const Value& v, char* buf, size_t cap) {
    if (v.kind == VKind::Int) return static_cast<size_t>(std::snprintf(buf, cap, "%" PRId64, v.i));
    sqlite3_snprintf(static_cast<int>(cap), buf, "%!.15g", v.d);
    return std::strlen(buf);
}

void pad_text(unsigned char* dst, size_t w, uint32_t len) {
    // The same fill the driver's loader writes: one NUL, then blanks.
    if (w < len) {
        dst[w] = 0;
        if (len - w > 1) std::memset(dst + w + 1, ' ', len - w - 1);
    }
}

}  // namespace

int pack_value(int type, uint32_t len, const Value& v, unsigned char* dst, std::string* why,
               uint32_t* width) {
    if (width) *width = 0;
    if (v.kind == VKind::Null) {
        std::memset(dst, 0, len);
        return 0;
    }
    int64_t i = 0;
    switch (type) {
    case QSCLI_ET_CHAR: {
        size_t w = 0;
        if (v.kind == VKind::Text || v.kind == VKind::Blob) {
            TextStatus st = utf8_to_cp866(v.p, v.n, dst, len, &w);
            if (st != TextStatus::Ok) return mismatch(v, type, text_problem(st), why);
        } else if (v.kind == VKind::Text866) {
            if (v.n > len) return mismatch(v, type, "is longer than its column", why);
            std::memcpy(dst, v.p, v.n);
            w = v.n;
        } else {
            char buf[40];
            w = render_number(v, buf, sizeof buf);
            if (w > len) return mismatch(v, type, "is longer than its column", why);
            std::memcpy(dst, buf, w);
        }
        pad_text(dst, w, len);
        return 0;
    }
    case QSCLI_ET_ARRA: {
        char buf[40];
        const unsigned char* p = v.p;
        size_t n = v.n;
        if (v.kind == VKind::Int || v.kind == VKind::Float) {
            n = render_number(v, buf, sizeof buf);
            p = reinterpret_cast<const unsigned char*>(buf);
        }
        if (n > len) return mismatch(v, type, "is longer than its column", why);
        if (n) std::memcpy(dst, p, n);
        std::memset(dst + n, 0, len - n);
        if (width) *width = static_cast<uint32_t>(n);
        return 0;
    }
    case QSCLI_ET_BYTE:
        if (!integral(v, &i) || i < 0 || i > 255)
            return mismatch(v, type, "does not fit 0..255", why);
        put_le(dst, static_cast<uint64_t>(i), 1);
        return 0;
    case QSCLI_ET_INTR:
        if (!integral(v, &i) || i < -32768 || i > 32767)
            return mismatch(v, type, "does not fit -32768..32767", why);
        put_le(dst, static_cast<uint64_t>(i), 2);
        return 0;
    case QSCLI_ET_WORD:
        if (!integral(v, &i) || i < 0 || i > 65535)
            return mismatch(v, type, "does not fit 0..65535", why);
        put_le(dst, static_cast<uint64_t>(i), 2);
        return 0;
    case QSCLI_ET_NMBR:
        if (!integral(v, &i) || i < 0 || i > 16777215)
            return mismatch(v, type, "does not fit 0..16777215", why);
        put_le(dst, static_cast<uint64_t>(i), 3);
        return 0;
    case QSCLI_ET_LONG:
        if (!integral(v, &i) || i < INT32_MIN || i > INT32_MAX)
            return mismatch(v, type, "does not fit -2147483648..2147483647", why);
        put_le(dst, static_cast<uint64_t>(i), 4);
        return 0;
    case QSCLI_ET_DWRD:
        if (!integral(v, &i) || i < 0 || i > static_cast<int64_t>(UINT32_MAX))
            return mismatch(v, type, "does not fit 0..4294967295", why);
        put_le(dst, static_cast<uint64_t>(i), 4);
        return 0;
    case QSCLI_ET_DATE: {
        unsigned packed = 0;
        if (v.kind == VKind::Text || v.kind == VKind::Text866 || v.kind == VKind::Blob)
            packed = date_from_iso(v.p, v.n);
        if (!packed)
            return mismatch(v, type, DATE_RULE,
                            why);
        put_le(dst, packed, 2);
        return 0;
    }
    case QSCLI_ET_INT64:
        if (!integral(v, &i)) return mismatch(v, type, "is not a 64-bit integer", why);
        put_le(dst, static_cast<uint64_t>(i), 8);
        return 0;
    case QSCLI_ET_FLOA: {
        double d;
        if (!numeric(v, &d)) return mismatch(v, type, "is not a number", why);
        if (std::isfinite(d) && std::fabs(d) > FLT_MAX)
            return mismatch(v, type, "is beyond single precision", why);
        float f = static_cast<float>(d);
        std::memcpy(dst, &f, 4);
        return 0;
    }
    case QSCLI_ET_CURR:
    case QSCLI_ET_DFLT: {
        double d;
        if (!numeric(v, &d)) return mismatch(v, type, "is not a number", why);
        if (v.kind == VKind::Int && (v.i > (int64_t(1) << 53) || v.i < -(int64_t(1) << 53))) {
            // Above 2^53 not every integer has a double: refuse a rounded one.
            if (d >= 9223372036854775808.0 || static_cast<int64_t>(d) != v.i)
                return mismatch(v, type, "has no exact double", why);
        }
        std::memcpy(dst, &d, 8);
        return 0;
    }
    default:
        std::memset(dst, 0, len);
        return 0;
    }
}

}  // namespace qse
