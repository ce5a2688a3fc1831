// The packing of one value into a record field: never cut or wrapped; a
// value that does not fit fails, naming why.
#include "dates.h"
#include "elemtype.h"
#include "text.h"
#include "value.h"

// SQLite's printf renders a real as the engine shows it, on either backend.
#include <sqlite3.h>

#include <cfloat>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qse {

#define DATE_RULE "is not a date YYYY-MM-DD from " QSE_DATE_FIRST " to " QSE_DATE_LAST

namespace {

void put_le(unsigned char* dst, uint64_t v, unsigned bytes) {
    for (unsigned k = 0; k < bytes; ++k) dst[k] = static_cast<unsigned char>(v >> (8 * k));
}

std::string describe(const Value& v) {
    char buf[64];
    switch (v.kind) {
    case VKind::Int: std::snprintf(buf, sizeof buf, "%" PRId64, v.i); return buf;
    case VKind::Float: {
        const auto r = std::to_chars(buf, buf + sizeof buf, v.d, std::chars_format::general, 17);
        return std::string(buf, static_cast<size_t>(r.ptr - buf));
    }
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

void pad_text(unsigned char* dst, size_t w, uint32_t len) {
    // The same fill the driver's loader writes: one NUL, then blanks.
    if (w < len) {
        dst[w] = 0;
        if (len - w > 1) std::memset(dst + w + 1, ' ', len - w - 1);
    }
}

}  // namespace

std::string refusal(const Value& v, int type, const char* what) {
    std::string why;
    mismatch(v, type, what, &why);
    return why;
}

size_t render_number(const Value& v, char* buf, size_t cap) {
    if (v.kind == VKind::Int) return static_cast<size_t>(std::snprintf(buf, cap, "%" PRId64, v.i));
    sqlite3_snprintf(static_cast<int>(cap), buf, "%!.15g", v.d);
    return std::strlen(buf);
}

namespace {

int pack_char(uint32_t len, const Value& v, unsigned char* dst, std::string* why) {
    size_t w = 0;
    if (v.kind == VKind::Text || v.kind == VKind::Blob) {
        TextStatus st = utf8_to_cp866(v.p, v.n, dst, len, &w);
        if (st != TextStatus::Ok) return mismatch(v, QSCLI_ET_CHAR, text_problem(st), why);
    } else if (v.kind == VKind::Text866) {
        if (v.n > len) return mismatch(v, QSCLI_ET_CHAR, "is longer than its column", why);
        std::memcpy(dst, v.p, v.n);
        w = v.n;
    } else {
        char buf[40];
        w = render_number(v, buf, sizeof buf);
        if (w > len) return mismatch(v, QSCLI_ET_CHAR, "is longer than its column", why);
        std::memcpy(dst, buf, w);
    }
    pad_text(dst, w, len);
    return 0;
}

int pack_arra(uint32_t len, const Value& v, unsigned char* dst, std::string* why, uint32_t* width) {
    char buf[40];
    size_t n = 0;
    const unsigned char* p = field_bytes(v, buf, &n);
    if (n > len) return mismatch(v, QSCLI_ET_ARRA, "is longer than its column", why);
    if (n) std::memcpy(dst, p, n);
    std::memset(dst + n, 0, len - n);
    if (width) *width = static_cast<uint32_t>(n);
    return 0;
}

// What a result field of a fixed-width integer type can hold: every bit
// pattern of its width (writes keep to the narrower declared ranges).
struct IntField {
    int64_t low, high;
    unsigned bytes;
    const char* rule;
};

bool int_field(int type, IntField* f) {
    switch (type) {
    case QSCLI_ET_BYTE: *f = {0, 255, 1, "does not fit 0..255"}; return true;
    case QSCLI_ET_INTR: *f = {-32768, 32767, 2, "does not fit -32768..32767"}; return true;
    case QSCLI_ET_WORD: *f = {0, 65535, 2, "does not fit 0..65535"}; return true;
    case QSCLI_ET_NMBR: *f = {0, 16777215, 3, "does not fit 0..16777215"}; return true;
    case QSCLI_ET_LONG: *f = {INT32_MIN, INT32_MAX, 4, "does not fit -2147483648..2147483647"}; return true;
    case QSCLI_ET_DWRD: *f = {0, static_cast<int64_t>(UINT32_MAX), 4, "does not fit 0..4294967295"}; return true;
    case QSCLI_ET_INT64: *f = {INT64_MIN, INT64_MAX, 8, "is not a 64-bit integer"}; return true;
    default: return false;
    }
}

int pack_real(int type, const Value& v, unsigned char* dst, std::string* why) {
    double d;
    if (!numeric(v, &d)) return mismatch(v, type, "is not a number", why);
    if (type == QSCLI_ET_FLOA) {
        if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return mismatch(v, type, "is beyond single precision", why);
        float f = static_cast<float>(d);
        std::memcpy(dst, &f, 4);
        return 0;
    }
    if (v.kind == VKind::Int && (v.i > (int64_t(1) << 53) || v.i < -(int64_t(1) << 53))) {
        // Above 2^53 not every integer has a double: refuse a rounded one.
        if (d >= 9223372036854775808.0 || static_cast<int64_t>(d) != v.i)
            return mismatch(v, type, "has no exact double", why);
    }
    std::memcpy(dst, &d, 8);
    return 0;
}

}  // namespace

int pack_value(int type, uint32_t len, const Value& v, unsigned char* dst, std::string* why,
               uint32_t* width) {
    if (width) *width = 0;
    if (v.kind == VKind::Null) {
        std::memset(dst, 0, len);
        return 0;
    }
    IntField f;
    if (int_field(type, &f)) {
        int64_t i = 0;
        if (!integral(v, &i) || i < f.low || i > f.high) return mismatch(v, type, f.rule, why);
        put_le(dst, static_cast<uint64_t>(i), f.bytes);
        return 0;
    }
    switch (type) {
    case QSCLI_ET_CHAR: return pack_char(len, v, dst, why);
    case QSCLI_ET_ARRA: return pack_arra(len, v, dst, why, width);
    case QSCLI_ET_DATE: {
        unsigned packed = 0;
        if (v.kind == VKind::Text || v.kind == VKind::Text866 || v.kind == VKind::Blob)
            packed = date_from_iso(v.p, v.n);
        if (!packed) return mismatch(v, type, DATE_RULE, why);
        put_le(dst, packed, 2);
        return 0;
    }
    case QSCLI_ET_FLOA:
    case QSCLI_ET_CURR:
    case QSCLI_ET_DFLT: return pack_real(type, v, dst, why);
    default:
        std::memset(dst, 0, len);
        return 0;
    }
}

}  // namespace qse
