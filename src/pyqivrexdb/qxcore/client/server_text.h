/* PostgreSQL's text of a date, a timestamp and a numeric (DateStyle ISO, as
 * the library sets it) read into the numbers an Arrow column holds: days
 * and microseconds since 1970-01-01, and a decimal's scaled integer. Header
 * only, shared by the library, which decodes the server's text straight
 * into Arrow arrays, and the driver, which reads the same text from records,
 * so the two give the same values. Each returns false for a text it does not
 * take: BC years, infinity, or more digits than the type holds. */
#ifndef QX_SERVER_TEXT_H
#define QX_SERVER_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx_server_text {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
inline int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// `width` digits at t[*at] (any count when 0, at least one) into *out.
inline bool digits(std::string_view t, size_t* at, size_t width, int64_t* out) {
    size_t k = *at;
    int64_t v = 0;
    while (k < t.size() && t[k] >= '0' && t[k] <= '9' && (width == 0 || k - *at < width) && v < 100000000)
        v = v * 10 + (t[k++] - '0');
    if (k == *at || (width && k - *at != width)) return false;
    *at = k;
    *out = v;
    return true;
}

inline bool expect(std::string_view t, size_t* at, char c) {
    if (*at >= t.size() || t[*at] != c) return false;
    ++*at;
    return true;
}

// "YYYY-MM-DD" (a year of four digits or more) at the start; *at after it.
inline bool date_part(std::string_view t, size_t* at, int64_t* days) {
    int64_t y, m, d;
    if (!digits(t, at, 0, &y) || !expect(t, at, '-') || !digits(t, at, 2, &m) || !expect(t, at, '-') ||
        !digits(t, at, 2, &d))
        return false;
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > 31) return false;
    *days = days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
    return true;
}

// A date's text as days since 1970-01-01.
inline bool date_days(std::string_view t, int64_t* days) {
    size_t at = 0;
    return date_part(t, &at, days) && at == t.size();
}

// A timestamp's text ("2024-05-01 12:30:00.25", with `zoned` an offset
// after it: "+03", "-05:30", "+00:53:28") as microseconds since
// 1970-01-01 UTC (a timestamp without zone read as UTC).
inline bool timestamp_micros(std::string_view t, bool zoned, int64_t* micros) {
    size_t at = 0;
    int64_t days, h, mi, s, frac = 0;
    if (!date_part(t, &at, &days) || !expect(t, &at, ' ') || !digits(t, &at, 2, &h) || !expect(t, &at, ':') ||
        !digits(t, &at, 2, &mi) || !expect(t, &at, ':') || !digits(t, &at, 2, &s))
        return false;
    if (at < t.size() && t[at] == '.') {
        ++at;
        size_t start = at;
        if (!digits(t, &at, 0, &frac) || at - start > 6) return false;
        for (size_t n = at - start; n < 6; ++n) frac *= 10;
    }
    int64_t offset = 0;
    if (zoned) {
        if (at >= t.size() || (t[at] != '+' && t[at] != '-')) return false;
        const int64_t sign = t[at++] == '-' ? -1 : 1;
        int64_t oh, om = 0, os = 0;
        if (!digits(t, &at, 2, &oh)) return false;
        if (at < t.size() && t[at] == ':' && (++at, !digits(t, &at, 2, &om))) return false;
        if (at < t.size() && t[at] == ':' && (++at, !digits(t, &at, 2, &os))) return false;
        offset = sign * (oh * 3600 + om * 60 + os);
    }
    if (at != t.size() || h > 24 || mi > 59 || s > 60) return false;
    *micros = ((days * 86400 + h * 3600 + mi * 60 + s) - offset) * 1000000 + frac;
    return true;
}

// 128 bits as two 64-bit words, little-endian (no compiler's __int128:
// the library is built for 32-bit targets too).
struct Words128 {
    uint64_t lo = 0, hi = 0;
};

inline void times10_plus(Words128& v, unsigned d) {
    const uint64_t lo2 = v.lo << 1, hi2 = v.hi << 1 | v.lo >> 63;
    const uint64_t lo8 = v.lo << 3, hi8 = v.hi << 3 | v.lo >> 61;
    uint64_t lo = lo2 + lo8, hi = hi2 + hi8 + (lo < lo2);
    const uint64_t with = lo + d;
    hi += with < lo;
    v.lo = with;
    v.hi = hi;
}

