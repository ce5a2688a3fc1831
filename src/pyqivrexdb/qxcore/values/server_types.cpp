// The standard face's values of a server's own types: when the library tells
// each column's server type (QSCLI_ATTR_SERVER_TYPES), a column of a type
// listed below reads through its loader, chosen once when the result is
// described. A type gets its Python value by one row of kTypes; arrays of
// it come with it.
#include "loaders.h"

#include "../base/common.h"
#include "shared.h"

#include <cstring>
#include <string>

namespace qx::values {

std::nullptr_t load_refused(const char* type, const char* p, size_t n, const char* why) {
    const std::string text = std::string(type) + " '" + std::string(p, n > 64 ? 64 : n) + "' " + why;
    Ref message(PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

namespace {

// A name of a standard module, imported at its first use and kept until exit.
class Imported {
public:
    Imported(const char* module, const char* name) : module_(module), name_(name) {}
    PyObject* get() {
        if (obj_) return obj_;
        Ref module(PyImport_ImportModule(module_));
        obj_ = module ? PyObject_GetAttrString(module.get(), name_) : nullptr;
        return obj_;
    }

private:
    const char* module_;
    const char* name_;
    PyObject* obj_ = nullptr;
};

Imported g_decimal("decimal", "Decimal");
Imported g_uuid("uuid", "UUID");
Imported g_uuid_unknown("uuid", "SafeUUID");
Imported g_ip_address("ipaddress", "ip_address");
Imported g_ip_interface("ipaddress", "ip_interface");
Imported g_ip_network("ipaddress", "ip_network");
Imported g_json_loads("json", "loads");
PyObject* g_loads = nullptr;  // set_json_loads's, or null for json.loads
thread_local PyObject* g_reading_loads = nullptr;  // the reading connection's on this thread (borrowed), or null

PyObject* call_on_text(PyObject* fn, const char* p, size_t n) {
    if (!fn) return nullptr;
    Ref text(PyUnicode_DecodeASCII(p, static_cast<Py_ssize_t>(n), "strict"));
    return text ? PyObject_CallOneArg(fn, text.get()) : nullptr;
}

PyObject* load_text(const char* p, size_t n) {
    return text_value(reinterpret_cast<const unsigned char*>(p), static_cast<uint32_t>(n));
}

// A char(n)'s text without the blanks the server pads it with, as a
// column of it reads (its trailing blanks mean nothing to the server).
PyObject* load_padded(const char* p, size_t n) {
    while (n && p[n - 1] == ' ') --n;
    return load_text(p, n);
}

PyObject* load_bool(const char* p, size_t n) { return PyBool_FromLong(n == 1 && p[0] == 't'); }

PyObject* load_int(const char* p, size_t n) {
    char buf[32];
    if (n == 0 || n >= sizeof buf) return load_refused("integer", p, n, "is not an integer");
    std::memcpy(buf, p, n);
    buf[n] = '\0';
    return PyLong_FromString(buf, nullptr, 10);
}

PyObject* load_float(const char* p, size_t n) {
    std::string text(p, n);
    char* end = nullptr;
    const double d = PyOS_string_to_double(text.c_str(), &end, nullptr);
    if (d == -1.0 && PyErr_Occurred()) return nullptr;
    if (end != text.c_str() + n) return load_refused("real", p, n, "is not a number");
    return PyFloat_FromDouble(d);
}

// Exact: the server's digits, NaN and the infinities as Decimal spells them.
PyObject* load_numeric(const char* p, size_t n) { return call_on_text(g_decimal.get(), p, n); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

PyObject* load_bytea(const char* p, size_t n) {
    if (n < 2 || p[0] != '\\' || p[1] != 'x' || n % 2) return load_refused("bytea", p, n, "is not in hex form");
    Ref out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((n - 2) / 2)));
    if (!out) return nullptr;
    char* o = PyBytes_AS_STRING(out.get());
    for (size_t k = 2; k < n; k += 2) {
        const int hi = hex_digit(p[k]), lo = hex_digit(p[k + 1]);
        if (hi < 0 || lo < 0) return load_refused("bytea", p, n, "is not in hex form");
        *o++ = static_cast<char>(hi * 16 + lo);
    }
    return out.release();
}

// A UUID made from its 128 bits without parsing its text again in Python:
// what uuid.UUID(text) makes (the class is immutable, so its own
// __setattr__ is passed by).
PyObject* load_uuid(const char* p, size_t n) {
    char hex[33];
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '-') continue;
        if (k == 32 || hex_digit(p[i]) < 0) return load_refused("uuid", p, n, "is not a UUID");
        hex[k++] = p[i];
    }
    if (k != 32) return load_refused("uuid", p, n, "is not a UUID");
    hex[32] = '\0';
    // Kept until exit: the class, SafeUUID.unknown, the attribute names and
    // the empty arguments of object.__new__.
    static PyObject *unknown, *int_name, *safe_name, *no_args;
    PyObject* type = g_uuid.get();
    if (!type || !PyType_Check(type)) return nullptr;
    if (!no_args) {
        PyObject* safe = g_uuid_unknown.get();
        unknown = safe ? PyObject_GetAttrString(safe, "unknown") : nullptr;
        int_name = PyUnicode_InternFromString("int");
        safe_name = PyUnicode_InternFromString("is_safe");
        no_args = unknown && int_name && safe_name ? PyTuple_New(0) : nullptr;
        if (!no_args) return nullptr;
    }
    Ref bits(PyLong_FromString(hex, nullptr, 16));
    Ref u(bits ? PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(type), no_args, nullptr) : nullptr);
    if (!u || PyObject_GenericSetAttr(u.get(), int_name, bits.get()) < 0 ||
        PyObject_GenericSetAttr(u.get(), safe_name, unknown) < 0)
        return nullptr;
    return u.release();
}

