// The record iterator of Cursor._read_results: reads whole records a buffer
// at a time from the cursor's start_record and cuts them into rows. It
// behaves as a generator (send, throw, close) suspended after each row.
#include "cursor.h"

#include "../client/loader.h"
#include "../module/causes.h"
#include "../module/module.h"
#include "../values/cp866.h"
#include "../values/values.h"
#include "row.h"
#include "standard_cursor.h"
#include "statement.h"

#include <new>

namespace qx {

const char* const cursor_read_results_doc = nullptr;

namespace {

struct RecordsObject {
    PyObject_HEAD
    CursorObject* cursor;  // owned until the iteration finishes
    uint32_t buffer_size;  // logged only
    uint32_t rec_size;     // bytes of one record, as the client reported it
    enum State : unsigned char { FRESH, READING, FINISHED } state;
    bool running;          // inside next/send/throw/close: no re-entry
    MemBlock buffer;       // the read buffer, from the first next() to the end
    uint32_t capacity;     // its size in bytes
    uint32_t pos;          // where the next record starts in it
    uint32_t left;         // bytes of the last read not yet cut (whole records)
    values::RecordLayout layout;
    PyObject* layout_columns;  // owned: the Field list `layout` was resolved from
    values::Face face;     // whose rows: the core's lists, or the standard face's tuples
    uint32_t flag_bytes;   // null flags ending each record (standard face), or 0
    bool arra_lengths;     // each ARRA value's length follows the flags
    bool streamed;         // records come in batches, each with its own layout (QSCLI_ATTR_STREAM)
    uint64_t trailer;      // bytes after the fields: flags and lengths (for this layout)
    RowMaker rows;         // the standard face's row_factory, from the first fetch
    std::vector<values::ServerType> server_types;  // each column's, when the library told them
    bool plain_values;     // no column's loader runs Python code or makes values that hold references
    PyObject* json_loads;  // owned: the connection's json_loads when a column reads json, or null
    PyObject* zone;        // owned: the session's time zone when a column reads timestamptz, or null
    PyObject* failed;      // owned: why the standard face's rows ended early, or null
    bool text_utf8;        // its texts are UTF-8 (the standard cursor's text_utf8)
};

RecordsObject* as_records(PyObject* obj) { return reinterpret_cast<RecordsObject*>(obj); }

// Automatic collection is paused while C code alone cuts a run of records
// (a million new lists would otherwise trigger a collection every few
// hundred); never while Python code could run. The previous state is
// restored exactly. Cutting runs no Python code, and its errors are the
// interpreter's own (MemoryError, a date's ValueError) as long as the
// library is loaded: without it a date raises the package's InterfaceError,
// whose class is Python code, so then nothing is paused.
class GcPause {
public:
    explicit GcPause(bool pause = true) : was_enabled_(pause && library_loaded() && PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

// The read buffer of the last finished iterator, kept for the next one of
// the same size: a run of small statements then allocates no buffer each.
// Only buffers up to 1 MiB are kept.
struct SpareBuffer {
    MemBlock block;
    uint32_t size = 0;
};
SpareBuffer* g_spare = new SpareBuffer;  // process-wide, as the module is (PyInit_qxcore); never destroyed

MemBlock read_buffer(uint32_t size) {
    if (g_spare->block && g_spare->size == size) return std::move(g_spare->block);
    return mem_block(size, false);
}

void keep_read_buffer(MemBlock block, uint32_t size) {
    if (!block || size > (1u << 20)) return;
    g_spare->block = std::move(block);
    g_spare->size = size;
}

// Ends the iteration for good, as a generator's frame ends: the buffer goes,
// and so do the references to the cursor and its columns.
void finish(RecordsObject* r) {
    r->state = RecordsObject::FINISHED;
    keep_read_buffer(std::move(r->buffer), r->capacity);
    r->capacity = r->pos = r->left = 0;
    Py_CLEAR(r->layout_columns);
    Py_CLEAR(r->json_loads);
    Py_CLEAR(r->zone);
    Py_CLEAR(r->cursor);
    row_maker_clear(&r->rows);
}

// Ends the iteration after `row` (null: the end or an error). An error ends
// the standard face's rows for good, and every later fetch says so rather
// than report the end of rows never read: the record that failed (a
// converter, a row_factory, a read) is gone, and so are those after it.
void end_unless(RecordsObject* r, PyObject* row) {
    if (row) return;
    if (r->face == values::Face::Standard && PyErr_Occurred() && r->cursor && !r->failed) {
        // A StopIteration would end the caller's loop as if the rows had
        // ended: it leaves as RuntimeError, as it leaves a generator.
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            Ref stop(take_pending());
            PyErr_SetString(PyExc_RuntimeError, "making a row raised StopIteration");
            Ref error(take_pending());
            if (error && stop) PyException_SetCause(error.get(), new_ref(stop.get()));
            raise_pending(error.release());
        }
        Ref error(take_pending());
        Ref why(error ? PyObject_Str(error.get()) : nullptr);
        PyErr_Clear();
        r->failed = PyUnicode_FromFormat("reading row %lld raised %s: %S; the rest of the result cannot be "
                                         "fetched: execute the statement again",
                                         static_cast<long long>(static_cast<uint32_t>(r->cursor->start_record)) + 1,
                                         error ? Py_TYPE(error.get())->tp_name : "an error",
                                         why ? why.get() : Py_None);
        PyErr_Clear();
        raise_pending(error.release());
    }
    finish(r);
}

// The error of a fetch after end_unless() ended the rows on an error; -1.
int refuse_failed(RecordsObject* r) {
    raise_object("ProgrammingError", r->failed);
    return -1;
}

std::nullptr_t bad_read(const char* format, unsigned a, unsigned b) {
    Ref text(PyUnicode_FromFormat(format, a, b));
    return text ? raise_object("ProgrammingError", text.get()) : nullptr;
}

// Whether `columns` (a list) holds exactly the Fields the cursor keeps.
bool kept_fields_in(const CursorObject* c, PyObject* columns) {
    if (!c->kept_fields || PyList_GET_SIZE(columns) != PyTuple_GET_SIZE(c->kept_fields)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns); ++i)
        if (PyList_GET_ITEM(columns, i) != PyTuple_GET_ITEM(c->kept_fields, i)) return false;
    return true;
}

// Resolves the layout of `columns` (a list), or takes the one the cursor
// kept for the same Fields while it holds; a layout resolved for the kept
// Fields is kept. 0, or -1 with an exception set.
int resolve_layout(RecordsObject* r, PyObject* columns, const std::vector<values::ServerType>& types) {
    CursorObject* c = r->cursor;
    // Under the same Fields the server's types may differ (a text column
    // dropped and made again as json): a layout is kept only without them.
    const bool kept = types.empty() && kept_fields_in(c, columns);
    if (kept && c->kept_layout && c->kept_layout->current()) {
        r->layout = *c->kept_layout;
        return 0;
    }
    if (r->layout.resolve(columns, values::Purpose::Read, r->face, &types) < 0) return -1;
    // Resolving may run Python code: the Fields are asked again.
    if (kept && kept_fields_in(c, columns) && r->layout.current()) {
        if (!c->kept_layout) c->kept_layout = new (std::nothrow) values::RecordLayout(r->layout);
        else *c->kept_layout = r->layout;
    }
    return 0;
}

// The column layout for the cursor's current columns, resolved again when a
// Field, a QSCLI_ET_* name or the column list itself changed.
int ensure_layout(RecordsObject* r) {
    PyObject* columns = r->cursor->columns;
    if (columns == r->layout_columns && r->layout.current()) return 0;
    if (!PyList_Check(columns)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(columns)->tp_name);
        return -1;
    }
    Ref held = Ref::borrow(columns);
    // A column with a converter gets the server's text, as without the types.
    std::vector<values::ServerType> types = r->server_types;
    PyObject* converters = r->rows.converters;
    for (size_t i = 0; converters && i < types.size() && i < static_cast<size_t>(PyTuple_GET_SIZE(converters)); ++i)
        if (PyTuple_GET_ITEM(converters, static_cast<Py_ssize_t>(i)) != Py_None) types[i].oid = 0;
    if (resolve_layout(r, columns, types) < 0) return -1;
    r->plain_values = true;
    for (const auto& c : r->layout.columns()) r->plain_values = r->plain_values && values::plain_loader(c);
    if (!r->plain_values && !r->json_loads) {
        // The connection's own way to read json, asked once a result.
        Ref conn(PyObject_GetAttrString(reinterpret_cast<PyObject*>(r->cursor), "connection"));
        r->json_loads = conn ? PyObject_GetAttrString(conn.get(), "json_loads") : nullptr;
        if (!r->json_loads) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            r->json_loads = new_ref(Py_None);
        }
    }
    Py_XSETREF(r->layout_columns, held.release());
    r->trailer = r->flag_bytes;
    if (r->arra_lengths)
        for (const auto& c : r->layout.columns()) r->trailer += c.type == QSCLI_ET_ARRA ? 4 : 0;
    if (r->layout.record_size() + r->trailer > r->rec_size) {
        Ref text(PyUnicode_FromFormat("columns take %llu bytes, more than the record size %u",
                                      static_cast<unsigned long long>(r->layout.record_size()),
                                      r->rec_size));
        if (text) raise_object("ProgrammingError", text.get());
        Py_CLEAR(r->layout_columns);
        return -1;
    }
    return 0;
}

