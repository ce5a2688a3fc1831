// Literals of the library's dialect: texts in single quotes with quotes
// doubled, blobs as X'..', dates as the ISO text the engine stores, numbers
// as written by Python; an infinity as a number too large for a double on
// the engine, as a server's float8 'Infinity' on PostgreSQL.
#include "sql_literal.h"

#include "classify.h"

#include "../client/qscli.h"
#include "../base/common.h"
#include "../client/cp866.h"
#include "dates.h"
#include "server_values.h"

#include <cmath>
#include <cstring>

namespace qx::values {

namespace {

// A number's text with a blank before a minus sign: spliced after another
// minus ("x-?") it must not become the comment marker "--".
void append_number(std::string& out, const char* text) {
    if (text[0] == '-') out += ' ';
    out += text;
}

// An int beyond 64 bits is the server's numeric, every digit of it (a
// column of an integer type refuses it as out of range); the engine would
// keep only a double's worth, so there it is refused.
int append_wide_int(std::string& out, PyObject* value, PyObject* label, int dialect) {
    if (dialect != QSCLI_DIALECT_PG) return refuse("DataError", label, "the integer %R does not fit 64 bits", value);
    Ref digits(PyLong_Type.tp_repr(value));
    const char* text = digits ? PyUnicode_AsUTF8(digits.get()) : nullptr;
    if (!text) return -1;
    append_number(out, text);
    return 0;
}

void append_int(std::string& out, long long v) {
    // Digits from the right, without a formatting call per value.
    char text[24];
    char* p = text + sizeof text;
    *--p = 0;
    unsigned long long u = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do *--p = static_cast<char>('0' + u % 10); while (u /= 10);
    if (v < 0) *--p = '-';
    append_number(out, p);
}

int append_float(std::string& out, double v, PyObject* value, PyObject* label, int dialect) {
    if (std::isnan(v)) return refuse("DataError", label, "%R has no SQL literal", value);
    if (std::isinf(v) && dialect == QSCLI_DIALECT_PG) {
        out += v < 0 ? "'-Infinity'::float8" : "'Infinity'::float8";
        return 0;
    }
    if (std::isinf(v)) {
        // The engine reads a number beyond a double's range as infinity.
        out += v < 0 ? " -9e999" : "9e999";
        return 0;
    }
    if (v == 0 && std::signbit(v) && dialect == QSCLI_DIALECT_PG) {
        // The server reads "-0.0" as the numeric 0 negated, which has no sign.
        out += "'-0'::float8";
        return 0;
    }
    // repr's shortest round-trip digits, always with a '.' or an exponent so
    // the engine reads a real number.
    char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) return -1;
    append_number(out, text);
    PyMem_Free(text);
    return 0;
}

void append_quoted(std::string& out, const char* p, Py_ssize_t n) {
    out += '\'';
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (p[i] == '\'') out += '\'';
        out += p[i];
    }
    out += '\'';
}

int append_text(std::string& out, PyObject* value, PyObject* label) {
    Ref encoded = text_utf8() ? Ref() : cp866_bytes(value);
    Py_ssize_t n = 0;
    const char* p = encoded ? PyBytes_AS_STRING(encoded.get()) : text_utf8() ? PyUnicode_AsUTF8AndSize(value, &n) : nullptr;
    if (!p) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
        PyErr_Clear();
        return refuse("DataError", label, "%.60R has %s", value, unencodable_reason());
    }
    if (encoded) n = PyBytes_GET_SIZE(encoded.get());
    if (std::memchr(p, 0, static_cast<size_t>(n)))
        return refuse("DataError", label, "%.60R holds a NUL character, which no text can carry", value);
    append_quoted(out, p, n);
    return 0;
}