PyObject* load_json(const char* p, size_t n) {
    Ref text(load_text(p, n));
    PyObject* loads = text ? json_loads() : nullptr;
    return loads ? PyObject_CallOneArg(loads, text.get()) : nullptr;
}

// inet: an address, or an interface when it carries a prefix length.
PyObject* load_inet(const char* p, size_t n) {
    return call_on_text(std::memchr(p, '/', n) ? g_ip_interface.get() : g_ip_address.get(), p, n);
}
PyObject* load_cidr(const char* p, size_t n) { return call_on_text(g_ip_network.get(), p, n); }

// A server type, the type of its arrays and the loader of its text.
struct KnownType {
    uint32_t oid;
    uint32_t array_oid;
    TextLoader load;
    bool top;  // a column of the type itself reads through the loader
};

// Types whose columns the element types already give as Python has them
// (integers, reals, texts, bytea) are listed for their arrays only.
const KnownType kTypes[] = {
    {16, 1000, load_bool, false},      {17, 1001, load_bytea, false},          {19, 1003, load_text, false},
    {20, 1016, load_int, false},       {21, 1005, load_int, false},            {23, 1007, load_int, false},
    {25, 1009, load_text, false},      {26, 1028, load_int, false},            {700, 1021, load_float, false},
    {701, 1022, load_float, false},    {1042, 1014, load_padded, false},       {1043, 1015, load_text, false},
    {1700, 1231, load_numeric, true},  {1082, 1182, load_date, true},          {1083, 1183, load_time, true},
    {1266, 1270, load_timetz, true},   {1114, 1115, load_timestamp, true},     {1184, 1185, load_timestamptz, true},
    {1186, 1187, load_interval, true}, {2950, 2951, load_uuid, true},          {114, 199, load_json, true},
    {3802, 3807, load_json, true},     {869, 1041, load_inet, true},           {650, 651, load_cidr, true},
};
constexpr uint32_t kBool = 16;

// The text of a CHAR field: up to its first NUL.
size_t text_length(const ColumnCodec& c, const unsigned char* p) {
    const void* zero = std::memchr(p, 0, c.len);
    return zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - p) : c.len;
}

PyObject* dec_loaded(const ColumnCodec& c, const unsigned char* p) {
    return c.load(reinterpret_cast<const char*>(p), text_length(c, p));
}

PyObject* dec_bool(const ColumnCodec&, const unsigned char* p) { return PyBool_FromLong(p[0] != 0); }

// An array's text: '{1,NULL,"a \"b\"",{2,3}}', after '[1:2]=' when its
// lower bounds are not 1. Items go through `item`; NULL (unquoted) is None.
class ArrayText {
public:
    ArrayText(const char* p, size_t n, TextLoader item) : p_(p), at_(p), end_(p + n), item_(item) {}

    PyObject* parse() {
        if (at_ < end_ && *at_ == '[') {
            const void* eq = std::memchr(at_, '=', static_cast<size_t>(end_ - at_));
            if (!eq) return bad();
            at_ = static_cast<const char*>(eq) + 1;
        }
        Ref out(list());
        if (out && at_ != end_) return bad();
        return out.release();
    }

private:
    std::nullptr_t bad() { return load_refused("array", p_, static_cast<size_t>(end_ - p_), "is not an array"); }