// The standard face's failure of a read, as the class its code names.
void read_failed(RecordsObject* r, int rc) {
    if (r->face != values::Face::Standard) {
        raise_code("ProgrammingError", "qcSqlReadResults error %d:", rc);
        return;
    }
    Ref text = statement_error_text(r->cursor->stmt_handle, r->cursor->lock);
    raise_by_cause(rc, text.get(), "qcSqlReadResults");
}

// The next batch of a streamed result: its record size and columns (the
// cursor's, so the layout is resolved again). 1 for a batch, 0 at the end
// (the standard cursor's rowcount is then exact), -1 with an exception set.
int next_batch(RecordsObject* r) {
    CursorObject* cursor = r->cursor;
    const int32_t handle = cursor->stmt_handle;
    unsigned int rec_size = 0;
    int rc = quick_call(cursor->lock, [&] { return qc.qcSqlOpenResults(handle, &rec_size); });
    if (rc != 0) return read_failed(r, rc), -1;
    if (rec_size == 0) {
        qc_long count = -1;
        if (quick_call(cursor->lock, [&] { return qc.qcSqlRowCount(handle, &count); }) == 0 && count >= 0) {
            cursor->row_count = count;
            reinterpret_cast<StandardCursorObject*>(cursor)->rowcount = count;
        }
        return 0;
    }
    const Py_ssize_t n = PyList_Check(cursor->columns) ? PyList_GET_SIZE(cursor->columns) : 0;
    const uint32_t area_size = static_cast<uint32_t>(n * sizeof(ColStruct_t));
    MemBlock area = mem_block(area_size ? area_size : 1);
    if (!area) return -1;
    unsigned int length = 0;
    rc = quick_call(cursor->lock, [&] {
        return qc.qcSqlGetStmtAttr(handle, QSCLI_STMT_DST_INFO, 0, area.get(), area_size, &length);
    });
    if (rc != 0) return read_failed(r, rc), -1;
    Ref columns(PyList_New(n));
    if (!columns) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* field = new_field(reinterpret_cast<const ColStruct_t*>(area.get() + i * sizeof(ColStruct_t)));
        if (!field) return -1;
        PyList_SET_ITEM(columns.get(), i, field);
    }
    replace_field(cursor->columns, columns.release());
    if (r->face == values::Face::Standard && complete_names(cursor) < 0) return -1;
    r->rec_size = rec_size;
    if (rec_size > r->capacity) {
        uint32_t heap_limit = 0;
        if (heap_limit_now(&heap_limit) < 0) return -1;
        const uint32_t capacity = read_buffer_for(rec_size, heap_limit);
        MemBlock buffer = mem_block(capacity, false);
        if (!buffer) return -1;
        r->buffer = std::move(buffer);
        r->capacity = capacity;
    }
    return 1;
}

