// Cursor results as an Arrow stream: _qxstandard.arrow_result(cursor,
// batch_size) gives an object exporting __arrow_c_stream__, whose batches
// are cut from the cursor's records as the consumer asks for them, so the
// memory held is one batch whatever the result's size. A library that
// hands a result over as Arrow arrays itself (qcSqlReadArrow) gives the
// batches after the records it made before. The consumer may call the
// stream from any thread, with or without the interpreter lock.
#include "columns.h"

#include "../client/calls.h"
#include "../client/loader.h"
#include "../cursor/record_iterator.h"
#include "../cursor/standard_cursor.h"
#include "../client/causes.h"
#include "../client/server_text.h"
#include "../client/cp866.h"

#include <cerrno>
#include <string>

namespace qx::arrow {

namespace {

// The stream's own state; the stream holds the cursor and its records.
struct StreamData {
    Ref cursor;
    Ref records;  // the records iterator, or null for a result of no rows
    BatchBuilder builder;
    int64_t batch_rows;
    std::string error;
    Ref failures;  // a list the stream's exceptions go to, shared with the result object
    bool direct = false;  // the library hands the rows over as Arrow arrays
    int64_t records_first = 0;  // records to read before asking it again
};

struct Gil {
    PyGILState_STATE state = PyGILState_Ensure();
    ~Gil() { PyGILState_Release(state); }
};

// The pending exception as the stream's error text, cleared; EIO.
int fail(StreamData* d) {
    Ref error(take_pending());
    Ref text(error ? PyObject_Str(error.get()) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    d->error = std::string(error ? Py_TYPE(error.get())->tp_name : "error") + ": " + (utf8 ? utf8 : "?");
    // Kept as it was raised, for a caller of ours that reads the stream itself.
    if (error && d->failures) PyList_Append(d->failures.get(), error.get());
    PyErr_Clear();
    return EIO;
}

int take_block(void* ctx, const RecordBlock& block) { return static_cast<BatchBuilder*>(ctx)->add(block); }

// The library's next Arrow batch into `out`: 0 with it there (or the end,
// out released), 1 when records come first (records_first set), -1 with an
// exception set.
int library_batch(StreamData* d, CursorObject* c, ArrowArray* out) {
    const int32_t handle = c->stmt_handle, start = c->start_record;
    const qc_long max_rows = static_cast<qc_long>(std::min<int64_t>(d->batch_rows, INT32_MAX));
    qc_long rows = 0;
    const int rc = waiting_call(c->lock, c->hdb, [&] {
        return qc.qcSqlReadArrow(handle, start, max_rows, 1u << 30, nullptr, out, &rows);
    });
    if (rc > 0) {
        d->records_first = rc;
        return 1;
    }
    if (rc == QSCLI_E_UNSUPPORTED) {
        d->direct = false;
        return 1;
    }
    if (rc < 0) {
        // Only a UTF-8 connection gets Arrow arrays: its error text is UTF-8 too.
        TextScope utf8(true);
        Ref text = statement_error_text(handle, c->lock);
        raise_by_cause(rc, text.get(), "qcSqlReadArrow");
        // The rest of the result is gone: every later read of it, by rows
        // or by batches, raises rather than end as if it had no more.
        records_fail(d->records.get());
        return -1;
    }
    if (!out->release) {
        d->records = Ref();
        return 0;
    }
    c->start_record = static_cast<int32_t>(static_cast<uint32_t>(start) + static_cast<uint32_t>(rows));
    return 0;
}

int get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    auto* d = static_cast<StreamData*>(s->private_data);
    return d->builder.schema(out);
}

// At most batch_rows records, and a batch's text of at most 1 GiB, so its
// int32 offsets hold; an empty batch ends the stream (release nulled).
int get_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* d = static_cast<StreamData*>(s->private_data);
    Gil gil;
    constexpr int64_t kStep = 8192;
    // The records are the cursor's result only while it runs nothing else:
    // after another execute or a close, the rest of this one is gone, and
    // reading on would cut the next result's records by this one's layout.
    auto* c = reinterpret_cast<CursorObject*>(d->cursor.get());
    if (d->records && (c->results != d->records.get() || c->stmt_handle == 0)) {
        d->records = Ref();
        raise_message("ProgrammingError", "the cursor executed another statement or was closed: the rest of this "
                                          "result is gone");
        return fail(d);
    }
    if (d->records && records_refuse_failed(d->records.get()) < 0) return fail(d);
    while (d->records && d->builder.rows() < d->batch_rows && d->builder.bytes() < (size_t{1} << 30)) {
        if (d->direct && d->records_first == 0) {
            if (d->builder.rows()) break;  // the records' batch goes first
            const int got = library_batch(d, c, out);
            if (got <= 0) return got < 0 ? fail(d) : 0;
            continue;
        }
        int64_t want = std::min(kStep, d->batch_rows - d->builder.rows());
        if (d->direct) want = std::min(want, d->records_first);
        const Py_ssize_t got = records_scan(d->records.get(), want, take_block, &d->builder);
        if (got < 0) return fail(d);
        if (got < want) d->records = Ref();
        if (d->direct) d->records_first -= got;
    }
    if (d->builder.rows() == 0) {
        out->release = nullptr;
        return 0;
    }
    return d->builder.finish(out, &d->error);
}

const char* get_last_error(ArrowArrayStream* s) {
    auto* d = static_cast<StreamData*>(s->private_data);
    return d->error.empty() ? nullptr : d->error.c_str();
}

void release_stream(ArrowArrayStream* s) {
    if (!s->release) return;
    {
        Gil gil;
        delete static_cast<StreamData*>(s->private_data);
    }
    s->release = nullptr;
}

void free_capsule(PyObject* capsule) {
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

// The Python face: the result, exported once.
struct ResultObject {
    PyObject_HEAD
    StreamData* data;  // owned until exported
    PyObject* failures;  // the stream's exceptions, in order
};

void result_dealloc(PyObject* self) {
    auto* r = reinterpret_cast<ResultObject*>(self);
    delete r->data;
    Py_XDECREF(r->failures);
    Py_TYPE(self)->tp_free(self);
}

// _failure() -> the exception that ended the stream, or None: a consumer
// such as pyarrow words it as its own error.
PyObject* result_failure(PyObject* self, PyObject*) {
    PyObject* failures = reinterpret_cast<ResultObject*>(self)->failures;
    const Py_ssize_t n = failures ? PyList_GET_SIZE(failures) : 0;
    return new_ref(n ? PyList_GET_ITEM(failures, n - 1) : Py_None);
}

PyObject* result_export(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:__arrow_c_stream__", const_cast<char**>(kwlist), &requested))
        return nullptr;
    auto* r = reinterpret_cast<ResultObject*>(self);
    if (!r->data) return raise_message("ProgrammingError", "the result was exported already: fetch it again");
    auto* s = new (std::nothrow) ArrowArrayStream{get_schema, get_next, get_last_error, release_stream, r->data};
    if (!s) return PyErr_NoMemory();
    PyObject* capsule = PyCapsule_New(s, "arrow_array_stream", free_capsule);
    if (!capsule) {
        delete s;
        return nullptr;
    }
    r->data = nullptr;
    return capsule;
}

void free_schema_capsule(PyObject* capsule) {
    auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

// The result's schema, without taking its stream: DuckDB asks for it
// before it reads the rows.
PyObject* result_schema(PyObject* self, PyObject*) {
    auto* r = reinterpret_cast<ResultObject*>(self);
    if (!r->data) return raise_message("ProgrammingError", "the result was exported already: fetch it again");
    auto* s = new (std::nothrow) ArrowSchema{};
    if (!s) return PyErr_NoMemory();
    if (r->data->builder.schema(s) != 0) {
        delete s;
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(s, "arrow_schema", free_schema_capsule);
    if (!capsule) {
        s->release(s);
        delete s;
    }
    return capsule;
}

PyMethodDef result_methods[] = {
    {"__arrow_c_schema__", result_schema, METH_NOARGS,
     "__arrow_c_schema__() -> a PyCapsule of the result's ArrowSchema (the stream stays to be exported)."},
    {"__arrow_c_stream__", QX_METHOD_CAST(result_export), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None) -> a PyCapsule of the result's ArrowArrayStream (once)."},
    {"_failure", result_failure, METH_NOARGS, "_failure() -> the exception that ended the stream, or None."},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject ResultType = [] {
    PyTypeObject t = static_type("pyqivrexdb._qxstandard.ArrowResult", sizeof(ResultObject));
    t.tp_dealloc = result_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "A result set as an Arrow stream: pass it to pyarrow, polars, DuckDB or nanoarrow.";
    t.tp_methods = result_methods;
    return t;
}();

// The Arrow time zone of the result's timestamptz values: the session's,
// which the rows show them in; UTC from a library that tells none.
std::string session_zone(CursorObject* c) {
    char name[128];
    unsigned int length = 0;
    const int32_t hdb = c->hdb;
    const int rc = quick_call(c->lock, [&] {
        return qc.qcSqlGetConnectAttr(hdb, QSCLI_CONN_TIME_ZONE, 0, name, sizeof name, &length);
    });
    if (rc != 0 || length >= sizeof name) return "UTC";
    return qx_server_text::arrow_zone(std::string_view(name, length));
}

// Whether the library hands this result over as Arrow arrays of the types
// the records would have (PostgreSQL's rows, decoded straight from what the
// server sends).
bool library_arrow(CursorObject* c, const BatchBuilder& builder) {
    ArrowSchema theirs{};
    const int32_t handle = c->stmt_handle, start = c->start_record;
    if (quick_call(c->lock, [&] { return qc.qcSqlReadArrow(handle, start, 0, 0, &theirs, nullptr, nullptr); }) != 0)
        return false;
    const bool same = builder.same_types(theirs);
    if (theirs.release) theirs.release(&theirs);
    return same;
}

// NotSupportedError naming the first column read through a converter: an
// Arrow column holds the values as the server gives them, and would differ
// from the rows the converter makes without a word.
PyObject* refuse_converted(PyObject* converters, PyObject* description) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(converters); ++i) {
        if (PyTuple_GET_ITEM(converters, i) == Py_None) continue;
        Ref column(PySequence_GetItem(description, i));
        Ref name(column ? PySequence_GetItem(column.get(), 0) : nullptr);
        if (!name) return nullptr;
        Ref text(PyUnicode_FromFormat("column %R is read through a converter (detect_types), which an Arrow result "
                                      "does not apply: fetch rows, or execute with detect_types=0",
                                      name.get()));
        if (text) raise_object("NotSupportedError", text.get());
        return nullptr;
    }
    return raise_message("NotSupportedError", "a column is read through a converter (detect_types)");
}

}  // namespace

// arrow_result(cursor, batch_size): the rest of the cursor's result.
PyObject* arrow_result(PyObject*, PyObject* args) {
    PyObject* cursor;
    long long batch_rows;
    if (!PyArg_ParseTuple(args, "O!L:arrow_result", &StandardCursorType, &cursor, &batch_rows)) return nullptr;
    if (batch_rows < 1) return raise_message("ProgrammingError", "batch_size must be at least 1");
    auto* c = reinterpret_cast<CursorObject*>(cursor);
    if (c->stmt_handle == 0) return raise_message("ProgrammingError", "the cursor is closed");
    // The element types the records are laid out by.
    Ref description(element_description(cursor));
    if (!description) return nullptr;
    if (!c->has_results || description.get() == Py_None)
        return raise_message("ProgrammingError", "execute() did not produce any result set");
    if (is_records(c->results)) {
        if (records_refuse_failed(c->results) < 0) return nullptr;
        if (PyObject* converters = records_converters(c->results)) return refuse_converted(converters, description.get());
    }
    if (PyType_Ready(&ResultType) < 0) return nullptr;
    auto data = std::make_unique<StreamData>();
    const std::vector<values::ServerType> none;
    const auto* types = is_records(c->results) ? records_server_types(c->results) : &none;
    if (data->builder.describe(description.get(), reinterpret_cast<StandardCursorObject*>(cursor)->text_utf8, *types) < 0) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            Ref error(take_pending());
            Ref text(PyObject_Str(error.get()));
            if (text) raise_object("NotSupportedError", text.get());
        }
        return nullptr;
    }
    for (const auto& t : *types)
        if (values::zoned_type(t.oid)) {
            data->builder.show_zone(session_zone(c));
            break;
        }
    data->cursor = Ref::borrow(cursor);
    if (is_records(c->results)) {
        data->records = Ref::borrow(c->results);
        data->direct = library_arrow(c, data->builder);
    }
    data->batch_rows = batch_rows;
    data->failures = Ref(PyList_New(0));
    if (!data->failures) return nullptr;
    PyObject* obj = ResultType.tp_alloc(&ResultType, 0);
    if (!obj) return nullptr;
    reinterpret_cast<ResultObject*>(obj)->failures = new_ref(data->failures.get());
    reinterpret_cast<ResultObject*>(obj)->data = data.release();
    return obj;
}

}  // namespace qx::arrow