    PyObject* list() {
        if (at_ >= end_ || *at_ != '{') return bad();
        ++at_;
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        if (at_ < end_ && *at_ == '}') return ++at_, out.release();
        for (;;) {
            Ref value(at_ < end_ && *at_ == '{' ? list() : at_ < end_ && *at_ == '"' ? quoted() : bare());
            if (!value || PyList_Append(out.get(), value.get()) < 0) return nullptr;
            if (at_ >= end_) return bad();
            const char c = *at_++;
            if (c == '}') return out.release();
            if (c != ',') return bad();
        }
    }

    PyObject* quoted() {
        buf_.clear();
        for (++at_; at_ < end_ && *at_ != '"'; ++at_) {
            if (*at_ == '\\' && at_ + 1 < end_) ++at_;
            buf_ += *at_;
        }
        if (at_ >= end_) return bad();
        ++at_;
        return item_(buf_.data(), buf_.size());
    }

    PyObject* bare() {
        const char* start = at_;
        while (at_ < end_ && *at_ != ',' && *at_ != '}') ++at_;
        const size_t n = static_cast<size_t>(at_ - start);
        if (n == 4 && std::memcmp(start, "NULL", 4) == 0) Py_RETURN_NONE;
        return item_(start, n);
    }

    const char* p_;
    const char* at_;
    const char* end_;
    TextLoader item_;
    std::string buf_;
};

PyObject* dec_array(const ColumnCodec& c, const unsigned char* p) {
    return ArrayText(reinterpret_cast<const char*>(p), text_length(c, p), c.item).parse();
}

// The standard modules `load` calls on; 0, or -1 with the import's error.
int imports_ready(TextLoader load) {
    bool ok = true;
    if (load == load_numeric) ok = g_decimal.get();
    else if (load == load_uuid) ok = g_uuid.get() && g_uuid_unknown.get();
    else if (load == load_json) ok = json_loads();
    else if (load == load_inet) ok = g_ip_address.get() && g_ip_interface.get();
    else if (load == load_cidr) ok = g_ip_network.get();
    return ok ? 0 : -1;
}

}  // namespace

int choose_loader(ColumnCodec& col, uint32_t oid) {
    col.oid = oid;
    if (oid == kBool && col.type == QSCLI_ET_BYTE) {
        col.decode = dec_bool;
        return 0;
    }
    if (col.type != QSCLI_ET_CHAR) return 0;  // the element type reads it as it is
    for (const KnownType& t : kTypes) {
        if (oid != t.oid && oid != t.array_oid) continue;
        if (oid == t.oid && !t.top) return 0;
        // Imported here, outside the reading of rows.
        if (load_dates_ready() < 0 || imports_ready(t.load) < 0) return -1;
        if (oid == t.oid) {
            col.load = t.load;
            col.decode = dec_loaded;
        } else {
            col.item = t.load;
            col.decode = dec_array;
        }
        return 0;
    }
    return 0;
}

int described_type(int type, uint32_t oid) {
    if (type != QSCLI_ET_CHAR) return type;
    switch (oid) {
    case 1700: return QSCLI_ET_DFLT;  // numeric: a Decimal, a number
    case 1082: case 1083: case 1266: case 1114: case 1184: return QSCLI_ET_DATE;
    default: return type;
    }
}

bool plain_loader(const ColumnCodec& col) {
    return !col.item && col.load != load_json && col.load != load_inet && col.load != load_cidr;
}

PyObject* json_loads() { return g_reading_loads ? g_reading_loads : g_loads ? g_loads : g_json_loads.get(); }

ReadingScope::ReadingScope(PyObject* loads, PyObject* zone, bool needed) : active_(needed) {
    if (!active_) return;
    outer_loads_ = g_reading_loads;
    outer_zone_ = swap_reading_zone(zone == Py_None ? nullptr : zone);
    g_reading_loads = loads == Py_None ? nullptr : loads;
}
ReadingScope::~ReadingScope() {
    if (!active_) return;
    g_reading_loads = outer_loads_;
    swap_reading_zone(outer_zone_);
}

bool zoned_type(uint32_t oid) { return oid == 1184 || oid == 1185; }

int set_json_loads(PyObject* loads) {
    if (loads != Py_None && !PyCallable_Check(loads)) {
        PyErr_Format(PyExc_TypeError, "loads must be callable or None, not %.100s", Py_TYPE(loads)->tp_name);
        return -1;
    }
    Py_XSETREF(g_loads, loads == Py_None ? nullptr : new_ref(loads));
    return 0;
}

}  // namespace qx::values