// Makes a whole record ready to cut: 1 when one is, 0 at the end of the
// records, -1 with an exception set. Reads from the client when the buffer
// is used up; Python code may run here (logging, server messages, Field
// attributes), never while records are being cut.
int fill(RecordsObject* r) {
    if (r->state == RecordsObject::FINISHED) return 0;
    CursorObject* cursor = r->cursor;
    if (r->state == RecordsObject::FRESH) {
        r->state = RecordsObject::READING;
        if (debug_log("%R: _read_results(buffer_size=%u, rec_size=%u)", cursor,
                                      r->buffer_size, r->rec_size) < 0)
            return -1;
        if (r->face == values::Face::Standard && row_maker_start(&r->rows, reinterpret_cast<PyObject*>(cursor)) < 0) return -1;
        r->capacity = cursor->read_buffer_size;
        r->buffer = read_buffer(r->capacity);
        if (!r->buffer) return -1;
        if (cursor->row_count == 0) return 0;
    }
    while (r->left == 0) {
        unsigned int count = 0;
        // The buffer stays: `running` keeps other threads off this iterator.
        const int32_t handle = cursor->stmt_handle, start = cursor->start_record;
        unsigned char* const into = r->buffer.get();
        const uint32_t capacity = r->capacity;
        const auto read = [&] { return qc.qcSqlReadResults(handle, start, into, capacity, &count); };
        // Records the library holds are copied at once: no other thread
        // need run meanwhile, and there is nothing to cancel.
        int rc = cursor->results_held ? quick_call(cursor->lock, read) : waiting_call(cursor->lock, cursor->hdb, read);
        if (rc != 0) return read_failed(r, rc), -1;
        // A long fetch stays interruptible between reads.
        if (PyErr_CheckSignals() < 0) return -1;
        if (count == 0) {
            // A stream whose rest another statement of the connection read
            // ahead before this one's count was asked tells its count at
            // once, yet still comes in batches: fewer records than told
            // mean a batch follows.
            if (!r->streamed && cursor->streams && start < cursor->row_count) r->streamed = true;
            if (!r->streamed) return 0;
            const int more = next_batch(r);
            if (more <= 0) return more;
            continue;
        }
        // Never cut past the bytes delivered, nor loop on records of no size.
        if (count > r->capacity) {
            bad_read("qcSqlReadResults delivered %u bytes into a buffer of %u", count, r->capacity);
            return -1;
        }
        if (r->rec_size == 0 || count % r->rec_size != 0) {
            bad_read("qcSqlReadResults delivered %u bytes, not whole records of %u bytes", count,
                     r->rec_size);
            return -1;
        }
        r->pos = 0;
        r->left = count;
    }
    return ensure_layout(r) < 0 ? -1 : 1;
}