int append_blob(std::string& out, PyObject* value) {
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return -1;
    static const char digits[] = "0123456789ABCDEF";
    const auto* p = static_cast<const unsigned char*>(view.buf);
    out += "X'";
    for (Py_ssize_t i = 0; i < view.len; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    out += '\'';
    PyBuffer_Release(&view);
    return 0;
}

// The value's ISO text (iso_text) quoted.
int append_iso(std::string& out, PyObject* value, Kind kind) {
    Ref text = iso_text(value, kind);
    Py_ssize_t n = 0;
    const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (!p) return -1;
    // Quoted, whatever it says: it can end no literal early.
    append_quoted(out, p, n);
    return 0;
}

// The engine holds the DATE days; a server's date any Python date.
int append_date(std::string& out, PyObject* value, PyObject* label, int dialect) {
    int y, m, d;
    date_parts(value, &y, &m, &d);
    if (dialect != QSCLI_DIALECT_PG && !year_in_range(y))
        return refuse("DataError", label, "%R is outside the dates the engine holds (" QX_DATE_SPAN_ISO ")",
                    value);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
    append_quoted(out, text, 10);
    return 0;
}

// The server keeps a numeric as written, NaN and the infinities too; the
// engine, whose numbers are doubles, reads any number but an integer of 64
// bits as a double, which must give it back.
int append_decimal(std::string& out, const Classified& v, PyObject* value, PyObject* label, int dialect) {
    if (v.signalling() || (dialect != QSCLI_DIALECT_PG && v.special()))
        return refuse("DataError", label, "%R has no SQL literal", value);
    if (dialect == QSCLI_DIALECT_PG) {
        Ref text = decimal_text(v, value, label);
        const char* p = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!p) return -1;
        if (v.special()) {
            out += "'";
            out += p;
            out += "'::numeric";
            return 0;
        }
        append_number(out, p);
        // The server reads digits alone as an integer: a Decimal stays numeric.
        if (!std::strpbrk(p, ".Ee")) out += "::numeric";
        return 0;
    }
    const char* p = PyUnicode_AsUTF8(v.text.get());
    if (!p) return -1;
    double d = 0;
    if (!is_int64_text(p) && exact_double(v, value, label, &d) < 0) return -1;
    append_number(out, p);
    return 0;
}

// The literal of a value of the server's own types: its text, cast.
int append_server(std::string& out, PyObject* value, ServerKind kind, PyObject* label) {
    std::string type;
    Ref text = server_literal_text(value, kind, label, &type);
    if (!text || append_text(out, text.get(), label) < 0) return -1;
    if (!type.empty()) out += "::" + type;
    return 0;
}

// A datetime or a time on a server: an aware one as the server's type with a time zone,
// a naive one untyped, so the place it goes decides as the server's rules
// say (compared with a timestamptz, it is read in the session's time zone).
int append_pg_temporal(std::string& out, PyObject* value, Kind kind) {
    if (append_iso(out, value, kind) < 0) return -1;
    Ref offset(PyObject_CallMethod(value, "utcoffset", nullptr));
    if (!offset) return -1;
    if (offset.get() != Py_None) out += kind == Kind::DATETIME ? "::timestamptz" : "::timetz";
    return 0;
}

// The literal of `value`, as append_literal describes it.
int spell(std::string& out, PyObject* value, PyObject* label, int dialect) {
    Classified v;
    if (classify_value(value, &v) < 0) return -1;
    switch (v.kind) {
    case Kind::NONE: out += "NULL"; return 0;
    // Both backends read these; a server's boolean column takes no 1 or 0.
    case Kind::BOOL: out += v.i ? "TRUE" : "FALSE"; return 0;
    case Kind::INT: append_int(out, v.i); return 0;
    case Kind::BIG_INT: return append_wide_int(out, value, label, dialect);
    case Kind::REAL: return append_float(out, v.d, value, label, dialect);
    case Kind::DECIMAL: return append_decimal(out, v, value, label, dialect);
    case Kind::TEXT: return append_text(out, value, label);
    case Kind::BYTES: return append_blob(out, value);
    case Kind::DATE: return append_date(out, value, label, dialect);
    case Kind::TIME:
    case Kind::DATETIME:
        return dialect == QSCLI_DIALECT_PG ? append_pg_temporal(out, value, v.kind) : append_iso(out, value, v.kind);
    // The server's own types; the engine has none of them.
    case Kind::SERVER:
        if (dialect == QSCLI_DIALECT_PG) return append_server(out, value, v.server, label);
        break;
    case Kind::OTHER: break;
    }
    return refuse("ProgrammingError", label, "a value of type %S cannot be bound",
                reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

}  // namespace

int append_literal(std::string& out, PyObject* value, PyObject* label, int dialect, bool cast_follows) {
    const size_t at = out.size();
    if (spell(out, value, label, dialect) < 0) return -1;
    // A server's cast binds tighter than a minus ("-5::text" casts 5, then
    // negates): a negative number before one goes whole in parentheses, its
    // blank (append_number's) turned into the first of them. Elsewhere it
    // stays bare, as statements reading a signed number (SET, CREATE
    // SEQUENCE ... INCREMENT BY) want it.
    if (dialect == QSCLI_DIALECT_PG && cast_follows && out.compare(at, 2, " -") == 0) {
        out[at] = '(';
        out += ')';
    }
    return 0;
}

}  // namespace qx::values
