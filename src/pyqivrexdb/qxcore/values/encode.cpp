// The field encoder: Python values packed into record fields with the bulk
// loader's type and range checks and messages.
#include "shared.h"

#include "../client/cp866.h"
#include "dates.h"
#include "classify.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qx::values {

namespace {

int type_error(PyObject* value, const char* suffix) {
    Ref text(PyUnicode_FromFormat("Field type error %S%s", reinterpret_cast<PyObject*>(Py_TYPE(value)), suffix));
    if (text) raise_object("ProgrammingError", text.get());
    return -1;
}

int range_error(PyObject* value, const char* suffix) {
    Ref text(PyUnicode_FromFormat("Data value error %S%s", value, suffix));
    if (text) raise_object("ProgrammingError", text.get());
    return -1;
}

// An exact int within the range of `type`, or the type's type or range error.
int int_in_range(const Classified& v, PyObject* value, int type) {
    if ((v.kind != Kind::INT && v.kind != Kind::BIG_INT) || !v.exact) return type_error(value, " expected int");
    if (v.kind == Kind::BIG_INT || v.i < kLow[type] || v.i > kHigh[type]) {
        char suffix[80];
        std::snprintf(suffix, sizeof suffix, " does not belong to the range from %lld to %lld", kLow[type],
                      kHigh[type]);
        return range_error(value, suffix);
    }
    return 0;
}

// The class bound as datetime.date, `datetime` being the module namespace's
// name: looked up again only when the namespace or the datetime module
// changed. Borrowed (held by the cache); null with an exception set.
PyObject* late_date_class() {
    static LateBound kept;
    static PyObject* cached = nullptr;  // strong reference, kept until exit
    if (kept.holds()) return cached;
    const uint64_t moment = LateBound::now();
    Ref datetime = global("datetime");
    if (!datetime) return nullptr;
    PyObject* date = PyObject_GetAttrString(datetime.get(), "date");
    if (!date) return nullptr;
    // Replaced after the lookup: the old class's release may run code.
    PyObject* old = cached;
    cached = date;
    if (watch_module(datetime.get())) kept.keep(moment);
    else kept.forget();
    Py_XDECREF(old);
    return cached;
}

bool is_hex_digit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;  // anything else counts as the digit 0
}

// The 2 * len cleaned digits of `h` (n bytes) handed to a rebound a2b_hex;
// exactly len bytes of what it gives are written, anything else is refused
// rather than written short or past the field.
int arra_through(PyObject* a2b_hex, const unsigned char* h, uint64_t n, uint32_t len, unsigned char* out) {
    const uint64_t want = 2 * uint64_t{len};
    if (want > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory(), -1;
    Ref digits(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want)));
    if (!digits) return -1;
    auto* d = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(digits.get()));
    for (uint64_t i = 0; i < want; ++i) d[i] = i < n && is_hex_digit(h[i]) ? h[i] : '0';
    Ref raw(PyObject_CallFunctionObjArgs(a2b_hex, digits.get(), nullptr));
    if (!raw) return -1;
    Py_buffer view;
    if (PyObject_GetBuffer(raw.get(), &view, PyBUF_SIMPLE) < 0) return -1;
    const Py_ssize_t got = view.len;
    if (got == static_cast<Py_ssize_t>(len)) std::memcpy(out, view.buf, len);
    PyBuffer_Release(&view);
    if (got != static_cast<Py_ssize_t>(len)) {
        PyErr_Format(PyExc_ValueError, "binascii.a2b_hex gave %zd bytes for a field of %u", got, len);
        return -1;
    }
    return 0;
}

// CHAR: str as CP866 or bytes as they are, cut to the field.
int encode_char(const Classified& v, PyObject* value, uint32_t len, unsigned char* out) {
    if ((v.kind != Kind::TEXT && v.kind != Kind::BYTES) || !v.exact) return type_error(value, " expected string or bytes");
    Py_ssize_t n;
    if (v.kind == Kind::BYTES) {
        n = PyBytes_GET_SIZE(value);
        std::memcpy(out, PyBytes_AS_STRING(value), static_cast<size_t>(n < Py_ssize_t{len} ? n : len));
    } else {
        n = cp866_encode_into(value, out, len);
        if (n < 0) return -1;
    }
    // A shorter text ends with one zero byte, then blanks to len.
    if (n < Py_ssize_t{len}) {
        out[n] = 0;
        std::memset(out + n + 1, ' ', len - static_cast<size_t>(n) - 1);
    }
    return 0;
}