// The bytes of an ARRA field whose value's length the library gave: never
// more than the field holds, whatever the length says.
PyObject* arra_bytes(const values::Column& c, const unsigned char* p, const unsigned char* length) {
    const uint32_t n = static_cast<uint32_t>(length[0]) | static_cast<uint32_t>(length[1]) << 8 |
                       static_cast<uint32_t>(length[2]) << 16 | static_cast<uint32_t>(length[3]) << 24;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n < c.len ? n : c.len);
}

// A loader's ValueError (a value Python cannot hold, a loads that refused
// the text) becomes DataError naming the column; null.
std::nullptr_t column_failed(RecordsObject* r, Py_ssize_t i) {
    if (!PyErr_Occurred() || !r->layout_columns || i >= PyList_GET_SIZE(r->layout_columns)) return nullptr;
    Ref error(take_pending());
    Ref name(PyObject_GetAttrString(PyList_GET_ITEM(r->layout_columns, i), "name"));
    Ref why(error ? PyObject_Str(error.get()) : nullptr);
    if (!name || !why || !PyErr_GivenExceptionMatches(error.get(), PyExc_ValueError)) {
        PyErr_Clear();
        raise_pending(error.release());
        return nullptr;
    }
    Ref text(PyUnicode_FromFormat("column %S: %S", name.get(), why.get()));
    if (!text) return nullptr;
    raise_object("DataError", text.get());
    Ref named(take_pending());
    if (named) PyException_SetCause(named.get(), error.release());
    raise_pending(named.release());
    return nullptr;
}

