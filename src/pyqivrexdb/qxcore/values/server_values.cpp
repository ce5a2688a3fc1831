// The server's own types: UUID, intervals, JSON documents, arrays and
// network addresses, recognised here once and spelled in the server's text
// form, which its input functions read back exactly.
#include "server_values.h"

#include "../base/common.h"
#include "classify.h"
#include "dates.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qx::values {

namespace {

struct Known {
    const char* module;
    const char* name;
    ServerKind kind;
    PyObject* type;  // once its module is imported; kept until exit
};

Known g_known[] = {
    {"uuid", "UUID", ServerKind::UUID, nullptr},
    // Jsonb before Json, whose subclass it is.
    {"pyqivrexdb.dbapi", "Jsonb", ServerKind::JSONB, nullptr},
    {"pyqivrexdb.dbapi", "Json", ServerKind::JSON, nullptr},
    {"ipaddress", "IPv4Address", ServerKind::INET, nullptr},
    {"ipaddress", "IPv6Address", ServerKind::INET, nullptr},
    {"ipaddress", "IPv4Network", ServerKind::CIDR, nullptr},
    {"ipaddress", "IPv6Network", ServerKind::CIDR, nullptr},
};

// The class of `k` when its module has been imported: a value of it cannot
// exist before.
PyObject* known_type(Known& k) {
    if (k.type) return k.type;
    Ref name(PyUnicode_FromString(k.module));
    Ref found(name ? PyImport_GetModule(name.get()) : nullptr);
    if (found) {
        PyObject* type = PyObject_GetAttrString(found.get(), k.name);
        if (type && PyType_Check(type)) k.type = type;
        else Py_XDECREF(type);
    }
    PyErr_Clear();
    return k.type;
}

bool append_utf8(std::string& out, PyObject* str) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (!p) return false;
    out.append(p, static_cast<size_t>(n));
    return true;
}

// str(value) appended; false with an exception set.
bool append_str(std::string& out, PyObject* value) {
    Ref text(PyObject_Str(value));
    return text && append_utf8(out, text.get());
}

bool is_aware(PyObject* value) {
    Ref offset(PyObject_CallMethod(value, "utcoffset", nullptr));
    if (!offset) PyErr_Clear();
    return offset && offset.get() != Py_None;
}

// A document's text: its dumps(obj).
bool append_json(std::string& out, PyObject* value, PyObject* label) {
    Ref dumps(PyObject_GetAttrString(value, "dumps"));
    Ref obj(dumps ? PyObject_GetAttrString(value, "obj") : nullptr);
    Ref text(obj ? PyObject_CallOneArg(dumps.get(), obj.get()) : nullptr);
    if (!text) return false;
    if (!PyUnicode_Check(text.get())) {
        return refuse("ProgrammingError", label, "dumps() returned %s, not str", Py_TYPE(text.get())->tp_name), false;
    }
    return append_utf8(out, text.get());
}

void append_interval(std::string& out, PyObject* delta) {
    int days, seconds, micro;
    delta_parts(delta, &days, &seconds, &micro);
    char text[64];
    std::snprintf(text, sizeof text, "%d days %d.%06d seconds", days, seconds, micro);
    out += text;
}

// The type of one array element (classified as `v`) as the server names
// it; null for None, empty for a value no array holds. `value` is not a list.
const char* element_type(const Classified& v, PyObject* value) {
    switch (v.kind) {
    case Kind::NONE: return nullptr;
    case Kind::BOOL: return "bool";
    // As the server types ARRAY[1, 2]: integer while every value fits, so
    // the list compares with an integer[] column (@>, &&).
    case Kind::INT: return v.i >= INT32_MIN && v.i <= INT32_MAX ? "int4" : "int8";
    case Kind::BIG_INT:
    case Kind::DECIMAL: return "numeric";
    case Kind::REAL: return "float8";
    case Kind::TEXT: return "text";
    case Kind::BYTES: return "bytea";
    case Kind::DATETIME: return is_aware(value) ? "timestamptz" : "timestamp";
    case Kind::TIME: return is_aware(value) ? "timetz" : "time";
    case Kind::DATE: return "date";
    case Kind::SERVER: break;
    case Kind::OTHER: return "";
    }
    switch (v.server) {
    case ServerKind::INTERVAL: return "interval";
    case ServerKind::UUID: return "uuid";
    case ServerKind::JSON: return "json";
    case ServerKind::JSONB: return "jsonb";
    case ServerKind::INET: return "inet";
    case ServerKind::CIDR: return "cidr";
    case ServerKind::ARRAY:
    case ServerKind::NONE: break;
    }
    return "";
}

// The numeric types, narrowest first; 0 for another type.
int number_rank(const std::string& t) {
    return t == "int4" ? 1 : t == "int8" ? 2 : t == "float8" ? 3 : t == "numeric" ? 4 : 0;
}

// The type of elements of types a and b together; empty when none holds both.
std::string common_type(const std::string& a, const std::string& b) {
    if (a.empty() || a == b) return b;
    if (number_rank(a) && number_rank(b)) return number_rank(a) > number_rank(b) ? a : b;
    if ((a == "inet" && b == "cidr") || (a == "cidr" && b == "inet")) return "inet";
    return "";
}

