// What a Python value is to the driver, decided in one place: its kind and
// the exact payload every output spells (a SQL literal, a record's field, a
// server's text, a bulk field). Adapters have run before (adapt.h), once;
// an output switches on the kind and never asks the value's type again.
#pragma once

#include "../base/ref.h"
#include "server_values.h"

namespace qx::values {

enum class Kind : unsigned char {
    NONE,      // None
    BOOL,      // True or False: i is 1 or 0
    INT,       // an int of 64 bits (subclasses included): i
    BIG_INT,   // an int beyond 64 bits: the value's own digits
    REAL,      // a float (subclasses included): d, NaN and the infinities too
    DECIMAL,   // a Decimal: text is Decimal's own str of it
    TEXT,      // a str (subclasses included)
    BYTES,     // bytes, bytearray or memoryview
    DATE,      // a date that is not a datetime
    TIME,
    DATETIME,  // naive or aware: the outputs ask its offset
    SERVER,    // one of a server's own types: server says which
    OTHER,     // none of these: every output refuses it
};

struct Classified {
    Kind kind = Kind::OTHER;
    long long i = 0;
    double d = 0;
    Ref text;  // DECIMAL (another kind leaves it as it was)
    ServerKind server = ServerKind::NONE;
    // An int, float, str, bytes or date of that very type: no subclass, and
    // for BYTES neither a bytearray nor a memoryview.
    bool exact = false;

    // A Decimal NaN, sNaN or infinity.
    bool special() const;
    // A signalling NaN, which no output stores.
    bool signalling() const;
};

// classify_value past None, float and str (classify.cpp).
int classify_rest(PyObject* value, Classified* out);

// Classifies `value` (borrowed; it must outlive *out). 0, or -1 with an
// exception set (Decimal's module failing to import, or its str raising).
// The commonest built-in types are told here by one comparison each.
inline int classify_value(PyObject* value, Classified* out) {
    out->kind = Kind::OTHER;
    out->server = ServerKind::NONE;
    out->exact = true;
    if (value == Py_None) return out->kind = Kind::NONE, 0;
    if (PyFloat_CheckExact(value)) {
        out->d = PyFloat_AS_DOUBLE(value);
        return out->kind = Kind::REAL, 0;
    }
    if (PyUnicode_CheckExact(value)) return out->kind = Kind::TEXT, 0;
    return classify_rest(value, out);
}

// Whether the fixed mapping binds a value of kind `kind` as it is: every
// kind but a server's own types and OTHER.
inline bool binds_as_is(Kind kind) { return kind != Kind::SERVER && kind != Kind::OTHER; }

// The double a finite number of kind INT, BIG_INT or DECIMAL stands for,
// refused (DataError, `label`: prefix, may be null) when a double would not
// give it back exactly; REAL passes as it is. 0, or -1 with an exception.
int exact_double(const Classified& v, PyObject* value, PyObject* label, double* out);

// Raises `cls` (a name of the errors module) with the message `format`
// makes (PyUnicode_FromFormat's), after "<label>: " when `label` is not
// null: every refusal of a value is spelled through this. Returns -1.
int refuse(const char* cls, PyObject* label, const char* format, ...);

// The ISO text every output writes for a value of kind DATE, TIME or
// DATETIME: a datetime's isoformat(" "), the others' isoformat(). A str, or
// null with an exception set (TypeError when isoformat gives no str).
Ref iso_text(PyObject* value, Kind kind);

}  // namespace qx::values