// The standard face's row: a tuple, None for each column whose null flag is
// set (the flags end the record, one bit a column, followed by the ARRA
// lengths when the library gives them).
PyObject* cut_standard(RecordsObject* r, const unsigned char* p) {
    const auto& columns = r->layout.columns();
    const Py_ssize_t n = static_cast<Py_ssize_t>(columns.size());
    Ref row(PyTuple_New(n));
    if (!row) return nullptr;
    const unsigned char* flags = r->flag_bytes ? p + r->rec_size - r->trailer : nullptr;
    const unsigned char* length = r->arra_lengths && flags ? flags + r->flag_bytes : nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const bool arra_length = length && columns[i].type == QSCLI_ET_ARRA;
        PyObject* value;
        if (flags && (flags[i >> 3] >> (i & 7) & 1)) {
            Py_INCREF(Py_None);
            value = Py_None;
        } else {
            value = arra_length ? arra_bytes(columns[i], p, length) : values::decode_field(columns[i], p);
            if (!value) return columns[i].oid ? column_failed(r, i) : nullptr;
        }
        if (arra_length) length += 4;
        PyTuple_SET_ITEM(row.get(), i, value);
        p += columns[i].len;
    }
    // Decoded values hold no references, so the tuple can take part in no
    // cycle: untracked, a million rows add nothing to the next collection.
    // A parsed document or a list may, and keeps its row tracked.
    if (r->plain_values) PyObject_GC_UnTrack(row.get());
    return row.release();
}

// Cuts the record at the buffer position into a new row and moves on. Runs
// only C code (decoding the values, allocating the list) unless the row
// maker calls Python: a row_factory callable, converters.
PyObject* cut(RecordsObject* r) {
    const unsigned char* p = r->buffer.get() + r->pos;
    Ref row;
    if (r->face == values::Face::Standard) {
        row.reset(cut_standard(r, p));
        if (row && !row_maker_plain(&r->rows))
            row.reset(row_make(&r->rows, reinterpret_cast<PyObject*>(r->cursor), row.release()));
        if (!row) return nullptr;
    } else {
        const auto& columns = r->layout.columns();
        const Py_ssize_t n = static_cast<Py_ssize_t>(columns.size());
        row.reset(PyList_New(n));
        if (!row) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* value = values::decode_field(columns[i], p);
            if (!value) return nullptr;
            PyList_SET_ITEM(row.get(), i, value);
            p += columns[i].len;
        }
    }
    r->cursor->start_record = static_cast<int32_t>(static_cast<uint32_t>(r->cursor->start_record) + 1);
    r->pos += r->rec_size;
    r->left -= r->rec_size;
    return row.release();
}

bool enter(RecordsObject* r) {
    if (r->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return false;
    }
    r->running = true;
    return true;
}

