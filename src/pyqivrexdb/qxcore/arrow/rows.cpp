// Arrow data read back as rows of Python values, for the bulk path of
// Cursor.adbc_ingest: the load then packs, checks and refuses each value as
// it does a row given by hand. A column's reader is chosen from its format
// once; a type it has none for is refused by name before any row is read.
#include "arrow.h"

#include "../module/module.h"
#include "../module/pending.h"
#include "../module/pytype.h"
#include "abi.h"

#include <datetime.h>
#include <structmember.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace qx::arrow {

namespace {

struct RowsObject;
using Reader = PyObject* (*)(const ArrowArray* a, int64_t i, const std::string& unit);

bool valid(const ArrowArray* a, int64_t i) {
    const auto* bits = static_cast<const unsigned char*>(a->buffers[0]);
    return a->null_count == 0 || !bits || (bits[i >> 3] >> (i & 7) & 1);
}

template <typename T>
PyObject* read_int(const ArrowArray* a, int64_t i, const std::string&) {
    const T v = static_cast<const T*>(a->buffers[1])[i];
    if constexpr (std::is_signed_v<T>) return PyLong_FromLongLong(v);
    else return PyLong_FromUnsignedLongLong(v);
}

template <typename T>
PyObject* read_real(const ArrowArray* a, int64_t i, const std::string&) {
    return PyFloat_FromDouble(static_cast<const T*>(a->buffers[1])[i]);
}

PyObject* read_bool(const ArrowArray* a, int64_t i, const std::string&) {
    return PyBool_FromLong(static_cast<const unsigned char*>(a->buffers[1])[i >> 3] >> (i & 7) & 1);
}

PyObject* read_null(const ArrowArray*, int64_t, const std::string&) { Py_RETURN_NONE; }

template <typename O, bool Text>
PyObject* read_varying(const ArrowArray* a, int64_t i, const std::string&) {
    const O* offsets = static_cast<const O*>(a->buffers[1]);
    const char* p = static_cast<const char*>(a->buffers[2]) + offsets[i];
    const Py_ssize_t n = static_cast<Py_ssize_t>(offsets[i + 1] - offsets[i]);
    return Text ? PyUnicode_DecodeUTF8(p, n, "strict") : PyBytes_FromStringAndSize(p, n);
}

// A string or binary view: 16 bytes a value, short values inline.
template <bool Text>
PyObject* read_view(const ArrowArray* a, int64_t i, const std::string&) {
    const unsigned char* v = static_cast<const unsigned char*>(a->buffers[1]) + 16 * i;
    int32_t n, index, offset;
    std::memcpy(&n, v, 4);
    const char* p;
    if (n <= 12) {
        p = reinterpret_cast<const char*>(v + 4);
    } else {
        std::memcpy(&index, v + 8, 4);
        std::memcpy(&offset, v + 12, 4);
        p = static_cast<const char*>(a->buffers[2 + index]) + offset;
    }
    return Text ? PyUnicode_DecodeUTF8(p, n, "strict") : PyBytes_FromStringAndSize(p, n);
}

// Civil date of a day count since 1970-01-01.
void civil_from_days(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

PyObject* date_of(int64_t days) {
    int y, m, d;
    civil_from_days(days, &y, &m, &d);
    return PyDate_FromDate(y, m, d);
}

PyObject* read_date32(const ArrowArray* a, int64_t i, const std::string&) {
    return date_of(static_cast<const int32_t*>(a->buffers[1])[i]);
}

PyObject* read_date64(const ArrowArray* a, int64_t i, const std::string&) {
    const int64_t ms = static_cast<const int64_t*>(a->buffers[1])[i];
    return date_of((ms >= 0 ? ms : ms - 86399999) / 86400000);
}

// A timestamp in the unit of its format ("tss", "tsm", "tsu", "tsn"); one
// with a time zone is an aware datetime in UTC, which the load writes as it
// writes any aware datetime.
PyObject* read_timestamp(const ArrowArray* a, int64_t i, const std::string& format) {
    const int64_t v = static_cast<const int64_t*>(a->buffers[1])[i];
    const char unit = format[2];
    const int64_t per_second = unit == 's' ? 1 : unit == 'm' ? 1000 : unit == 'u' ? 1000000 : 1000000000;
    int64_t seconds = v / per_second, sub = v % per_second;
    if (sub < 0) sub += per_second, --seconds;
    const int64_t us = per_second >= 1000000 ? sub / (per_second / 1000000) : sub * (1000000 / per_second);
    int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) rest += 86400, --days;
    int y, m, d;
    civil_from_days(days, &y, &m, &d);
    const bool aware = format.size() > 4;
    return PyDateTimeAPI->DateTime_FromDateAndTime(y, m, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                                                   static_cast<int>(rest % 60), static_cast<int>(us),
                                                   aware ? PyDateTime_TimeZone_UTC : Py_None, PyDateTimeAPI->DateTimeType);
}

// The reader of a format; null with *name the type's name when none.
Reader reader_for(const std::string& f, const char** name) {
    static const struct {
        const char* format;
        Reader reader;
    } plain[] = {{"n", read_null},
                 {"b", read_bool},
                 {"c", read_int<int8_t>},
                 {"C", read_int<uint8_t>},
                 {"s", read_int<int16_t>},
                 {"S", read_int<uint16_t>},
                 {"i", read_int<int32_t>},
                 {"I", read_int<uint32_t>},
                 {"l", read_int<int64_t>},
                 {"L", read_int<uint64_t>},
                 {"f", read_real<float>},
                 {"g", read_real<double>},
                 {"u", read_varying<int32_t, true>},
                 {"U", read_varying<int64_t, true>},
                 {"z", read_varying<int32_t, false>},
                 {"Z", read_varying<int64_t, false>},
                 {"vu", read_view<true>},
                 {"vz", read_view<false>},
                 {"tdD", read_date32},
                 {"tdm", read_date64}};
    for (const auto& p : plain)
        if (f == p.format) return p.reader;
    if (f.size() >= 4 && f.compare(0, 2, "ts") == 0 && std::strchr("smun", f[2]) && f[3] == ':') return read_timestamp;
    static const struct {
        const char* prefix;
        const char* name;
    } names[] = {{"+s", "struct"}, {"+us", "sparse union"}, {"+ud", "dense union"}, {"+l", "list"},
                 {"+L", "large list"}, {"+vl", "list view"}, {"+w", "fixed-size list"}, {"+m", "map"},
                 {"+r", "run-end encoded"}, {"e", "float16"}, {"d:", "decimal"}, {"w:", "fixed-size binary"},
                 {"tt", "time"}, {"tD", "duration"}, {"ti", "interval"}};
    *name = f.c_str();
    for (const auto& n : names)
        if (f.compare(0, std::strlen(n.prefix), n.prefix) == 0) *name = n.name;
    return nullptr;
}

struct RowsObject {
    PyObject_HEAD
    ArrowArrayStream stream;  // released when done
    ArrowSchema schema;
    ArrowArray batch;          // the current batch, or release null
    int64_t row;               // next row in it
    std::vector<Reader>* readers;
    std::vector<std::string>* formats;
    PyObject* fields;          // owned: list of (name, format, nullable)
    PyObject* single;          // owned: the capsules of an __arrow_c_array__ export, until read
};

void drop_batch(RowsObject* r) {
    if (r->batch.release) r->batch.release(&r->batch);
    r->batch.release = nullptr;
}

void done(RowsObject* r) {
    drop_batch(r);
    if (r->stream.release) r->stream.release(&r->stream);
    r->stream.release = nullptr;
    if (r->schema.release) r->schema.release(&r->schema);
    r->schema.release = nullptr;
}

void rows_dealloc(PyObject* self) {
    auto* r = reinterpret_cast<RowsObject*>(self);
    done(r);
    delete r->readers;
    delete r->formats;
    Py_XDECREF(r->fields);
    Py_XDECREF(r->single);
    Py_TYPE(self)->tp_free(self);
}

// Raises the stream's error as the consumer's exception.
int stream_failed(RowsObject* r, int code) {
    const char* text = r->stream.get_last_error ? r->stream.get_last_error(&r->stream) : nullptr;
    PyErr_Format(PyExc_OSError, "the Arrow stream failed: %s", text ? text : std::strerror(code));
    done(r);
    return -1;
}

// Makes a batch with rows left current: 1, 0 at the end, -1 on error.
int next_batch(RowsObject* r) {
    while (!r->batch.release || r->row >= r->batch.length) {
        drop_batch(r);
        if (r->single) {
            // The one batch of an __arrow_c_array__ export, moved out of its capsule.
            auto* a = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(r->single, 1), "arrow_array"));
            if (!a) return -1;
            r->batch = *a;
            a->release = nullptr;
            Py_CLEAR(r->single);
        } else if (r->stream.release) {
            const int rc = r->stream.get_next(&r->stream, &r->batch);
            if (rc != 0) return stream_failed(r, rc);
            if (!r->batch.release) return done(r), 0;
        } else {
            return 0;
        }
        r->row = 0;
        if (r->batch.n_children != static_cast<int64_t>(r->readers->size())) {
            PyErr_SetString(PyExc_ValueError, "an Arrow batch does not match its schema");
            done(r);
            return -1;
        }
    }
    return 1;
}

