// Whole records cut into rows (the core face's lists, or the standard
// face's tuples with their NULLs and ARRA lengths): one a call (next), a
// run of them (take), or blocks handed to a sink (scan). The loops that
// cut live beside what they call for each row.
#include "record_iterator.h"

namespace qx {

namespace {

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

// The bytes of an ARRA field whose value's length the library gave: never
// more than the field holds, whatever the length says.
PyObject* arra_bytes(const values::ColumnCodec& c, const unsigned char* p, const unsigned char* length) {
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
    r->runner = PyThread_get_thread_ident();
    return true;
}

}  // namespace

PyObject* records_next(PyObject* self) {
    RecordsObject* r = as_records(self);
    if (r->state == RecordsObject::FINISHED) return r->failed ? (refuse_failed(r), nullptr) : nullptr;
    if (!enter(r)) return nullptr;
    TextScope text(r->text_utf8);
    PyObject* row = nullptr;
    if (fill(r) > 0) {
        values::ReadingScope reading(r->json_loads, r->zone, !r->plain_values || r->zoned);
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
        values::ReadingScope reading(r->json_loads, r->zone, !r->plain_values || r->zoned);
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

bool closed_meanwhile(CursorObject* c, int rc) {
    if (rc != QSCLI_E_STATEMENT || c->stmt_handle != 0) return false;
    raise_message("ProgrammingError", "the cursor was closed while its statement ran");
    return true;
}

int records_refuse_failed(PyObject* self) {
    RecordsObject* r = as_records(self);
    return r->state == RecordsObject::FINISHED && r->failed ? refuse_failed(r) : 0;
}

void records_fail(PyObject* self) {
    RecordsObject* r = as_records(self);
    if (r->state != RecordsObject::FINISHED && !r->running) end_unless(r, nullptr);
}

PyObject* records_converters(PyObject* self) { return as_records(self)->rows.converters; }

}  // namespace qx