PyObject* records_send(PyObject* self, PyObject* value) {
    RecordsObject* r = as_records(self);
    if (!r->running && r->state == RecordsObject::FRESH && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* row = records_next(self);
    if (!row && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return row;
}

// throw(type[, value[, traceback]]): the exception ends the iteration where
// it stands and reaches the caller, as in a generator without handlers.
PyObject* records_throw(PyObject* self, PyObject* args) {
    RecordsObject* r = as_records(self);
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb)) return nullptr;
    if (r->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exc_type, exc_value, exc_tb;
    if (PyExceptionClass_Check(type)) {
        PyObject* t = new_ref(type);
        PyObject* v = value ? new_ref(value) : nullptr;
        PyObject* b = tb ? new_ref(tb) : nullptr;
        PyErr_NormalizeException(&t, &v, &b);
        exc_type.reset(t);
        exc_value.reset(v);
        exc_tb.reset(b);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc_value = Ref::borrow(type);
        exc_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type)));
        exc_tb = tb ? Ref::borrow(tb) : Ref(PyException_GetTraceback(type));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    const bool live = r->state != RecordsObject::FINISHED;
    finish(r);
    if (live && exc_value && PyErr_GivenExceptionMatches(exc_type.get(), PyExc_StopIteration)) {
        // A StopIteration leaving a live generator becomes a RuntimeError.
        if (exc_tb) PyException_SetTraceback(exc_value.get(), exc_tb.get());
        Ref error(PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration"));
        if (!error) return nullptr;
        PyException_SetCause(error.get(), new_ref(exc_value.get()));
        PyException_SetContext(error.get(), exc_value.release());
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        return nullptr;
    }
    PyErr_Restore(exc_type.release(), exc_value.release(), exc_tb.release());
    return nullptr;
}

PyObject* records_iternext(PyObject* self) { return records_next(self); }

int records_traverse(PyObject* self, visitproc visit, void* arg) {
    RecordsObject* r = as_records(self);
    Py_VISIT(reinterpret_cast<PyObject*>(r->cursor));
    Py_VISIT(r->layout_columns);
    Py_VISIT(r->json_loads);
    Py_VISIT(r->zone);
    return row_maker_traverse(&r->rows, visit, arg);
}

int records_clear(PyObject* self) {
    finish(as_records(self));
    return 0;
}

