// Whole records from the library: the read buffer (one kept for the next
// iterator), the column layout of each result or batch, and the end of
// the rows, on an error for good.
#include "record_iterator.h"

namespace qx {

namespace {

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
        // A reader the cursor used before may hold a copy already.
        if (r->layout_stamp == 0 || r->layout_stamp != c->kept_layout_stamp) {
            r->layout = *c->kept_layout;
            r->layout_stamp = c->kept_layout_stamp;
        }
        return 0;
    }
    r->layout_stamp = 0;
    if (r->layout.resolve(columns, values::Purpose::Read, r->face, &types) < 0) return -1;
    // Resolving may run Python code: the Fields are asked again.
    if (kept && kept_fields_in(c, columns) && r->layout.current()) {
        static uint64_t stamps = 0;
        if (!c->kept_layout) c->kept_layout = new (std::nothrow) values::ColumnLayout(r->layout);
        else *c->kept_layout = r->layout;
        if (c->kept_layout) c->kept_layout_stamp = r->layout_stamp = ++stamps;
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
    r->plain_values = r->layout.plain();
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
    r->trailer = r->flag_bytes + (r->arra_lengths ? 4 * uint64_t{r->layout.arrays()} : 0);
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
    if (closed_meanwhile(r->cursor, rc)) return;
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

}  // namespace

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

int refuse_failed(RecordsObject* r) {
    raise_object("ProgrammingError", r->failed);
    return -1;
}

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

}  // namespace qx
