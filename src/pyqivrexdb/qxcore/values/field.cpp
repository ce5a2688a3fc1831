// Field: the description of one result column, or of one table field for a
// bulk load, and Cursor.description built from a list of them.
#include "field.h"

#include "../base/common.h"
#include "../base/parts.h"
#include "../client/cp866.h"

#include <cstring>

namespace qx {

uint64_t field_version = 0;

namespace {

constexpr const char* kSlotNames[F_COUNT] = {"aliasno", "fieldno", "type",   "len",
                                             "off",     "coder",   "fname",  "func",
                                             "asname",  "key",     "resno"};

FieldObject* as_field(PyObject* self) { return reinterpret_cast<FieldObject*>(self); }

PyObject* field_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    // Field() takes no arguments; a subclass with an __init__ of its own
    // takes whatever that __init__ takes.
    if (type->tp_init == FieldType.tp_init &&
        ((args && PyTuple_GET_SIZE(args)) || (kwds && PyDict_GET_SIZE(kwds))))
        return PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments", type->tp_name);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    for (PyObject*& slot : as_field(self)->slot) {
        Py_INCREF(Py_None);
        slot = Py_None;
    }
    return self;
}

int field_traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject* slot : as_field(self)->slot) Py_VISIT(slot);
    return 0;
}

int field_clear(PyObject* self) {
    for (PyObject*& slot : as_field(self)->slot) {
        Py_INCREF(Py_None);
        replace_field(slot, Py_None);
    }
    ++field_version;
    return 0;
}

// A Python subclass's own dealloc untracks the object and drops its type
// reference around this one.
void field_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    for (PyObject*& slot : as_field(self)->slot) Py_CLEAR(slot);
    Py_TYPE(self)->tp_free(self);
}

PyObject* slot_get(PyObject* self, void* closure) {
    PyObject* value = as_field(self)->slot[reinterpret_cast<intptr_t>(closure)];
    if (!value) value = Py_None;
    Py_INCREF(value);
    return value;
}

// Any object is accepted; deleting stores None. Every write moves
// field_version, which tells cached layouts that they may be stale.
int slot_set(PyObject* self, PyObject* value, void* closure) {
    if (!value) value = Py_None;
    Py_INCREF(value);
    ++field_version;
    replace_field(as_field(self)->slot[reinterpret_cast<intptr_t>(closure)], value);
    return 0;
}

// The bytes of `p` without a UTF-8 character cut short at its end (a
// library that cut a name at its record's 31 bytes may have split one).
Py_ssize_t without_cut_character(const char* p, Py_ssize_t n) {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    Py_ssize_t start = n;
    while (start > 0 && n - start < 3 && (s[start - 1] & 0xC0) == 0x80) --start;
    if (start == 0 || s[start - 1] < 0xC0) return n;
    const unsigned char lead = s[start - 1];
    const Py_ssize_t needs = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return n - (start - 1) < needs ? start - 1 : n;
}

PyObject* decode_name(PyObject* raw) {
    if (PyBytes_CheckExact(raw)) {
        const char* p = PyBytes_AS_STRING(raw);
        const Py_ssize_t n = PyBytes_GET_SIZE(raw);
        return message_decode(p, text_utf8() ? without_cut_character(p, n) : n);
    }
    return PyObject_CallMethod(raw, "decode", "s", "cp866");
}

// 1 when `raw` is not equal to b"", 0 when it is, -1 with an exception.
int is_nonempty(PyObject* raw) {
    if (PyBytes_CheckExact(raw)) return PyBytes_GET_SIZE(raw) != 0;
    Ref empty(PyBytes_FromStringAndSize("", 0));
    return empty ? PyObject_RichCompareBool(raw, empty.get(), Py_NE) : -1;
}

PyObject* field_name(PyObject* self, void*) {
    // The second name wins; both names may be absent.
    for (FieldSlot which : {F_ASNAME, F_FNAME}) {
        Ref raw = Ref::borrow(as_field(self)->slot[which]);
        if (!raw) raw = Ref::borrow(Py_None);
        const int nonempty = is_nonempty(raw.get());
        if (nonempty < 0) return nullptr;
        if (nonempty) return decode_name(raw.get());
    }
    return PyUnicode_FromStringAndSize("", 0);
}

PyObject* field_str(PyObject* self) {
    Ref name(PyObject_GetAttrString(self, "name"));
    if (!name) return nullptr;
    Ref type = Ref::borrow(as_field(self)->slot[F_TYPE]);
    return PyUnicode_FromFormat("%S %S", name.get(), type ? type.get() : Py_None);
}

#define QX_SLOT_GETSET(index) \
    {kSlotNames[index], slot_get, slot_set, nullptr, reinterpret_cast<void*>(intptr_t{index})}

PyGetSetDef field_getset[] = {
    QX_SLOT_GETSET(F_ALIASNO), QX_SLOT_GETSET(F_FIELDNO), QX_SLOT_GETSET(F_TYPE),
    QX_SLOT_GETSET(F_LEN),     QX_SLOT_GETSET(F_OFF),     QX_SLOT_GETSET(F_CODER),
    QX_SLOT_GETSET(F_FNAME),   QX_SLOT_GETSET(F_FUNC),    QX_SLOT_GETSET(F_ASNAME),
    QX_SLOT_GETSET(F_KEY),     QX_SLOT_GETSET(F_RESNO),
    {"name", field_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QX_SLOT_GETSET

// A name member of the column record: up to its first zero byte, at most
// the member's 32 bytes when it has none.
PyObject* record_bytes(const char* member, size_t size) {
    const void* zero = std::memchr(member, 0, size);
    const size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - member) : size;
    return PyBytes_FromStringAndSize(member, static_cast<Py_ssize_t>(n));
}

}  // namespace

