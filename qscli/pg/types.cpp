// PostgreSQL column types as element types, and values in the server's text
// form as the record packer takes them.
#include "session.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qse {
namespace pg {

namespace {

// Built-in type OIDs (fixed in every server's catalog).
enum : pq::Oid {
    BOOL = 16, BYTEA = 17, CHAR1 = 18, NAME = 19, INT8 = 20, INT2 = 21, INT4 = 23, TEXT = 25, OID = 26,
    FLOAT4 = 700, FLOAT8 = 701, MONEY = 790, BPCHAR = 1042, VARCHAR = 1043, DATE = 1082, TIME = 1083,
    TIMESTAMP = 1114, TIMESTAMPTZ = 1184, INTERVAL = 1186, TIMETZ = 1266, NUMERIC = 1700, UUID = 2950,
    JSON = 114, JSONB = 3802, XML = 142, INET = 869, CIDR = 650, MACADDR = 829,
};

// The arrays of the types above, and their elements.
const struct {
    pq::Oid array, element;
} ARRAYS[] = {
    {1000, BOOL}, {1001, BYTEA}, {1002, CHAR1}, {1003, NAME}, {1016, INT8}, {1005, INT2}, {1007, INT4},
    {1009, TEXT}, {1028, OID}, {1021, FLOAT4}, {1022, FLOAT8}, {791, MONEY}, {1014, BPCHAR}, {1015, VARCHAR},
    {1182, DATE}, {1183, TIME}, {1270, TIMETZ}, {1115, TIMESTAMP}, {1185, TIMESTAMPTZ}, {1187, INTERVAL},
    {1231, NUMERIC}, {2951, UUID}, {199, JSON}, {3807, JSONB}, {143, XML}, {1041, INET}, {651, CIDR},
    {1040, MACADDR},
};

MappedColumn fixed(Decode d, int type) {
    MappedColumn c;
    c.dec = d;
    c.type = type;
    c.len = natural_width(type);
    return c;
}

MappedColumn variable(Decode d, int type) {
    MappedColumn c;
    c.dec = d;
    c.type = type;
    c.var = true;
    return c;
}

}  // namespace

MappedColumn map_column(pq::Oid oid, int mod, bool from_table, bool int64) {
    MappedColumn c;
    switch (oid) {
    case BOOL: c = fixed(Decode::Bool, QSCLI_ET_BYTE); break;
    case INT2: c = fixed(Decode::Int, QSCLI_ET_INTR); break;
    case INT4: c = fixed(Decode::Int, QSCLI_ET_LONG); break;
    case OID: c = fixed(Decode::Int, QSCLI_ET_DWRD); break;
    case INT8:
        if (int64) {
            c = fixed(Decode::Int, QSCLI_ET_INT64);
            break;
        }
        // A bigint field keeps its range as a double (exact to 2^53); an
        // expression such as count(*) reads as LONG when every value fits.
        c = fixed(Decode::Int, QSCLI_ET_DFLT);
        c.infer_int = !from_table;
        break;
    case FLOAT4: c = fixed(Decode::Float4, QSCLI_ET_FLOA); break;
    case FLOAT8: c = fixed(Decode::Float8, QSCLI_ET_DFLT); break;
    case NUMERIC: c = fixed(Decode::Numeric, QSCLI_ET_DFLT); break;
    case MONEY: c = fixed(Decode::Money, QSCLI_ET_CURR); break;
    case DATE: c = fixed(Decode::Text, QSCLI_ET_DATE); break;
    case CHAR1: c = fixed(Decode::Text, QSCLI_ET_CHAR), c.len = 1; break;
    case BPCHAR:
    case VARCHAR: {
        // Trailing blanks mean nothing to a char(n): the server compares
        // and casts it without them.
        const Decode d = oid == BPCHAR ? Decode::Padded : Decode::Text;
        if (mod >= 5) c = fixed(d, QSCLI_ET_CHAR), c.len = static_cast<uint32_t>(mod - 4);
        else c = variable(d, QSCLI_ET_CHAR);
        break;
    }
    case BYTEA: c = variable(Decode::Bytea, QSCLI_ET_ARRA); break;
    default:
        // text, name, timestamps, intervals, uuid, json and every other type:
        // the server's text form, as wide as the longest value.
        c = variable(Decode::Text, QSCLI_ET_CHAR);
        break;
    }
    c.oid = oid;
    c.mod = mod;
    return c;
}

MappedColumn exact_column(const MappedColumn& c) {
    if (c.oid != NUMERIC && c.oid != DATE) return c;
    MappedColumn t = variable(Decode::Text, QSCLI_ET_CHAR);
    if (c.oid == NUMERIC && c.mod >= 4) {
        // numeric(p, s) prints at most its p digits (s when the scale is
        // larger, with "0."; -s zeros more when it is negative), a sign and
        // a point; NaN in three. The scale is signed, of 11 bits.
        const int m = c.mod - 4;
        const int p = (m >> 16) & 0xffff, s = ((m & 0x7ff) ^ 0x400) - 0x400;
        t = fixed(Decode::Text, QSCLI_ET_CHAR);
        t.len = static_cast<uint32_t>((p > s ? p : s) + 3 + (s < 0 ? -s : 0));
    }
    t.oid = c.oid;
    t.mod = c.mod;
    return t;
}

MappedColumn table_column(const MappedColumn& c, FieldForms forms) {
    if (c.oid == INT8 && forms.int64) return map_column(c.oid, c.mod, true, true);
    if (c.oid != NUMERIC || !forms.decimal) return c;
    MappedColumn t = exact_column(c);
    t.type = QSCLI_ET_DECIMAL;
    return t;
}

std::string type_label(pq::Oid oid, int mod) {
    auto with_len = [mod](const char* base) {
        return mod >= 5 ? std::string(base) + "(" + std::to_string(mod - 4) + ")" : std::string(base);
    };
    switch (oid) {
    case BOOL: return "boolean";
    case BYTEA: return "bytea";
    case CHAR1: return "\"char\"";
    case NAME: return "name";
    case INT8: return "bigint";
    case INT2: return "smallint";
    case INT4: return "integer";
    case TEXT: return "text";
    case OID: return "oid";
    case FLOAT4: return "real";
    case FLOAT8: return "double precision";
    case MONEY: return "money";
    case BPCHAR: return with_len("character");
    case VARCHAR: return with_len("character varying");
    case DATE: return "date";
    case TIME: return "time without time zone";
    case TIMETZ: return "time with time zone";
    case TIMESTAMP: return "timestamp without time zone";
    case TIMESTAMPTZ: return "timestamp with time zone";
    case INTERVAL: return "interval";
    case NUMERIC:
        if (mod >= 4) {
            int m = mod - 4;
            return "numeric(" + std::to_string((m >> 16) & 0xffff) + "," + std::to_string(m & 0xffff) + ")";
        }
        return "numeric";
    case UUID: return "uuid";
    case JSON: return "json";
    case JSONB: return "jsonb";
    case XML: return "xml";
    case INET: return "inet";
    case CIDR: return "cidr";
    case MACADDR: return "macaddr";
    default:
        // As the server's format_type() names it: a converter by declared
        // type finds an array under its element's name, as table_layout().
        for (const auto& a : ARRAYS)
            if (a.array == oid) return type_label(a.element, mod) + "[]";
        return "type " + std::to_string(oid);
    }
}

namespace {

bool parse_int(const char* p, size_t n, int64_t* out) {
    if (!n) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(p, &end, 10);
    if (errno || end != p + n) return false;
    *out = v;
    return true;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The server's text of a real (12.5, -1e+300, Infinity, NaN) as a double,
// whatever the process's locale says a decimal point is. False when the
// text is not all of one number.
bool server_real(const char* p, size_t n, double* out) {
    const char* end = p + n;
    const auto r = std::from_chars(p, end, *out);
    if (r.ec == std::errc::result_out_of_range) {
        // Beyond a double's range (an infinity), or nearer 0 than its
        // smallest (a zero): the server writes the latter as 0.000...
        // or with a negative exponent.
        const std::string text(p, n);
        const size_t digit = text.find_first_not_of("+-");
        const bool tiny = text.compare(digit, 2, "0.") == 0 || text.compare(digit, 1, ".") == 0 ||
                          text.find("e-") != std::string::npos || text.find("E-") != std::string::npos;
        *out = std::copysign(tiny ? 0.0 : HUGE_VAL, *p == '-' ? -1.0 : 1.0);
    }
    return (r.ec == std::errc() || r.ec == std::errc::result_out_of_range) && r.ptr == end;
}

float server_float4(const char* p, size_t n) {
    float f = 0;
    std::from_chars(p, p + n, f);
    return f;
}

// The significant digits of a decimal text, without trailing zeros.
std::string significant(const char* p, size_t n) {
    std::string d;
    for (size_t k = 0; k < n && p[k] != 'e' && p[k] != 'E'; ++k)
        if (p[k] >= '0' && p[k] <= '9' && !(d.empty() && p[k] == '0')) d += p[k];
    while (!d.empty() && d.back() == '0') d.pop_back();
    return d;
}

// A numeric's text as a double, refused when the double does not give the
// same decimal back (more significant digits than it holds).
bool numeric_value(const char* p, size_t n, double* out, std::string* why) {
    std::string text(p, n);
    if (text == "NaN") {
        *out = std::nan("");
        return true;
    }
    double d = 0;
    if (!server_real(p, n, &d)) {
        *why = "numeric " + text + " is not a number";
        return false;
    }
    std::string digits = significant(p, n);
    if (digits.size() > 15) {
        char buf[64];
        const char* end = digits.size() > 17 ? buf
            : std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific, static_cast<int>(digits.size() - 1)).ptr;
        if (digits.size() > 17 || significant(buf, static_cast<size_t>(end - buf)) != digits) {
            *why = "numeric " + text + " has no exact double";
            return false;
        }
    }
    *out = d;
    return true;
}

}  // namespace

bool decode_value(const MappedColumn& col, const char* p, size_t n, Value& v, std::string& scratch, std::string* why) {
    switch (col.dec) {
    case Decode::Int:
        v.kind = VKind::Int;
        if (parse_int(p, n, &v.i)) return true;
        *why = "integer " + std::string(p, n) + " is out of range";
        return false;
    case Decode::Bool:
        v.kind = VKind::Int;
        v.i = (n == 1 && p[0] == 't') ? 1 : 0;
        return true;
    case Decode::Float4:
        v.kind = VKind::Float;
        v.d = server_float4(p, n);
        return true;
    case Decode::Float8:
        v.kind = VKind::Float;
        server_real(p, n, &v.d);
        return true;
    case Decode::Numeric:
        v.kind = VKind::Float;
        return numeric_value(p, n, &v.d, why);
    case Decode::Money: {
        // lc_monetary C: "-$1,234.56"
        scratch.clear();
        for (size_t k = 0; k < n; ++k)
            if (p[k] != '$' && p[k] != ',') scratch += p[k];
        v.kind = VKind::Float;
        return numeric_value(scratch.data(), scratch.size(), &v.d, why);
    }
    case Decode::Bytea: {
        if (n < 2 || p[0] != '\\' || p[1] != 'x' || n % 2) {
            *why = "bytea is not in hex form";
            return false;
        }
        scratch.resize((n - 2) / 2);
        for (size_t k = 2, o = 0; k + 1 < n; k += 2, ++o) {
            int hi = hexval(p[k]), lo = hexval(p[k + 1]);
            if (hi < 0 || lo < 0) {
                *why = "bytea is not in hex form";
                return false;
            }
            scratch[o] = static_cast<char>(hi * 16 + lo);
        }
        v.kind = VKind::Blob;
        v.p = reinterpret_cast<const unsigned char*>(scratch.data());
        v.n = scratch.size();
        return true;
    }
    case Decode::Padded:
        while (n && p[n - 1] == ' ') --n;
        v.kind = VKind::Text;
        v.p = reinterpret_cast<const unsigned char*>(p);
        v.n = n;
        return true;
    case Decode::Text:
    default:
        v.kind = VKind::Text;
        v.p = reinterpret_cast<const unsigned char*>(p);
        v.n = n;
        return true;
    }
}

}  // namespace pg
}  // namespace qse
