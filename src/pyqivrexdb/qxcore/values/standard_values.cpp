// The standard face's values: CHAR read up to its first NUL, ARRA read as
// raw bytes, and the exact packing of its bulk load, which refuses what a
// field cannot hold instead of cutting it.
#include "values.h"

#include "../base/common.h"
#include "../client/cp866.h"
#include "classify.h"
#include "dates.h"
#include "server_values.h"
#include "shared.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace qx::values {

namespace {

// The text a CHAR field holds: what precedes its first NUL (the padding of a
// shorter text), or the whole field when the text fills it. Blanks the text
// itself ends with stay.
PyObject* dec_text(const ColumnCodec& c, const unsigned char* p) {
    const void* zero = std::memchr(p, 0, c.len);
    const uint32_t n = zero ? static_cast<uint32_t>(static_cast<const unsigned char*>(zero) - p) : c.len;
    return text_value(p, n);
}

// The same in UTF-8.
PyObject* dec_text_utf8(const ColumnCodec& c, const unsigned char* p) {
    const void* zero = std::memchr(p, 0, c.len);
    const uint32_t n = zero ? static_cast<uint32_t>(static_cast<const unsigned char*>(zero) - p) : c.len;
    return utf8_text_value(p, n);
}

PyObject* dec_bytes(const ColumnCodec& c, const unsigned char* p) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), c.len);
}

int wrong_type(PyObject* value, const char* wanted) {
    return refuse("ProgrammingError", nullptr, "expected %s, not %s", wanted, Py_TYPE(value)->tp_name);
}

int encode_int(const ColumnCodec& col, const Classified& v, PyObject* value, unsigned char* out) {
    if (col.type == QSCLI_ET_INT64 && v.kind == Kind::BIG_INT)
        return refuse("DataError", nullptr, "%S is outside the range of a 64-bit integer", value);
    const bool wide = col.type == QSCLI_ET_INT64;
    const long long low = wide ? INT64_MIN : kLow[col.type], high = wide ? INT64_MAX : kHigh[col.type];
    if (v.kind == Kind::BIG_INT || v.i < low || v.i > high)
        return refuse("DataError", nullptr, "%S is outside the range of %s, %lld to %lld", value,
                      kCodeNames[col.type] + sizeof "QSCLI_ET_" - 1, low, high);
    put_bits(out, col.len, static_cast<uint64_t>(v.i));
    return 0;
}

// A number for a FLOA, CURR or DFLT field: a float, or an int or Decimal a
// double holds exactly; never NaN, which the engines cannot store as a
// number (both keep the infinities of a float).
int encode_real(const ColumnCodec& col, const Classified& v, PyObject* value, unsigned char* out) {
    double d = 0;
    if (exact_double(v, value, nullptr, &d) < 0) return -1;
    if (std::isnan(d)) return refuse("DataError", nullptr, "%R cannot be stored as a number", value);
    if (col.type == QSCLI_ET_FLOA && std::isfinite(d) && std::fabs(d) > FLT_MAX)
        return refuse("DataError", nullptr, "%R is outside the range of FLOA", value);
    put_real(col, d, out);
    return 0;
}

