// Literals of the library's dialect: texts in single quotes with quotes
// doubled, blobs as X'..', dates as the ISO text the engine stores, numbers
// as written by Python; an infinity as a number too large for a double on
// the engine, as a server's float8 'Infinity' on PostgreSQL.
#include "literals.h"

#include "adapt.h"

#include "../client/qscli.h"
#include "../module/module.h"
#include "cp866.h"
#include "dates.h"

#include <cmath>
#include <cstring>

namespace qx::values {

namespace {

int fail(const char* cls, PyObject* label, const char* format, PyObject* detail) {
    Ref why(PyUnicode_FromFormat(format, detail));
    if (!why) return -1;
    Ref text(PyUnicode_FromFormat("%U: %U", label, why.get()));
    if (text) raise_object(cls, text.get());
    return -1;
}

// A number's text with a blank before a minus sign: spliced after another
// minus ("x-?") it must not become the comment marker "--".
void append_number(std::string& out, const char* text) {
    if (text[0] == '-') out += ' ';
    out += text;
}

int append_int(std::string& out, PyObject* value, PyObject* label) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow) return fail("DataError", label, "the integer %R does not fit 64 bits", value);
    // Digits from the right, without a formatting call per value.
    char text[24];
    char* p = text + sizeof text;
    *--p = 0;
    unsigned long long u = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do *--p = static_cast<char>('0' + u % 10); while (u /= 10);
    if (v < 0) *--p = '-';
    append_number(out, p);
    return 0;
}

int append_float(std::string& out, double v, PyObject* value, PyObject* label, int dialect) {
    if (std::isnan(v)) return fail("DataError", label, "%R has no SQL literal", value);
    if (std::isinf(v) && dialect == QSCLI_DIALECT_PG) {
        out += v < 0 ? "'-Infinity'::float8" : "'Infinity'::float8";
        return 0;
    }
    if (std::isinf(v)) {
        // The engine reads a number beyond a double's range as infinity.
        out += v < 0 ? " -9e999" : "9e999";
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
        return fail("DataError", label, ("%.60R has " + std::string(unencodable_reason(true))).c_str(), value);
    }
    if (encoded) n = PyBytes_GET_SIZE(encoded.get());
    if (std::memchr(p, 0, static_cast<size_t>(n)))
        return fail("DataError", label, "%.60R holds a NUL character, which no text can carry", value);
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

// str(value.isoformat(...)) quoted; the text is ASCII.
int append_iso(std::string& out, PyObject* value, const char* sep) {
    Ref text(sep ? PyObject_CallMethod(value, "isoformat", "s", sep) : PyObject_CallMethod(value, "isoformat", nullptr));
    if (!text) return -1;
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "%.100s.isoformat() returned %.100s, not str", Py_TYPE(value)->tp_name,
                     Py_TYPE(text.get())->tp_name);
        return -1;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!p) return -1;
    // Quoted, whatever it says: it can end no literal early.
    append_quoted(out, p, n);
    return 0;
}

int append_date(std::string& out, PyObject* value, PyObject* label) {
    int y, m, d;
    date_parts(value, &y, &m, &d);
    if (!year_in_range(y))
        return fail("DataError", label, "%R is outside the dates the engine holds (" QX_DATE_SPAN_ISO ")",
                    value);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
    append_quoted(out, text, 10);
    return 0;
}

PyObject* g_decimal = nullptr;  // decimal.Decimal, kept until exit

int is_decimal(PyObject* value) {
    if (!g_decimal) {
        Ref module(PyImport_ImportModule("decimal"));
        if (!module) return -1;
        g_decimal = PyObject_GetAttrString(module.get(), "Decimal");
        if (!g_decimal) return -1;
    }
    return PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(g_decimal));
}

// Decimal's own methods, called on the value: a subclass's is_finite or
// __str__ (a money type printing "1,234.50") never reaches the SQL text.
Ref decimal_method(const char* name, PyObject* value) {
    Ref method(PyObject_GetAttrString(g_decimal, name));
    return method ? Ref(PyObject_CallFunctionObjArgs(method.get(), value, nullptr)) : Ref();
}

int append_decimal(std::string& out, PyObject* value, PyObject* label, int dialect) {
    Ref finite = decimal_method("is_finite", value);
    if (!finite) return -1;
    if (finite.get() != Py_True) return fail("DataError", label, "%R has no SQL literal", value);
    Ref as_float = decimal_method("__float__", value);
    if (!as_float) return -1;
    const double d = PyFloat_AsDouble(as_float.get());
    if (std::isinf(d)) return fail("DataError", label, "%R is beyond the range of a double", value);
    if (d == 0 && dialect == QSCLI_DIALECT_ENGINE) {
        // The engine reads the number as a double; a server keeps a numeric.
        Ref zero = decimal_method("is_zero", value);
        if (!zero) return -1;
        if (zero.get() != Py_True)
            return fail("DataError", label, "%R is too small for a double: it would be stored as 0", value);
    }
    Ref text = decimal_method("__str__", value);
    const char* p = text && PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!p) return -1;
    append_number(out, p);
    return 0;
}

}  // namespace

int binds_as_is(PyObject* value) {
    if (value == Py_None || PyLong_Check(value) || PyFloat_Check(value) || PyUnicode_Check(value) ||
        PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value) ||
        temporal_kind(value) != Temporal::NONE)
        return 1;
    return is_decimal(value);
}

int append_literal(std::string& out, PyObject* value, PyObject* label, int dialect) {
    if (value == Py_None) {
        out += "NULL";
        return 0;
    }
    if (PyBool_Check(value)) {
        // Both backends read these; a server's boolean column takes no 1 or 0.
        out += value == Py_True ? "TRUE" : "FALSE";
        return 0;
    }
    if (PyLong_Check(value)) return append_int(out, value, label);
    if (PyFloat_Check(value)) return append_float(out, PyFloat_AS_DOUBLE(value), value, label, dialect);
    if (PyUnicode_Check(value)) return append_text(out, value, label);
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value))
        return append_blob(out, value);
    switch (temporal_kind(value)) {
        case Temporal::DATETIME: return append_iso(out, value, " ");
        case Temporal::DATE: return append_date(out, value, label);
        case Temporal::TIME: return append_iso(out, value, nullptr);
        case Temporal::NONE: break;
    }
    const int decimal = is_decimal(value);
    if (decimal < 0) return -1;
    if (decimal) return append_decimal(out, value, label, dialect);
    return fail("ProgrammingError", label, "a value of type %S cannot be bound",
                reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

}  // namespace qx::values
