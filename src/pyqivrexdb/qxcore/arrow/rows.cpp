// Arrow data read back as rows of Python values, for the bulk path of
// Cursor.adbc_ingest: the load then packs, checks and refuses each value as
// it does a row given by hand. nanoarrow checks each batch against its
// schema (offsets, buffer sizes) before a value is read; a column's reader
// is chosen from its type once, and a type it has none for is refused by
// name before any row is read.
#include "rows.h"
#include "arrow.h"
#include "dictionary.h"

#include "../base/common.h"
#include "../base/pending.h"
#include "../base/pytype.h"

#include <nanoarrow/nanoarrow.h>

#include <datetime.h>
#include <structmember.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace qx::arrow {

namespace {

PyObject* read_int(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    return PyLong_FromLongLong(ArrowArrayViewGetIntUnsafe(v, i));
}

PyObject* read_uint(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    return PyLong_FromUnsignedLongLong(ArrowArrayViewGetUIntUnsafe(v, i));
}

PyObject* read_real(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    return PyFloat_FromDouble(ArrowArrayViewGetDoubleUnsafe(v, i));
}

PyObject* read_bool(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    return PyBool_FromLong(ArrowArrayViewGetIntUnsafe(v, i) != 0);
}

PyObject* read_null(const ArrowArrayView*, int64_t, const ArrowSchemaView&) { Py_RETURN_NONE; }

PyObject* read_text(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    const ArrowStringView s = ArrowArrayViewGetStringUnsafe(v, i);
    return PyUnicode_DecodeUTF8(s.data, static_cast<Py_ssize_t>(s.size_bytes), "strict");
}

PyObject* read_bytes(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    const ArrowBufferView b = ArrowArrayViewGetBytesUnsafe(v, i);
    return PyBytes_FromStringAndSize(b.data.as_char, static_cast<Py_ssize_t>(b.size_bytes));
}

}  // namespace

void civil_from_days(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
    // A year past int's range (a timestamp in seconds reaches 10^11) is out
    // of every range, not cut to its low 32 bits, which may look like 2000.
    *y = year > INT_MAX ? INT_MAX : year < INT_MIN ? INT_MIN : static_cast<int>(year);
}

int64_t floor_div(int64_t a, int64_t b, int64_t* rest) {
    int64_t q = a / b, r = a % b;
    if (r < 0) r += b, --q;
    *rest = r;
    return q;
}

Instant instant_of(int64_t value, const ArrowSchemaView& type) {
    const int64_t per_second = type.time_unit == NANOARROW_TIME_UNIT_SECOND ? 1
                               : type.time_unit == NANOARROW_TIME_UNIT_MILLI ? 1000
                               : type.time_unit == NANOARROW_TIME_UNIT_MICRO ? 1000000
                                                                             : 1000000000;
    Instant t{};
    int64_t sub;
    t.days = floor_div(floor_div(value, per_second, &sub), 86400, &t.second);
    if (per_second > 1000000) {
        t.micro = sub / (per_second / 1000000);
        t.lost = sub % (per_second / 1000000);
    } else {
        t.micro = sub * (1000000 / per_second);
    }
    return t;
}