// The unquoted text of one scalar element (or of a bulk field).
bool append_scalar(std::string& out, const Classified& v, PyObject* value, PyObject* label) {
    switch (v.kind) {
    case Kind::BOOL: out += v.i ? "t" : "f"; return true;
    case Kind::INT:
    case Kind::BIG_INT: {
        // int's own digits: a subclass's str is not the number.
        Ref digits(PyLong_Type.tp_repr(value));
        return digits && append_utf8(out, digits.get());
    }
    case Kind::REAL: {
        if (std::isnan(v.d)) out += "NaN";
        else if (std::isinf(v.d)) out += v.d < 0 ? "-Infinity" : "Infinity";
        else {
            char* text = PyOS_double_to_string(v.d, 'r', 0, 0, nullptr);
            if (!text) return false;
            out += text;
            PyMem_Free(text);
        }
        return true;
    }
    case Kind::TEXT:
        if (append_utf8(out, value)) return true;
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        return refuse("DataError", label, "%.60R has a lone surrogate, which UTF-8 cannot carry", value), false;
    case Kind::BYTES: {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_SIMPLE) < 0) return false;
        static const char digits[] = "0123456789abcdef";
        const auto* p = static_cast<const unsigned char*>(view.buf);
        out += "\\x";
        for (Py_ssize_t i = 0; i < view.len; ++i) {
            out += digits[p[i] >> 4];
            out += digits[p[i] & 15];
        }
        PyBuffer_Release(&view);
        return true;
    }
    case Kind::DATETIME:
    case Kind::DATE:
    case Kind::TIME: {
        Ref text = iso_text(value, v.kind);
        return text && append_utf8(out, text.get());
    }
    case Kind::DECIMAL: {
        Ref text = decimal_text(v, value, label);
        return text && append_utf8(out, text.get());
    }
    case Kind::SERVER:
        switch (v.server) {
        case ServerKind::INTERVAL: append_interval(out, value); return true;
        case ServerKind::UUID:
        case ServerKind::INET:
        case ServerKind::CIDR: return append_str(out, value);
        case ServerKind::JSON:
        case ServerKind::JSONB: return append_json(out, value, label);
        case ServerKind::ARRAY:
        case ServerKind::NONE: break;
        }
        break;
    case Kind::NONE:
    case Kind::OTHER: break;
    }
    return refuse("ProgrammingError", label, "a value of type %S cannot be an array element",
                  reinterpret_cast<PyObject*>(Py_TYPE(value))),
           false;
}

// Whether an element's text is quoted in an array's text: as the server
// writes an array, so that the array's text is the one the server gives
// back (a text column holds it as it is).
bool needs_quotes(const std::string& text) {
    if (text.empty()) return true;
    if (text.size() == 4 && (text[0] | 0x20) == 'n' && (text[1] | 0x20) == 'u' && (text[2] | 0x20) == 'l' &&
        (text[3] | 0x20) == 'l')
        return true;
    for (char ch : text)
        if (ch && std::strchr("\"\\{}, \t\n\r\v\f", ch)) return true;
    return false;
}

// An element in an array's text: quoted when it has to be, with
// backslashes before quotes and backslashes.
void append_element(std::string& out, const std::string& text) {
    if (!needs_quotes(text)) {
        out += text;
        return;
    }
    out += '"';
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    out += '"';
}

// The text of a list (nested lists as more dimensions), the element type
// met so far in *type.
bool append_array(std::string& out, PyObject* list, PyObject* label, std::string* type) {
    if (Py_EnterRecursiveCall(" in an array parameter")) return false;
    Ref held(PySequence_List(list));  // its items stay while Python code runs
    bool ok = static_cast<bool>(held);
    out += '{';
    int nested = -1;  // the level holds lists (1) or values (0)
    std::string text;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(held.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(held.get(), i);
        if (i) out += ',';
        const int is_list = PyList_Check(item) ? 1 : 0;
        if (item != Py_None && nested >= 0 && nested != is_list) {
            refuse("DataError", label, "a list mixes lists and values: an array's elements are all one or all the other");
            ok = false;
            break;
        }
        if (item == Py_None) {
            out += "NULL";
            continue;
        }
        nested = is_list;
        if (is_list) {
            ok = append_array(out, item, label, type);
            continue;
        }
        Classified v;
        if (classify_value(item, &v) < 0) {
            ok = false;
            break;
        }
        const char* t = element_type(v, item);
        const std::string both = common_type(*type, t);
        if (!*t || both.empty()) {
            if (*t)
                refuse("ProgrammingError", label, "a list of %s and %s values cannot be one array", type->c_str(), t);
            else
                refuse("ProgrammingError", label, "a value of type %S cannot be an array element",
                       reinterpret_cast<PyObject*>(Py_TYPE(item)));
            ok = false;
            break;
        }
        *type = both;
        text.clear();
        ok = append_scalar(text, v, item, label);
        if (ok) append_element(out, text);
    }
    out += '}';
    Py_LeaveRecursiveCall();
    return ok;
}

}  // namespace