PyTypeObject FieldType = [] {
    PyTypeObject t = static_type("pyqivrexdb.qxcore.Field", sizeof(FieldObject));
    t.tp_dealloc = field_dealloc;
    t.tp_str = field_str;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = field_traverse;
    t.tp_clear = field_clear;
    t.tp_getset = field_getset;
    t.tp_new = field_new;
    t.tp_free = PyObject_GC_Del;
    return t;
}();

PyObject* field_from_colstruct(const ColStruct_t* rec) {
    Ref field(field_new(&FieldType, nullptr, nullptr));
    if (!field) return nullptr;
    ColStruct_t r;
    std::memcpy(&r, rec, sizeof r);
    PyObject** slot = as_field(field.get())->slot;
    auto set = [slot](FieldSlot which, PyObject* value) {
        if (!value) return false;
        replace_field(slot[which], value);
        return true;
    };
    const bool ok = set(F_ALIASNO, PyLong_FromLong(r.aliasno)) && set(F_FIELDNO, PyLong_FromLong(r.fieldno)) &&
                    set(F_TYPE, PyLong_FromLong(r.type)) && set(F_LEN, PyLong_FromUnsignedLong(r.len)) &&
                    set(F_OFF, PyLong_FromUnsignedLong(r.off)) &&
                    set(F_CODER, record_bytes(r.coder, sizeof r.coder)) &&
                    set(F_FNAME, record_bytes(r.fname, sizeof r.fname)) && set(F_FUNC, PyLong_FromLong(r.func)) &&
                    set(F_ASNAME, record_bytes(r.asname, sizeof r.asname)) &&
                    set(F_KEY, PyLong_FromLong(r.key)) && set(F_RESNO, PyLong_FromLong(r.resno));
    return ok ? field.release() : nullptr;
}

PyObject* description_of(PyObject* columns_arg) {
    // Held for the whole access: building the class or reading a Field may
    // run code that executes on the cursor and replaces its column list.
    Ref held = Ref::borrow(columns_arg);
    PyObject* columns = held.get();
    const int any = PyObject_IsTrue(columns);
    if (any < 0) return nullptr;
    if (!any) Py_RETURN_NONE;
    // A new class on every access: the named tuples of two accesses never
    // share a class.
    Ref collections = global("collections");
    if (!collections) return nullptr;
    Ref names(Py_BuildValue("[sssssss]", "name", "type_code", "display_size", "internal_size", "precision",
                            "scale", "null_ok"));
    if (!names) return nullptr;
    Ref tuple_class(PyObject_CallMethod(collections.get(), "namedtuple", "sO", "Field", names.get()));
    if (!tuple_class) return nullptr;
    Ref result(PyList_New(0));
    Ref it(PyObject_GetIter(columns));
    if (!result || !it) return nullptr;
    while (Ref field{PyIter_Next(it.get())}) {
        Ref name(PyObject_GetAttrString(field.get(), "name"));
        if (!name) return nullptr;
        Ref type(PyObject_GetAttrString(field.get(), "type"));
        if (!type) return nullptr;
        Ref len(PyObject_GetAttrString(field.get(), "len"));
        if (!len) return nullptr;
        Ref args(Py_BuildValue("(OOiOOOO)", name.get(), type.get(), 0, len.get(), Py_None, Py_None, Py_None));
        if (!args) return nullptr;
        Ref item(PyObject_Call(tuple_class.get(), args.get(), nullptr));
        if (!item || PyList_Append(result.get(), item.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

namespace {

// Fields of column records seen before. Queries repeat, and with them their
// 128-byte column records: a new Field for a record met before takes the
// (immutable) attribute values made for it then, instead of converting eleven
// members again. A direct-mapped table of recent records; the values live
// until exit.
struct FieldTemplate {
    ColStruct_t record;
    PyObject* values[F_COUNT] = {};
};
constexpr size_t kTemplates = 256;
FieldTemplate g_templates[kTemplates];

size_t template_slot(const ColStruct_t* rec) {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    const auto* p = reinterpret_cast<const unsigned char*>(rec);
    for (size_t i = 0; i < sizeof(ColStruct_t); i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    return static_cast<size_t>(h >> 56) & (kTemplates - 1);
}

}  // namespace

PyObject* new_field(const ColStruct_t* rec) {
    static_assert(sizeof(ColStruct_t) % 8 == 0, "column records hash in words");
    FieldTemplate& t = g_templates[template_slot(rec)];
    if (t.values[0] && std::memcmp(&t.record, rec, sizeof(ColStruct_t)) == 0) {
        PyObject* field = FieldType.tp_alloc(&FieldType, 0);
        if (!field) return nullptr;
        PyObject** slot = reinterpret_cast<FieldObject*>(field)->slot;
        for (int i = 0; i < F_COUNT; ++i) slot[i] = new_ref(t.values[i]);
        return field;
    }
    Ref field(field_from_colstruct(rec));
    if (!field) return nullptr;
    // Taken before the Field reaches anyone who could change it.
    PyObject* old[F_COUNT];
    PyObject** slot = reinterpret_cast<FieldObject*>(field.get())->slot;
    for (int i = 0; i < F_COUNT; ++i) {
        old[i] = t.values[i];
        t.values[i] = new_ref(slot[i]);
    }
    std::memcpy(&t.record, rec, sizeof(ColStruct_t));
    for (PyObject* o : old) Py_XDECREF(o);
    return field.release();
}

}  // namespace qx