// A numeric's text ("-12.5") as the integer of a decimal of `scale` (12.5
// at scale 2: 1250), two's complement, at most 38 digits.
inline bool decimal_scaled(std::string_view t, int scale, Words128* out) {
    size_t k = 0;
    const bool negative = k < t.size() && t[k] == '-';
    if (negative || (k < t.size() && t[k] == '+')) ++k;
    Words128 v;
    // Leading zeros are no digits of the value: numeric(38, 38) writes 0.5 with 39.
    int count = 0, fraction = -1;
    bool any = false;
    for (; k < t.size(); ++k) {
        const char ch = t[k];
        if (ch == '.' && fraction < 0) {
            fraction = 0;
            continue;
        }
        if (ch < '0' || ch > '9') return false;
        any = true;
        if ((count > 0 || ch != '0') && ++count > 38) return false;
        times10_plus(v, static_cast<unsigned>(ch - '0'));
        if (fraction >= 0) ++fraction;
    }
    if (!any || (fraction > 0 ? fraction : 0) > scale || count + scale - (fraction > 0 ? fraction : 0) > 38)
        return false;
    for (int f = fraction > 0 ? fraction : 0; f < scale; ++f) times10_plus(v, 0);
    if (negative) {
        v.lo = ~v.lo + 1;
        v.hi = ~v.hi + (v.lo == 0);
    }
    *out = v;
    return true;
}

// The Arrow type of a result column: its element type (QSCLI_ET_*, as the
// records have it), refined by its server's type (a PostgreSQL OID and
// modifier; 0 and -1 without one) where that has a natural Arrow type. The
// one rule of both the library's Arrow arrays and the driver's.
enum class Kind { None, Utf8, Binary, Bool, UInt8, Int16, UInt16, Int32, UInt32, Int64, Float32, Float64,
                  Date32, Decimal128, Timestamp, TimestampTz, DateText };

struct ColumnKind {
    Kind kind = Kind::None;
    int precision = 0, scale = 0;  // a Decimal128's
};

inline ColumnKind column_kind(int type, uint32_t oid, int32_t mod) {
    enum : uint32_t { BOOL = 16, DATE = 1082, TIMESTAMP = 1114, TIMESTAMPTZ = 1184, NUMERIC = 1700 };
    switch (type) {
    case 0:  // CHAR: the server's text, or what it writes of a date, a time, a numeric(p, s)
        if (oid == DATE) return {Kind::DateText};
        if (oid == TIMESTAMP) return {Kind::Timestamp};
        if (oid == TIMESTAMPTZ) return {Kind::TimestampTz};
        if (oid == NUMERIC && mod >= 4) {
            // typmod is ((p << 16) | s) + 4; a negative scale, or p past 38, stays text.
            const int p = (mod - 4) >> 16 & 0xFFFF, s = (mod - 4) & 0xFFFF;
            if (p >= 1 && p <= 38 && s <= p) return {Kind::Decimal128, p, s};
        }
        return {Kind::Utf8};
    case 1: return {Kind::Binary};
    case 2: return {oid == BOOL ? Kind::Bool : Kind::UInt8};
    case 3: return {Kind::Int16};
    case 4: return {Kind::UInt16};
    case 5: return {Kind::Date32};
    case 6: return {Kind::UInt32};
    case 7: return {Kind::Int32};
    case 8: return {Kind::UInt32};
    case 9: return {Kind::Float32};
    case 10:
    case 11: return {Kind::Float64};
    case 12: return {Kind::Int64};
    default: return {Kind::None};
    }
}

// A POSIX zone of a fixed offset ("<+05:30>-05:30", "UTC-3": its sign
// counts west) as Arrow writes the offset ("+05:30"); false for any other.
inline bool fixed_offset(std::string_view zone, std::string* out) {
    size_t at = 0;
    if (!zone.empty() && zone[0] == '<') {
        at = zone.find('>');
        if (at == std::string_view::npos) return false;
        ++at;
    } else {
        while (at < zone.size() && (zone[at] | 0x20) >= 'a' && (zone[at] | 0x20) <= 'z') ++at;
    }
    const bool west = at >= zone.size() || zone[at] != '-';
    if (at < zone.size() && (zone[at] == '+' || zone[at] == '-')) ++at;
    int64_t h = 0, m = 0, sec = 0;
    if (!digits(zone, &at, 0, &h) || h > 23) return false;
    if (expect(zone, &at, ':') && (!digits(zone, &at, 2, &m) || m > 59)) return false;
    if (expect(zone, &at, ':') && (!digits(zone, &at, 2, &sec) || sec != 0)) return false;
    if (at != zone.size()) return false;  // rules of summer time follow: a name
    const char text[] = {west && (h || m) ? '-' : '+', static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10),
                         ':', static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10)};
    out->assign(text, sizeof text);
    return true;
}

// The time zone of a timestamptz column's Arrow type, from the session's
// zone as the server names it (QSCLI_CONN_TIME_ZONE): its name
// ("Europe/Berlin"), its fixed offset (above), or UTC for no zone or one
// Arrow has no way to name. The values are instants whatever it says: only
// the zone they show in differs.
inline std::string arrow_zone(std::string_view zone) {
    std::string out;
    if (zone.empty()) return "UTC";
    if (fixed_offset(zone, &out)) return out;
    for (const char c : zone)
        if (!((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && !(c >= '0' && c <= '9') && c != '/' && c != '_' &&
            c != '-' && c != '+')
            return "UTC";
    return std::string(zone);
}

}  // namespace qx_server_text

#endif /* QX_SERVER_TEXT_H */