PyObject* rows_next(PyObject* self) {
    auto* r = reinterpret_cast<RowsObject*>(self);
    const int more = next_batch(r);
    if (more <= 0) return nullptr;
    const size_t n = r->readers->size();
    Ref row(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!row) return nullptr;
    const int64_t i = r->row + r->batch.offset;
    for (size_t k = 0; k < n; ++k) {
        const ArrowArray* a = r->batch.children[k];
        const int64_t at = i + a->offset;
        PyObject* value;
        if (!valid(a, at)) {
            value = new_ref(Py_None);
        } else {
            value = (*r->readers)[k](a, at, (*r->formats)[k]);
            if (!value) return nullptr;
        }
        PyTuple_SET_ITEM(row.get(), static_cast<Py_ssize_t>(k), value);
    }
    ++r->row;
    return row.release();
}

PyMemberDef rows_members[] = {{"fields", T_OBJECT, offsetof(RowsObject, fields), READONLY, nullptr},
                              {nullptr, 0, 0, 0, nullptr}};

PyTypeObject RowsType = [] {
    PyTypeObject t = static_type("pyqivrexdb._qxstandard.ArrowRows", sizeof(RowsObject));
    t.tp_dealloc = rows_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = rows_next;
    t.tp_members = rows_members;
    return t;
}();

