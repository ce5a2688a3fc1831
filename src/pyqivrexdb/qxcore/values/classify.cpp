// The one classifier of Python values (classify.h), past the kinds it tells
// inline: the other built-in types themselves first, then subclasses.
#include "classify.h"

#include "../base/common.h"
#include "dates.h"

#include <cmath>
#include <cstdarg>

namespace qx::values {

namespace {

int classify_int(PyObject* value, Classified* out) {
    int overflow = 0;
    out->i = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (out->i == -1 && PyErr_Occurred()) return -1;
    out->kind = overflow ? Kind::BIG_INT : Kind::INT;
    return 0;
}

int classify_decimal(PyObject* value, Classified* out) {
    out->text = decimal_method("__str__", value);
    if (!out->text) return -1;
    if (!PyUnicode_Check(out->text.get()) || PyUnicode_GET_LENGTH(out->text.get()) < 1) {
        PyErr_SetString(PyExc_TypeError, "Decimal.__str__ gave no number's text");
        return -1;
    }
    out->kind = Kind::DECIMAL;
    return 0;
}

// The character of a Decimal's text after its sign: a digit for a number,
// 'N', 's' or 'I' for the others.
Py_UCS4 lead(const Classified& v) {
    PyObject* t = v.text.get();
    const Py_ssize_t at = PyUnicode_READ_CHAR(t, 0) == '-' && PyUnicode_GET_LENGTH(t) > 1 ? 1 : 0;
    return PyUnicode_READ_CHAR(t, at);
}

}  // namespace

bool Classified::special() const {
    const Py_UCS4 c = lead(*this);
    return c == 'N' || c == 's' || c == 'I';
}

bool Classified::signalling() const { return lead(*this) == 's'; }

int classify_rest(PyObject* value, Classified* out) {
    if (PyLong_CheckExact(value)) return classify_int(value, out);
    if (PyBytes_CheckExact(value)) return out->kind = Kind::BYTES, 0;
    if (is_exact_date(value)) return out->kind = Kind::DATE, 0;
    out->exact = false;
    if (PyFloat_Check(value)) {
        out->d = PyFloat_AS_DOUBLE(value);
        return out->kind = Kind::REAL, 0;
    }
    if (PyUnicode_Check(value)) return out->kind = Kind::TEXT, 0;
    if (PyBool_Check(value)) {
        out->i = value == Py_True;
        return out->kind = Kind::BOOL, 0;
    }
    if (PyLong_Check(value)) return classify_int(value, out);
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value))
        return out->kind = Kind::BYTES, 0;
    switch (temporal_kind(value)) {
    case Temporal::DATE: return out->kind = Kind::DATE, 0;
    case Temporal::TIME: return out->kind = Kind::TIME, 0;
    case Temporal::DATETIME: return out->kind = Kind::DATETIME, 0;
    case Temporal::NONE: break;
    }
    const int decimal = is_decimal(value);
    if (decimal < 0) return -1;
    if (decimal) return classify_decimal(value, out);
    out->server = server_kind(value);
    if (out->server != ServerKind::NONE) out->kind = Kind::SERVER;
    return 0;
}

int exact_double(const Classified& v, PyObject* value, PyObject* label, double* out) {
    if (v.kind == Kind::REAL) return *out = v.d, 0;
    // A signalling NaN has no double at all.
    if (v.kind == Kind::DECIMAL && v.signalling()) return refuse("DataError", label, "%R cannot be stored as a number", value);
    if (v.kind != Kind::DECIMAL) {
        // An int (a bool too) a double holds exactly.
        *out = PyLong_AsDouble(value);
        if (*out == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
            PyErr_Clear();
            return refuse("DataError", label, "%S is too large for a real number", value);
        }
        Ref back(PyLong_FromDouble(*out));
        if (!back) return -1;
        const int same = PyObject_RichCompareBool(back.get(), value, Py_EQ);
        if (same < 0) return -1;
        return same ? 0 : refuse("DataError", label, "%S has no exact real number", value);
    }
    const int exact = decimal_as_double(value, out);
    if (exact < 0) return -1;
    if (std::isinf(*out)) return refuse("DataError", label, "%R is beyond the range of a double", value);
    if (!exact && *out == 0) return refuse("DataError", label, "%R is too small for a double: it would be stored as 0", value);
    if (!exact)
        return refuse("DataError", label, "%R has more significant digits than a double keeps: it would read back changed", value);
    return 0;
}

int refuse(const char* cls, PyObject* label, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref why(PyUnicode_FromFormatV(format, args));
    va_end(args);
    Ref text = why && label ? Ref(PyUnicode_FromFormat("%U: %U", label, why.get())) : std::move(why);
    if (text) raise_object(cls, text.get());
    return -1;
}

Ref iso_text(PyObject* value, Kind kind) {
    Ref text(kind == Kind::DATETIME ? PyObject_CallMethod(value, "isoformat", "s", " ")
                                    : PyObject_CallMethod(value, "isoformat", nullptr));
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "%.100s.isoformat() returned %.100s, not str", Py_TYPE(value)->tp_name,
                     Py_TYPE(text.get())->tp_name);
        return Ref();
    }
    return text;
}

}  // namespace qx::values