namespace {

PyObject* date_of(int64_t days) {
    int y, m, d;
    civil_from_days(days, &y, &m, &d);
    return PyDate_FromDate(y, m, d);
}

PyObject* read_date32(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    return date_of(ArrowArrayViewGetIntUnsafe(v, i));
}

PyObject* read_date64(const ArrowArrayView* v, int64_t i, const ArrowSchemaView&) {
    int64_t rest;
    return date_of(floor_div(ArrowArrayViewGetIntUnsafe(v, i), 86400000, &rest));
}

// A timestamp; one with a time zone is an aware datetime in UTC, which the
// load writes as it writes any aware datetime.
PyObject* read_timestamp(const ArrowArrayView* v, int64_t i, const ArrowSchemaView& type) {
    const Instant t = instant_of(ArrowArrayViewGetIntUnsafe(v, i), type);
    if (t.lost) {
        // A datetime keeps microseconds: dropping the rest would store another instant.
        PyErr_Format(PyExc_ValueError, "%lld nanoseconds past the microsecond would be lost",
                     static_cast<long long>(t.lost));
        return nullptr;
    }
    int y, m, d;
    civil_from_days(t.days, &y, &m, &d);
    const bool aware = type.timezone && *type.timezone;
    return PyDateTimeAPI->DateTime_FromDateAndTime(y, m, d, static_cast<int>(t.second / 3600),
                                                   static_cast<int>(t.second / 60 % 60), static_cast<int>(t.second % 60),
                                                   static_cast<int>(t.micro), aware ? PyDateTime_TimeZone_UTC : Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

// A decimal as decimal.Decimal, from its digits and its scale.
PyObject* read_decimal(const ArrowArrayView* v, int64_t i, const ArrowSchemaView& type) {
    ArrowDecimal value;
    ArrowDecimalInit(&value, type.decimal_bitwidth, type.decimal_precision, type.decimal_scale);
    ArrowArrayViewGetDecimalUnsafe(v, i, &value);
    ArrowBuffer digits;
    ArrowBufferInit(&digits);
    if (ArrowDecimalAppendDigitsToBuffer(&value, &digits) != NANOARROW_OK ||
        ArrowBufferAppendInt8(&digits, 0) != NANOARROW_OK) {
        ArrowBufferReset(&digits);
        return PyErr_NoMemory();
    }
    Ref text(PyUnicode_FromFormat("%sE%d", reinterpret_cast<const char*>(digits.data), -type.decimal_scale));
    ArrowBufferReset(&digits);
    if (!text) return nullptr;
    Ref module(PyImport_ImportModule("decimal"));
    return module ? PyObject_CallMethod(module.get(), "Decimal", "O", text.get()) : nullptr;
}

}  // namespace

Reader reader_for(ArrowType type) {
    switch (type) {
        case NANOARROW_TYPE_NA: return read_null;
        case NANOARROW_TYPE_BOOL: return read_bool;
        case NANOARROW_TYPE_INT8:
        case NANOARROW_TYPE_INT16:
        case NANOARROW_TYPE_INT32:
        case NANOARROW_TYPE_INT64: return read_int;
        case NANOARROW_TYPE_UINT8:
        case NANOARROW_TYPE_UINT16:
        case NANOARROW_TYPE_UINT32:
        case NANOARROW_TYPE_UINT64: return read_uint;
        case NANOARROW_TYPE_FLOAT:
        case NANOARROW_TYPE_DOUBLE: return read_real;
        case NANOARROW_TYPE_STRING:
        case NANOARROW_TYPE_LARGE_STRING:
        case NANOARROW_TYPE_STRING_VIEW: return read_text;
        case NANOARROW_TYPE_BINARY:
        case NANOARROW_TYPE_LARGE_BINARY:
        case NANOARROW_TYPE_BINARY_VIEW: return read_bytes;
        case NANOARROW_TYPE_DATE32: return read_date32;
        case NANOARROW_TYPE_DATE64: return read_date64;
        case NANOARROW_TYPE_TIMESTAMP: return read_timestamp;
        case NANOARROW_TYPE_DECIMAL128: return read_decimal;
        default: return nullptr;
    }
}

int refuse_column(const ArrowSchema* c, const char* type_name) {
    Ref text(PyUnicode_FromFormat("column %s is of the Arrow type %s, which cannot be loaded", c->name ? c->name : "?",
                                  type_name));
    if (text) raise_object("NotSupportedError", text.get());
    return -1;
}

namespace {

void drop_batch(RowsObject* r) {
    if (r->batch.release) r->batch.release(&r->batch);
    r->batch.release = nullptr;
}

// Also after a refusal was raised: a producer written in Python runs
// Python code to release, which must not find the refusal pending.
void done(RowsObject* r) {
    SetAside keep;
    drop_batch(r);
    if (r->stream.release) r->stream.release(&r->stream);
    r->stream.release = nullptr;
}

void rows_dealloc(PyObject* self) {
    auto* r = reinterpret_cast<RowsObject*>(self);
    done(r);
    if (r->viewing) ArrowArrayViewReset(&r->view);
    if (r->schema.release) r->schema.release(&r->schema);
    delete r->columns;
    Py_XDECREF(r->fields);
    Py_XDECREF(r->single);
    Py_TYPE(self)->tp_free(self);
}

// Raises the stream's error as a DataError of ours: the source of the data
// failed, not the database.
int stream_failed(RowsObject* r, int code) {
    const char* text = r->stream.get_last_error ? r->stream.get_last_error(&r->stream) : nullptr;
    Ref message(PyUnicode_FromFormat("the Arrow stream failed: %s", text ? text : std::strerror(code)));
    if (message) raise_object("DataError", message.get());
    done(r);
    return -1;
}

// A batch's rows are never null as a whole: the values under such a row
// are none the source gave, so a struct array with one is refused. -1
// with a DataError naming the row, else 0.
int refuse_null_rows(RowsObject* r) {
    if (r->batch.null_count == 0 || !r->view.buffer_views[0].data.data) return 0;
    for (int64_t i = 0; i < r->batch.length; ++i) {
        if (!ArrowArrayViewIsNull(&r->view, i)) continue;
        Ref message(PyUnicode_FromFormat("row %lld of an Arrow batch is null as a whole; a table's row cannot be",
                                         static_cast<long long>(i)));
        if (message) raise_object("DataError", message.get());
        done(r);
        return -1;
    }
    return 0;
}

// Whether every column's offsets rise (a dictionary column's values'; its
// indices are checked row by row, naming the row): a text between offsets
// that fall is no text, and one past the next offset reads past its data.
// Both readers of the batch trust them.
bool offsets_rise(RowsObject* r, ArrowError* error) {
    for (int64_t k = 0; k < r->view.n_children; ++k) {
        ArrowArrayView* column = r->view.children[k];
        ArrowArrayView* values = column->dictionary ? column->dictionary : column;
        if (ArrowArrayViewValidate(values, NANOARROW_VALIDATION_LEVEL_FULL, error) != NANOARROW_OK) return false;
    }
    return true;
}

}  // namespace

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
        ArrowError error{};
        if (ArrowArrayViewSetArray(&r->view, &r->batch, &error) != NANOARROW_OK || !offsets_rise(r, &error)) {
            Ref message(PyUnicode_FromFormat("an Arrow batch does not match its schema: %s", error.message));
            if (message) raise_object("DataError", message.get());
            done(r);
            return -1;
        }
        if (refuse_null_rows(r) < 0) return -1;
    }
    return 1;
}