int encode_text(const ColumnCodec& col, PyObject* value, unsigned char* out) {
    // An exact str goes straight into the field; a subclass by its characters.
    // In UTF-8 the field's len counts bytes; the library holds the text to
    // its column's characters.
    const bool in_utf8 = text_utf8();
    const bool direct = PyUnicode_CheckExact(value) && !in_utf8;
    Ref encoded = direct || in_utf8 ? Ref() : cp866_bytes(value);
    const char* utf8 = nullptr;
    Py_ssize_t n = -1;
    if (encoded) n = PyBytes_GET_SIZE(encoded.get());
    else if (direct) n = cp866_encode_into(value, out, col.len);
    else if (PyUnicode_IS_COMPACT_ASCII(value)) {  // its characters are its UTF-8
        utf8 = static_cast<const char*>(PyUnicode_DATA(value));
        n = PyUnicode_GET_LENGTH(value);
    } else if (!(utf8 = PyUnicode_AsUTF8AndSize(value, &n))) n = -1;
    if (n < 0) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
        PyErr_Clear();
        return refuse("DataError", nullptr, "%.60R has %s", value, unencodable_reason());
    }
    // In UTF-8 a column declared n characters long has a field of 4 * n
    // bytes (a variable one's width is odd: 255): the text is held to its
    // characters, as the library holds it, so the refusal names the row.
    const Py_ssize_t chars = utf8 ? PyUnicode_GET_LENGTH(value) : n;
    const uint32_t limit = utf8 && col.len % 4 == 0 ? col.len / 4 : col.len;
    if (chars > static_cast<Py_ssize_t>(limit) || n > static_cast<Py_ssize_t>(col.len))
        return refuse("DataError", nullptr, "a text of %zd characters is longer than the field's %u", chars, limit);
    if (encoded) std::memcpy(out, PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(n));
    if (utf8) std::memcpy(out, utf8, static_cast<size_t>(n));
    if (std::memchr(out, 0, static_cast<size_t>(n)))
        return refuse("DataError", nullptr, "%.60R holds a NUL character, which ends a text", value);
    // A shorter text ends with one zero byte, then blanks to len, as the
    // core's loader writes it.
    if (n < static_cast<Py_ssize_t>(col.len)) {
        out[n] = 0;
        std::memset(out + n + 1, ' ', col.len - static_cast<size_t>(n) - 1);
    }
    return 0;
}

// A binary field has no length of its own: only a value of exactly its
// length goes in unchanged (a load sends another by its own statement).
int encode_bytes(const ColumnCodec& col, PyObject* value, unsigned char* out) {
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return -1;
    const Py_ssize_t n = view.len;
    if (n == static_cast<Py_ssize_t>(col.len)) std::memcpy(out, view.buf, col.len);
    PyBuffer_Release(&view);
    if (n != static_cast<Py_ssize_t>(col.len))
        return refuse("DataError", nullptr, "%zd bytes for a binary field of exactly %u", n, col.len);
    return 0;
}

// A number's text (field_value made it) into a QSCLI_ET_DECIMAL field,
// zeros after a shorter one.
int encode_decimal(const ColumnCodec& col, PyObject* text, unsigned char* out) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text, &n);
    if (!p) return -1;
    if (n > static_cast<Py_ssize_t>(col.len))
        return refuse("DataError", nullptr, "%.60S has more digits than the field's %u characters", text, col.len);
    std::memcpy(out, p, static_cast<size_t>(n));
    std::memset(out + n, 0, col.len - static_cast<size_t>(n));
    return 0;
}

int encode_date(PyObject* value, unsigned char* out) {
    if (!date_in_range(value))
        return refuse("DataError", nullptr, "%S is outside the dates the engine holds (" QX_DATE_SPAN_ISO ")", value);
    if (!library_has_dates())
        return refuse("InterfaceError", nullptr, "the client library is not loaded: call initlibrary() first");
    put_bits(out, 2, pack_date(value));
    return 0;
}

}  // namespace

PyObject* dec_int64(const ColumnCodec&, const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return PyLong_FromLongLong(static_cast<long long>(v));
}

namespace {

// Whether a value classified as `v` is of a Python type the standard face
// takes for a field of element type `type`.
int fits(int type, const Classified& v, PyObject* value) {
    switch (type) {
    case QSCLI_ET_CHAR: return v.kind == Kind::TEXT ? 0 : wrong_type(value, "str");
    case QSCLI_ET_DECIMAL:  // the number's text, as field_value gives it
        return v.kind == Kind::TEXT ? 0 : wrong_type(value, "float, int or Decimal");
    case QSCLI_ET_ARRA: return v.kind == Kind::BYTES ? 0 : wrong_type(value, "bytes");
    case QSCLI_ET_DATE: return v.kind == Kind::DATE ? 0 : wrong_type(value, "datetime.date");
    case QSCLI_ET_FLOA:
    case QSCLI_ET_CURR:
    case QSCLI_ET_DFLT:
        return v.kind == Kind::REAL || v.kind == Kind::DECIMAL || v.kind == Kind::INT || v.kind == Kind::BIG_INT ||
                       v.kind == Kind::BOOL
                   ? 0
                   : wrong_type(value, "float, int or Decimal");
    default:
        return v.kind == Kind::INT || v.kind == Kind::BIG_INT || v.kind == Kind::BOOL ? 0 : wrong_type(value, "int");
    }
}

}  // namespace

