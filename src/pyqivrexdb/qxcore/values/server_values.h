// Python values a PostgreSQL server has a type of its own for, beyond the
// record format's: how each is recognised (once, here) and the server's text
// form of it. The literal of a statement, an array's element and a bulk
// load's text field all spell a value through these.
#pragma once

#include "../client/qscli.h"
#include "../base/ref.h"

#include <string>

namespace qx::values {

struct Classified;

enum class ServerKind {
    NONE,
    INTERVAL,   // datetime.timedelta
    UUID,       // uuid.UUID
    JSON,       // pyqivrexdb.dbapi.Json
    JSONB,      // pyqivrexdb.dbapi.Jsonb
    ARRAY,      // list
    INET,       // ipaddress' addresses and interfaces
    CIDR,       // ipaddress' networks
};

// The kind of `value` (subclasses included). Never fails: a module that is
// not imported has no values to recognise.
ServerKind server_kind(PyObject* value);

// The text form of `value` (a ServerKind other than NONE) as a str, and in
// *type the type to cast it to ("uuid", "int8[]"; empty for an array whose
// elements are all None or that has none: the place it goes gives the type).
// `label` names the parameter in messages (may be null). Null with DataError
// or ProgrammingError set.
Ref server_literal_text(PyObject* value, ServerKind kind, PyObject* label, std::string* type);

// The text a text field takes for `value`, as a str: on a server (`dialect`
// QSCLI_DIALECT_PG, whose COPY field reads it as its column's type) a
// ServerKind's text form, and on both backends a datetime's or time's
// isoformat, the text its literal writes. Null with an exception set;
// Py_None (borrowed, not an error) for any other value.
Ref server_text(PyObject* value, PyObject* label, int dialect);

// Whether an int or bool `value` suits field type `type` on PostgreSQL,
// whose boolean (the BYTE field) takes a bool only and whose numbers no bool.
// 0, or -1 with ProgrammingError "expected ..., not ..." set.
int server_bool_fits(int type, PyObject* value);
// The exact text of a number for a QSCLI_ET_DECIMAL field, as a str: an
// int's digits (a bool's 1 or 0), a float's shortest repr or an infinity,
// a Decimal's decimal_text. A float NaN raises DataError, a value of another
// type ProgrammingError "expected float, int or Decimal, not ...".
Ref number_text(PyObject* value);
// A Decimal's text (`v` its classification) as the server's numeric reads
// it: NaN without a sign; a signalling NaN raises DataError "...:
// Decimal('sNaN') has no value to store" (`label` names the parameter; may
// be null).
Ref decimal_text(const Classified& v, PyObject* value, PyObject* label);

// What a field of element type `type` takes for `value` on a `dialect`
// server: a text field takes a datetime or time, and on PostgreSQL a value
// of the server's own types, as its text (server_text), as the literal
// would write it; otherwise `value` itself. The bulk load and a few rows of executemany both
// hold values to their fields through this, so it is inline: a load asks
// for every value. Null with an exception set.
// On PostgreSQL an int and a bool are the server's integer and boolean,
// which the other's column refuses: an int or bool takes a number field or
// a boolean's BYTE field only as the server takes it bound (server_bool_fits).
// A QSCLI_ET_DECIMAL field takes a number as its text (number_text).
inline Ref field_value(int type, int dialect, PyObject* value) {
    if (type == QSCLI_ET_CHAR && !PyUnicode_CheckExact(value)) {
        Ref text = server_text(value, nullptr, dialect);
        if (!text || text.get() != Py_None) return text;
    } else if (type != QSCLI_ET_CHAR && dialect == QSCLI_DIALECT_PG && PyLong_Check(value) &&
               server_bool_fits(type, value) < 0) {
        return Ref();
    }
    if (type == QSCLI_ET_DECIMAL && value != Py_None) return number_text(value);
    return Ref::borrow(value);
}

// Decimal (lazily imported); -1 with an exception set.
int is_decimal(PyObject* value);
// Decimal's own method `name` called on `value` (a subclass's is not used).
Ref decimal_method(const char* name, PyObject* value);

// Whether the finite Decimal `value` is exactly the double *d nearest to it
// (the double's shortest text reads back as the same number): 1 or 0, -1
// with an exception set. *d is an infinity beyond a double's range.
int decimal_as_double(PyObject* value, double* d);
// Whether a Decimal's text is an integer of 64 bits ([-]digits), which the
// engine keeps as an integer.
bool is_int64_text(const char* text);

}  // namespace qx::values