// ARRA: hexadecimal digits, as str or bytes.
int encode_arra(const Classified& v, PyObject* value, uint32_t len, unsigned char* out) {
    if ((v.kind != Kind::TEXT && v.kind != Kind::BYTES) || !v.exact) return type_error(value, " expected str or bytes");
    Ref digits = v.kind == Kind::BYTES ? Ref::borrow(value) : cp866_encode(value);
    if (!digits) return -1;
    const auto* h = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(digits.get()));
    const uint64_t n = static_cast<uint64_t>(PyBytes_GET_SIZE(digits.get()));
    Ref a2b_hex;
    const int standard = bound_hex(A2B_HEX, &a2b_hex);
    if (standard < 0) return -1;
    // Non-digits count as 0, a short text is filled with 0 digits on
    // the right, a long one is cut: always 2 * len digits.
    if (standard) {
        for (uint64_t i = 0; i < len; ++i) {
            const int hi = 2 * i < n ? hex_digit(h[2 * i]) : 0;
            const int lo = 2 * i + 1 < n ? hex_digit(h[2 * i + 1]) : 0;
            out[i] = static_cast<unsigned char>(hi << 4 | lo);
        }
        return 0;
    }
    return arra_through(a2b_hex.get(), h, n, len, out);
}

// DATE: a datetime.date the library packs.
int encode_date(const Classified& v, PyObject* value, unsigned char* out) {
    PyObject* date_class = late_date_class();
    if (!date_class) return -1;
    // Only a real date has the fields the library packs.
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != date_class || (v.kind != Kind::DATE && v.kind != Kind::DATETIME))
        return type_error(value, " expected datetime.date");
    // The library would pack it as 0, no date: refused, not lost.
    if (!date_in_range(value)) return date_range_error(value), -1;
    if (!library_has_dates()) {
        raise_message("InterfaceError", "the client library is not loaded: call initlibrary() first");
        return -1;
    }
    put_bits(out, 2, pack_date(value));
    return 0;
}

}  // namespace

int encode_field(const ColumnCodec& col, PyObject* value, unsigned char* out) {
    if (col.type < 0 || col.type >= QSCLI_ET_COUNT) return field_type_error(), -1;
    if (check_len(col.type, col.len, 0, Purpose::Write) < 0) return -1;
    Classified v;
    // What the classifier cannot tell (a Decimal whose str raises) is no
    // exact int, float, str, bytes or date: refused below as of its type.
    if (classify_value(value, &v) < 0) PyErr_Clear();
    switch (col.type) {
    case QSCLI_ET_CHAR: return encode_char(v, value, col.len, out);
    case QSCLI_ET_ARRA: return encode_arra(v, value, col.len, out);
    case QSCLI_ET_DATE: return encode_date(v, value, out);
    case QSCLI_ET_FLOA:
    case QSCLI_ET_CURR:
    case QSCLI_ET_DFLT:
        if (v.kind != Kind::REAL || !v.exact) return type_error(value, " expected float");
        put_real(col, v.d, out);
        return 0;
    default:
        if (int_in_range(v, value, col.type) < 0) return -1;
        put_bits(out, col.len, static_cast<uint64_t>(v.i));
        return 0;
    }
}

void put_real(const ColumnCodec& col, double d, unsigned char* out) {
    if (col.type != QSCLI_ET_FLOA) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        return put_bits(out, col.len, bits);
    }
    // Narrowed without the undefined conversion of a value beyond the single
    // range: below FLT_MAX + half an ulp it rounds down to FLT_MAX, from there
    // on up to infinity (the tie goes to the even neighbour, infinity).
    constexpr double limit = 0x1.ffffffp127;
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX)
        d = std::copysign(std::fabs(d) < limit ? double{FLT_MAX} : HUGE_VAL, d);
    const float f = static_cast<float>(d);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    put_bits(out, col.len, bits);
}

}  // namespace qx::values