int standard_type_fits(int type, PyObject* value) {
    Classified v;
    return classify_value(value, &v) < 0 ? -1 : fits(type, v, value);
}

int server_bool_fits(int type, PyObject* value) {
    const bool is_bool = PyBool_Check(value);
    if (type == QSCLI_ET_BYTE) return is_bool ? 0 : wrong_type(value, "bool");
    if (!is_bool || type == QSCLI_ET_CHAR || type == QSCLI_ET_ARRA || type == QSCLI_ET_DATE) return 0;
    return wrong_type(value, type == QSCLI_ET_FLOA || type == QSCLI_ET_CURR || type == QSCLI_ET_DFLT ||
                                         type == QSCLI_ET_DECIMAL
                                 ? "float, int or Decimal" : "int");
}

Decoder standard_decoder(int type, Decoder core) {
    if (type == QSCLI_ET_CHAR) return text_utf8() ? dec_text_utf8 : dec_text;
    if (type == QSCLI_ET_ARRA) return dec_bytes;
    if (type == QSCLI_ET_INT64) return dec_int64;
    return core;
}

namespace {

bool real_field(const ColumnCodec& col) {
    return col.type == QSCLI_ET_FLOA || col.type == QSCLI_ET_CURR || col.type == QSCLI_ET_DFLT;
}

}  // namespace

bool may_go_alone(const ColumnCodec& col, int dialect) {
    return (text_utf8() && col.type == QSCLI_ET_CHAR && col.len % 4 != 0) || col.type == QSCLI_ET_DECIMAL ||
           col.type == QSCLI_ET_ARRA || (dialect == QSCLI_DIALECT_PG && (col.type == QSCLI_ET_DATE || real_field(col)));
}

int goes_alone(const ColumnCodec& col, PyObject* value) {
    Classified v;
    if (classify_value(value, &v) < 0) return -1;
    if (col.type == QSCLI_ET_ARRA) {
        if (v.kind != Kind::BYTES) return 0;  // the encoder refuses it
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return PyErr_Clear(), 0;  // the encoder tells
        const bool other_length = view.len != static_cast<Py_ssize_t>(col.len);
        PyBuffer_Release(&view);
        return other_length;
    }
    if (v.kind == Kind::TEXT) {
        Py_ssize_t bytes = 0;
        if (!PyUnicode_AsUTF8AndSize(value, &bytes)) return PyErr_Clear(), 0;  // the encoder tells
        return bytes > static_cast<Py_ssize_t>(col.len);
    }
    if (v.kind == Kind::DATE) return col.type == QSCLI_ET_DATE && !date_in_range(value);
    return v.kind == Kind::DECIMAL && real_field(col) && v.special();
}

int encode_standard(const ColumnCodec& col, PyObject* value, unsigned char* out, bool* is_null) {
    *is_null = value == Py_None;
    if (*is_null) {
        std::memset(out, 0, col.len);
        return 0;
    }
    Classified v;
    if (classify_value(value, &v) < 0 || fits(col.type, v, value) < 0) return -1;
    switch (col.type) {
        case QSCLI_ET_CHAR: return encode_text(col, value, out);
        case QSCLI_ET_ARRA: return encode_bytes(col, value, out);
        case QSCLI_ET_DATE: return encode_date(value, out);
        case QSCLI_ET_FLOA:
        case QSCLI_ET_CURR:
        case QSCLI_ET_DFLT: return encode_real(col, v, value, out);
        case QSCLI_ET_DECIMAL: return encode_decimal(col, value, out);
        default: return encode_int(col, v, value, out);
    }
}

}  // namespace qx::values
