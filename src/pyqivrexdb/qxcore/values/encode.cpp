// The field encoder: Python values packed into record fields with the bulk
// loader's type and range checks and messages.
#include "shared.h"

#include "../client/cp866.h"
#include "dates.h"
#include "overlays.h"

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

// An exact int within [low, high], or the type or range error of the type.
int int_in_range(PyObject* value, int type, long long* out) {
    if (Py_TYPE(value) != &PyLong_Type) return type_error(value, " expected int");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow || v < kLow[type] || v > kHigh[type]) {
        char suffix[80];
        std::snprintf(suffix, sizeof suffix, " does not belong to the range from %lld to %lld", kLow[type],
                      kHigh[type]);
        return range_error(value, suffix);
    }
    *out = v;
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

// A double narrowed to single precision as the FPU rounds it, without the
// undefined conversion of a value beyond the single range.
float narrow(double d) {
    if (!std::isfinite(d) || std::fabs(d) <= FLT_MAX) return static_cast<float>(d);
    // Below FLT_MAX + half an ulp it rounds down to FLT_MAX, from there on up
    // to infinity (the tie goes to the even neighbour, infinity).
    constexpr double limit = 0x1.ffffffp127;
    return static_cast<float>(std::copysign(std::fabs(d) < limit ? double{FLT_MAX} : HUGE_VAL, d));
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

template <typename O, typename V>
void put(unsigned char* out, uint32_t len, V v) {
    O o;
    o.set(v);
    const uint32_t n = len < O::width ? len : O::width;
    std::memcpy(out, o.bytes, n);
    if (len > n) std::memset(out + n, 0, len - n);
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
int encode_char(PyObject* value, uint32_t len, unsigned char* out) {
    PyTypeObject* t = Py_TYPE(value);
    if (t != &PyUnicode_Type && t != &PyBytes_Type) return type_error(value, " expected string or bytes");
    Py_ssize_t n;
    if (t == &PyBytes_Type) {
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
int encode_arra(PyObject* value, uint32_t len, unsigned char* out) {
    PyTypeObject* t = Py_TYPE(value);
    if (t != &PyBytes_Type && t != &PyUnicode_Type) return type_error(value, " expected str or bytes");
    Ref digits = t == &PyBytes_Type ? Ref::borrow(value) : cp866_encode(value);
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
int encode_date(PyObject* value, unsigned char* out) {
    PyObject* date_class = late_date_class();
    if (!date_class) return -1;
    // Only a real date has the fields the library packs.
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != date_class || !is_date(value))
        return type_error(value, " expected datetime.date");
    // The library would pack it as 0, no date: refused, not lost.
    if (!date_in_range(value)) return date_range_error(value), -1;
    if (!library_has_dates()) {
        raise_message("InterfaceError", "the client library is not loaded: call initlibrary() first");
        return -1;
    }
    put<WORD_CHAR>(out, 2, pack_date(value));
    return 0;
}

}  // namespace

int encode_field(const ColumnCodec& col, PyObject* value, unsigned char* out) {
    const uint32_t len = col.len;
    if (col.type < 0 || col.type >= QSCLI_ET_COUNT) return field_type_error(), -1;
    if (check_len(col.type, len, 0, Purpose::Write) < 0) return -1;
    long long v = 0;
    switch (col.type) {
        case QSCLI_ET_CHAR: return encode_char(value, len, out);
        case QSCLI_ET_ARRA: return encode_arra(value, len, out);
        case QSCLI_ET_DATE: return encode_date(value, out);
        case QSCLI_ET_BYTE:
            if (int_in_range(value, QSCLI_ET_BYTE, &v) < 0) return -1;
            put<UCHAR_CHAR>(out, 1, static_cast<uint8_t>(v));
            return 0;
        case QSCLI_ET_INTR:
            if (int_in_range(value, QSCLI_ET_INTR, &v) < 0)
                return -1;
            put<INTR_CHAR>(out, 2, static_cast<int16_t>(v));
            return 0;
        case QSCLI_ET_WORD:
            if (int_in_range(value, QSCLI_ET_WORD, &v) < 0) return -1;
            put<WORD_CHAR>(out, 2, static_cast<uint16_t>(v));
            return 0;
        case QSCLI_ET_NMBR:
            if (int_in_range(value, QSCLI_ET_NMBR, &v) < 0)
                return -1;
            put<NMBR_CHAR>(out, 3, static_cast<uint32_t>(v));
            return 0;
        case QSCLI_ET_LONG:
            if (int_in_range(value, QSCLI_ET_LONG, &v) < 0)
                return -1;
            put<LONG_CHAR>(out, len, static_cast<int32_t>(v));
            return 0;
        case QSCLI_ET_DWRD:
            if (int_in_range(value, QSCLI_ET_DWRD, &v) < 0)
                return -1;
            put<DWRD_CHAR>(out, len, static_cast<uint32_t>(v));
            return 0;
        case QSCLI_ET_FLOA:
            if (Py_TYPE(value) != &PyFloat_Type) return type_error(value, " expected float");
            put<FLOA_CHAR>(out, len, narrow(PyFloat_AS_DOUBLE(value)));
            return 0;
        default:  // CURR and DFLT share one branch
            if (Py_TYPE(value) != &PyFloat_Type) return type_error(value, " expected float");
            put<DFLT_CHAR>(out, len, PyFloat_AS_DOUBLE(value));
            return 0;
    }
}

}  // namespace qx::values