namespace {
PyObject* g_decimal = nullptr;  // decimal.Decimal, kept until exit
}

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

int decimal_as_double(PyObject* value, double* d) {
    Ref as_float = decimal_method("__float__", value);
    if (!as_float) return -1;
    *d = PyFloat_AsDouble(as_float.get());
    if (!std::isfinite(*d)) return 0;
    char* text = PyOS_double_to_string(*d, 'r', 0, 0, nullptr);
    if (!text) return -1;
    Ref back(PyObject_CallFunction(g_decimal, "s", text));
    PyMem_Free(text);
    return back ? PyObject_RichCompareBool(back.get(), value, Py_EQ) : -1;
}

Ref decimal_text(const Classified& v, PyObject* value, PyObject* label) {
    if (v.signalling()) return refuse("DataError", label, "%R has no value to store", value), Ref();
    // A NaN's sign means nothing to the server, which reads no "-NaN".
    if (v.special() && PyUnicode_READ_CHAR(v.text.get(), 1) == 'N') return Ref(PyUnicode_FromString("NaN"));
    return Ref::borrow(v.text.get());
}

Ref number_text(PyObject* value) {
    Classified v;
    if (classify_value(value, &v) < 0) return Ref();
    switch (v.kind) {
    case Kind::BOOL:  // 1 or 0
    case Kind::INT:
    case Kind::BIG_INT: return Ref(PyLong_Type.tp_repr(value));
    case Kind::REAL: {
        if (std::isnan(v.d)) return refuse("DataError", nullptr, "%R cannot be stored as a number", value), Ref();
        if (std::isinf(v.d)) return Ref(PyUnicode_FromString(v.d < 0 ? "-Infinity" : "Infinity"));
        char* text = PyOS_double_to_string(v.d, 'r', 0, 0, nullptr);
        if (!text) return Ref();
        Ref str(PyUnicode_FromString(text));
        PyMem_Free(text);
        return str;
    }
    case Kind::DECIMAL: return decimal_text(v, value, nullptr);
    default: break;
    }
    return refuse("ProgrammingError", nullptr, "expected float, int or Decimal, not %s", Py_TYPE(value)->tp_name), Ref();
}

bool is_int64_text(const char* text) {
    const char* p = text + (*text == '-');
    size_t n = 0;
    while (p[n] >= '0' && p[n] <= '9') ++n;
    if (n == 0 || p[n] || n > 19) return false;
    if (n < 19) return true;
    // 19 digits: within 9223372036854775807 (or ...808 below zero).
    return std::strcmp(p, *text == '-' ? "9223372036854775808" : "9223372036854775807") <= 0;
}

ServerKind server_kind(PyObject* value) {
    if (PyList_Check(value)) return ServerKind::ARRAY;
    if (is_timedelta(value)) return ServerKind::INTERVAL;
    for (Known& k : g_known) {
        PyObject* type = known_type(k);
        if (type && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) return k.kind;
    }
    // An interface (an address with its network) is a subclass of the
    // address: inet too.
    return ServerKind::NONE;
}

Ref server_literal_text(PyObject* value, ServerKind kind, PyObject* label, std::string* type) {
    std::string text;
    bool ok = true;
    switch (kind) {
    case ServerKind::ARRAY: {
        std::string element;
        ok = append_array(text, value, label, &element);
        // Without a value to tell, the place it goes gives the type.
        *type = element.empty() ? "" : element + "[]";
        break;
    }
    case ServerKind::INTERVAL: *type = "interval"; append_interval(text, value); break;
    case ServerKind::UUID: *type = "uuid"; ok = append_str(text, value); break;
    case ServerKind::INET: *type = "inet"; ok = append_str(text, value); break;
    case ServerKind::CIDR: *type = "cidr"; ok = append_str(text, value); break;
    case ServerKind::JSON: *type = "json"; ok = append_json(text, value, label); break;
    case ServerKind::JSONB: *type = "jsonb"; ok = append_json(text, value, label); break;
    case ServerKind::NONE: break;
    }
    if (!ok) return Ref();
    return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

Ref server_text(PyObject* value, PyObject* label, int dialect) {
    Classified v;
    if (classify_value(value, &v) < 0) return Ref();
    if (v.kind == Kind::SERVER && dialect == QSCLI_DIALECT_PG) {
        std::string type;
        Ref text = server_literal_text(value, v.server, label, &type);
        // An address is the server's inet of one host, which its text (a
        // text column's cast of it) writes with the mask: "::1/128".
        if (text && v.server == ServerKind::INET && PyUnicode_FindChar(text.get(), '/', 0, PY_SSIZE_T_MAX, 1) == -1) {
            Ref bits(PyObject_GetAttrString(value, "max_prefixlen"));
            return bits ? Ref(PyUnicode_FromFormat("%U/%S", text.get(), bits.get())) : Ref();
        }
        return text;
    }
    if (v.kind != Kind::DATETIME && v.kind != Kind::TIME) return Ref::borrow(Py_None);
    std::string text;
    if (!append_scalar(text, v, value, label)) return Ref();
    return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace qx::values