void records_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    RecordsObject* r = as_records(self);
    finish(r);
    Py_CLEAR(r->failed);
    r->layout.~RecordLayout();
    r->buffer.~MemBlock();
    r->rows.~RowMaker();
    using ServerTypes = std::vector<values::ServerType>;
    r->server_types.~ServerTypes();
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef records_methods[] = {
    {"send", records_send, METH_O, nullptr},
    {"throw", records_throw, METH_VARARGS, nullptr},
    {"close", records_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject RecordsType = [] {
    PyTypeObject t = static_type("pyqivrexdb.qxcore._Records", sizeof(RecordsObject));
    t.tp_dealloc = records_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = records_traverse;
    t.tp_clear = records_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = records_iternext;
    t.tp_methods = records_methods;
    return t;
}();

PyObject* records_next(PyObject* self) {
    RecordsObject* r = as_records(self);
    if (r->state == RecordsObject::FINISHED) return r->failed ? (refuse_failed(r), nullptr) : nullptr;
    if (!enter(r)) return nullptr;
    TextScope text(r->text_utf8);
    PyObject* row = nullptr;
    if (fill(r) > 0) {
        values::ReadingScope reading(r->json_loads, r->zone);
        row = cut(r);
    }
    r->running = false;
    end_unless(r, row);
    return row;
}

int records_take(PyObject* self, PyObject* rows, Py_ssize_t limit) {
    RecordsObject* r = as_records(self);
    if (r->state == RecordsObject::FINISHED) return r->failed ? refuse_failed(r) : 0;
    if (!enter(r)) return -1;
    TextScope text(r->text_utf8);
    Py_ssize_t taken = 0;
    int status = 1;
    while (status > 0 && (limit < 0 || taken < limit)) {
        status = fill(r);
        if (status <= 0) break;
        GcPause pause(!row_maker_runs_python(&r->rows) && r->plain_values);
        values::ReadingScope reading(r->json_loads, r->zone);
        while (r->left != 0 && (limit < 0 || taken < limit)) {
            Ref row(cut(r));
            if (!row || PyList_Append(rows, row.get()) < 0) {
                status = -1;
                break;
            }
            ++taken;
        }
    }
    r->running = false;
    if (status <= 0) end_unless(r, nullptr);
    return status < 0 ? -1 : 0;
}

Py_ssize_t records_scan(PyObject* self, Py_ssize_t limit, RecordSink sink, void* ctx) {
    RecordsObject* r = as_records(self);
    if (r->state == RecordsObject::FINISHED) return r->failed ? refuse_failed(r) : 0;
    if (!enter(r)) return -1;
    Py_ssize_t taken = 0;
    int status = 1;
    while (limit < 0 || taken < limit) {
        status = fill(r);
        if (status <= 0) break;
        uint32_t count = r->left / r->rec_size;
        if (limit >= 0 && static_cast<Py_ssize_t>(count) > limit - taken)
            count = static_cast<uint32_t>(limit - taken);
        const int64_t flags_at = r->flag_bytes ? static_cast<int64_t>(r->rec_size - r->trailer) : -1;
        const RecordBlock block{&r->layout.columns(), r->buffer.get() + r->pos, r->rec_size, count, flags_at,
                                r->arra_lengths && flags_at >= 0 ? flags_at + r->flag_bytes : -1};
        if (sink(ctx, block) < 0) {
            status = -1;
            break;
        }
        r->cursor->start_record = static_cast<int32_t>(static_cast<uint32_t>(r->cursor->start_record) + count);
        r->pos += count * r->rec_size;
        r->left -= count * r->rec_size;
        taken += count;
    }
    r->running = false;
    if (status <= 0) end_unless(r, nullptr);
    return status < 0 ? -1 : taken;
}

PyObject* records_close(PyObject* self, PyObject*) {
    RecordsObject* r = as_records(self);
    if (r->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    finish(r);
    Py_RETURN_NONE;
}

PyObject* cursor_read_results(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"buffer_size", "rec_size", nullptr};
    TextScope text(cursor_text_utf8(self));
    PyObject* buffer_size_obj = nullptr;
    PyObject* rec_size_obj = nullptr;
    // execute passes the two by position.
    if (!kwds && PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 2) {
        buffer_size_obj = PyTuple_GET_ITEM(args, 0);
        rec_size_obj = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:_read_results", const_cast<char**>(kwlist),
                                            &buffer_size_obj, &rec_size_obj)) {
        return nullptr;
    }
    uint32_t buffer_size = 0, rec_size = 0;
    if (to_uint32(buffer_size_obj, &buffer_size) < 0 || to_uint32(rec_size_obj, &rec_size) < 0)
        return nullptr;
    return records_new(self, buffer_size, rec_size, values::Face::Core, 0);
}

const std::vector<values::ServerType>* records_server_types(PyObject* records) {
    return &reinterpret_cast<RecordsObject*>(records)->server_types;
}

PyObject* records_new(PyObject* self, uint32_t buffer_size, uint32_t rec_size, values::Face face,
                      uint32_t flag_bytes, bool arra_lengths, PyObject* converters,
                      std::vector<values::ServerType> server_types, PyObject* zone) {
    if (!(RecordsType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&RecordsType) < 0) return nullptr;
    PyObject* obj = RecordsType.tp_alloc(&RecordsType, 0);
    if (!obj) return nullptr;
    RecordsObject* r = as_records(obj);
    new (&r->buffer) MemBlock();
    new (&r->layout) values::RecordLayout();
    new (&r->rows) RowMaker();
    r->rows.converters = converters ? new_ref(converters) : nullptr;
    new (&r->server_types) std::vector<values::ServerType>(std::move(server_types));
    r->plain_values = true;
    r->json_loads = nullptr;
    r->zone = zone ? new_ref(zone) : nullptr;
    r->cursor = reinterpret_cast<CursorObject*>(new_ref(self));
    r->buffer_size = buffer_size;
    r->rec_size = rec_size;
    r->state = RecordsObject::FRESH;
    r->running = false;
    r->capacity = r->pos = r->left = 0;
    r->layout_columns = nullptr;
    r->face = face;
    r->flag_bytes = flag_bytes;
    r->arra_lengths = arra_lengths;
    r->trailer = flag_bytes;
    r->failed = nullptr;
    r->text_utf8 = text_utf8();  // made by its execute, in the cursor's encoding
    // A streamed result tells its count only at its end.
    r->streamed = face == values::Face::Standard && r->cursor->row_count < 0;
    return obj;
}

}  // namespace qx