// Moves the struct out of a capsule named `name` (its release then null).
template <typename T>
int take_capsule(PyObject* capsule, const char* name, T* out) {
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (!p) return -1;
    *out = *p;
    p->release = nullptr;
    return 0;
}

// Checks the schema and chooses the readers; 0, or -1 with an exception.
int describe(RowsObject* r) {
    const ArrowSchema& s = r->schema;
    if (std::strcmp(s.format, "+s") != 0) {
        raise_message("NotSupportedError", "the Arrow data must be a table of columns (a struct of arrays)");
        return -1;
    }
    Ref fields(PyList_New(0));
    if (!fields) return -1;
    for (int64_t k = 0; k < s.n_children; ++k) {
        const ArrowSchema* c = s.children[k];
        const std::string format = c->format;
        const char* type_name = nullptr;
        const Reader reader = c->dictionary ? nullptr : reader_for(format, &type_name);
        if (!reader) {
            Ref text(PyUnicode_FromFormat("column %s is of the Arrow type %s, which cannot be loaded",
                                          c->name ? c->name : "?", c->dictionary ? "dictionary" : type_name));
            if (text) raise_object("NotSupportedError", text.get());
            return -1;
        }
        r->readers->push_back(reader);
        r->formats->push_back(format);
        Ref item(Py_BuildValue("(ssO)", c->name ? c->name : "", c->format,
                               (c->flags & ARROW_FLAG_NULLABLE) ? Py_True : Py_False));
        if (!item || PyList_Append(fields.get(), item.get()) < 0) return -1;
    }
    r->fields = fields.release();
    return 0;
}

}  // namespace

PyObject* arrow_rows(PyObject*, PyObject* data) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return nullptr;
    }
    if (PyType_Ready(&RowsType) < 0) return nullptr;
    PyObject* obj = RowsType.tp_alloc(&RowsType, 0);
    if (!obj) return nullptr;
    Ref held(obj);
    auto* r = reinterpret_cast<RowsObject*>(obj);
    r->readers = new std::vector<Reader>;
    r->formats = new std::vector<std::string>;
    if (PyObject_HasAttrString(data, "__arrow_c_stream__")) {
        Ref capsule(PyObject_CallMethod(data, "__arrow_c_stream__", nullptr));
        if (!capsule || take_capsule(capsule.get(), "arrow_array_stream", &r->stream) < 0) return nullptr;
        const int rc = r->stream.get_schema(&r->stream, &r->schema);
        if (rc != 0) return stream_failed(r, rc), nullptr;
    } else if (PyObject_HasAttrString(data, "__arrow_c_array__")) {
        Ref pair(PyObject_CallMethod(data, "__arrow_c_array__", nullptr));
        if (!pair) return nullptr;
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
            return PyErr_Format(PyExc_TypeError, "__arrow_c_array__ must return a pair of capsules");
        if (take_capsule(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema", &r->schema) < 0) return nullptr;
        r->single = pair.release();
    } else {
        return PyErr_Format(PyExc_TypeError,
                            "expected an object exporting Arrow data (__arrow_c_stream__ or __arrow_c_array__), "
                            "not %.100s",
                            Py_TYPE(data)->tp_name);
    }
    if (describe(r) < 0) return nullptr;
    return held.release();
}

}  // namespace qx::arrow