PyObject* row_values(RowsObject* r, int64_t row) {
    const size_t n = r->columns->size();
    Ref values(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!values) return nullptr;
    // A struct's children are read at the struct's own offset too.
    const int64_t i = row + r->view.offset;
    for (size_t k = 0; k < n; ++k) {
        const ColumnReader& c = (*r->columns)[k];
        int64_t at = i;
        const ArrowArrayView* v = value_view(c, r->view.children[k], &at);
        if (!v && PyErr_Occurred()) return nullptr;
        PyObject* value = v ? c.read(v, at, c.type) : new_ref(Py_None);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(values.get(), static_cast<Py_ssize_t>(k), value);
    }
    return values.release();
}

namespace {

PyObject* rows_next(PyObject* self) {
    auto* r = reinterpret_cast<RowsObject*>(self);
    const int more = next_batch(r);
    if (more <= 0) return nullptr;
    PyObject* row = row_values(r, r->row);
    if (row) ++r->row;
    return row;
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
    ArrowError error{};
    ArrowSchemaView table;
    if (ArrowSchemaViewInit(&table, &s, &error) != NANOARROW_OK || table.type != NANOARROW_TYPE_STRUCT) {
        raise_message("NotSupportedError", "the Arrow data must be a table of columns (a struct of arrays)");
        return -1;
    }
    Ref fields(PyList_New(0));
    if (!fields) return -1;
    for (int64_t k = 0; k < s.n_children; ++k) {
        const ArrowSchema* c = s.children[k];
        ColumnReader column{};
        if (ArrowSchemaViewInit(&column.type, c, &error) != NANOARROW_OK) return refuse_column(c, c->format);
        if (c->dictionary) {
            if (dictionary_column(c, &column) < 0) return -1;
        } else {
            column.read = reader_for(column.type.type);
            if (!column.read) return refuse_column(c, ArrowTypeString(column.type.type));
        }
        r->columns->push_back(column);
        // A dictionary column is of its values' type to the table it fills.
        Ref item(Py_BuildValue("(ssO)", c->name ? c->name : "", c->dictionary ? c->dictionary->format : c->format,
                               (c->flags & ARROW_FLAG_NULLABLE) ? Py_True : Py_False));
        if (!item || PyList_Append(fields.get(), item.get()) < 0) return -1;
    }
    if (ArrowArrayViewInitFromSchema(&r->view, &s, &error) != NANOARROW_OK) {
        PyErr_Format(PyExc_ValueError, "the Arrow schema cannot be read: %s", error.message);
        return -1;
    }
    r->viewing = true;
    r->fields = fields.release();
    return 0;
}

}  // namespace

RowsObject* as_rows(PyObject* obj) {
    if (PyObject_TypeCheck(obj, &RowsType)) return reinterpret_cast<RowsObject*>(obj);
    PyErr_Format(PyExc_TypeError, "expected the rows of arrow_rows(), not %.100s", Py_TYPE(obj)->tp_name);
    return nullptr;
}

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
    r->columns = new std::vector<ColumnReader>;
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
