// run_statement: execute, return value, counts, then the result's columns
// and records, the same library calls whatever the face.
#include "run_statement.h"

#include "../connection/kept_layouts.h"
#include "../client/loader.h"
#include "../values/field.h"

#include <cstring>

namespace qx {

// The read buffer: the record size, or the smallest multiple of it that
// reaches the limit. It never grows past what an unsigned size can hold, and
// a record size of 0 (nothing to cut) takes the limit itself.
uint32_t read_buffer_for(uint32_t record_size, uint32_t heap_limit) {
    if (record_size == 0) return heap_limit;
    if (record_size >= heap_limit) return record_size;
    uint64_t records = (uint64_t{heap_limit} + record_size - 1) / record_size;
    uint64_t size = records * record_size;
    if (size > UINT32_MAX) size = uint64_t{UINT32_MAX / record_size} * record_size;
    return static_cast<uint32_t>(size);
}

// HEAPCTRL as an unsigned 32-bit value: 0, or -1 with the lookup's or the
// conversion's exception set. While the module namespace is unchanged the
// name is bound to the same object, so an exact int is remembered; anything
// else is looked up and converted at every use.
int heap_limit_now(uint32_t* out) {
    static LateBound kept;
    static uint32_t limit = 0;
    if (kept.holds()) {
        *out = limit;
        return 0;
    }
    const uint64_t moment = LateBound::now();
    Ref heapctrl = global("HEAPCTRL");
    if (!heapctrl || to_uint32(heapctrl.get(), out) < 0) return -1;
    limit = *out;
    // Only an exact int converts without running Python code.
    if (PyLong_CheckExact(heapctrl.get())) kept.keep(moment);
    else kept.forget();
    return 0;
}

namespace {

// The Fields kept for these column records, in a new list; null (no
// exception) when none are kept for them or a Field changed since.
PyObject* kept_columns(CursorObject* c, const unsigned char* records, uint32_t size) {
    if (!c->kept_fields || c->kept_version != field_version ||
        PyBytes_GET_SIZE(c->kept_records) != static_cast<Py_ssize_t>(size) ||
        std::memcmp(PyBytes_AS_STRING(c->kept_records), records, size) != 0)
        return nullptr;
    // The last result's list when nobody took hold of it nor changed it.
    Ref spare(c->spare_columns);
    c->spare_columns = nullptr;
    PyObject* fields = c->kept_fields;
    if (spare && Py_REFCNT(spare.get()) == 1 && PyList_GET_SIZE(spare.get()) == PyTuple_GET_SIZE(fields)) {
        bool same = true;
        for (Py_ssize_t i = 0; same && i < PyTuple_GET_SIZE(fields); ++i)
            same = PyList_GET_ITEM(spare.get(), i) == PyTuple_GET_ITEM(fields, i);
        if (same) return spare.release();
    }
    return PySequence_List(fields);
}

// Keeps the new `columns` and their records for the next result.
void keep_columns(CursorObject* c, const unsigned char* records, uint32_t size, PyObject* columns) {
    Py_CLEAR(c->kept_fields);
    forget_kept_layout(c);
    Py_XSETREF(c->kept_records, PyBytes_FromStringAndSize(reinterpret_cast<const char*>(records), size));
    if (c->kept_records) c->kept_fields = PyList_AsTuple(columns);
    if (!c->kept_fields) {
        // Nothing kept is only a lost shortcut.
        PyErr_Clear();
        Py_CLEAR(c->kept_records);
        return;
    }
    c->kept_version = field_version;
}

// The Fields of the result's `count` column records, as the cursor's columns.
// `told` holds the records when the summing call sent them, else they are asked for.
int describe(CursorObject* c, const StatementFace& face, void* arg, int count, const unsigned char* told,
             uint32_t* descriptor_length) {
    const uint32_t area_size = static_cast<uint32_t>(count * sizeof(ColStruct_t));
    MemBlock asked;
    const unsigned char* records = told;
    if (told) {
        *descriptor_length = area_size;
    } else {
        asked = mem_block(area_size);
        if (!asked) return -1;
        const int32_t hstmt = c->stmt_handle;
        const int rc = quick_call(c->lock, [&] {
            return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_DST_INFO, 0, asked.get(), area_size, descriptor_length);
        });
        if (rc != 0) return face.refused(c, arg, Step::Describe, rc), -1;
        records = asked.get();
    }
    c->columns_kept = 0;
    if (face.keeps_columns) {
        if (PyObject* kept = kept_columns(c, records, area_size)) {
            replace_field(c->columns, kept);
            c->columns_kept = 1;
            return 0;
        }
        if (PyErr_Occurred()) return -1;
    }
    Ref columns(PyList_New(count));
    if (!columns) return -1;
    for (int i = 0; i < count; ++i) {
        PyObject* field = new_field(reinterpret_cast<const ColStruct_t*>(records + i * sizeof(ColStruct_t)));
        if (!field) return -1;
        PyList_SET_ITEM(columns.get(), i, field);
    }
    if (face.keeps_columns) keep_columns(c, records, area_size, columns.get());
    replace_field(c->columns, columns.release());
    return 0;
}

}  // namespace

namespace {

// The summing call's answer, with room for the column records of a narrow
// result (a library may send them along).
struct Summed {
    QscliExecuted told;
    unsigned char records[8 * sizeof(ColStruct_t)];
};

// What the calls after an execute tell, asked in one call (QSCLI_STMT_EXECUTED)
// under the execute's own hold of the call lock when the cursor sums up.
struct Summing {
    bool asked = false;
    int rc = 0;
    unsigned int length = 0;
    Summed answer;
};

// Whether the summing call answered; false (no exception) where the library
// does not answer it, and the cursor asks no more. `*records` is the column
// records when they came along, else null.
bool summed_up(CursorObject* c, Summing* s, const unsigned char** records) {
    *records = nullptr;
    if (!s->asked) return false;
    const unsigned int length = s->length;
    Summed* out = &s->answer;
    if (s->rc != 0 || length < sizeof out->told || length > sizeof *out) {
        c->sums_up = 0;
        return false;
    }
    const int columns = out->told.columns;
    if (columns > 0 && length == sizeof out->told + columns * sizeof(ColStruct_t)) *records = out->records;
    return true;
}

// The same, a call each, into the cursor; 0, or -1 with the face's exception set.
int asked_one_by_one(CursorObject* c, const StatementFace& face, void* arg) {
    if (face.read_return(c, arg, nullptr) < 0) return -1;
    c->has_results = 1;
    int rc = quick_call(c->lock, [&] { return qc.qcSqlRowCount(c->stmt_handle, &c->row_count); });
    if (rc != 0) return face.refused(c, arg, Step::RowCount, rc), -1;
    rc = quick_call(c->lock, [&] { return qc.qcSqlNumResultCols(c->stmt_handle, &c->columns_count); });
    if (rc != 0) return face.refused(c, arg, Step::ResultCols, rc), -1;
    return 0;
}

}  // namespace

int run_statement(CursorObject* c, const char* sql, uint32_t heap_limit, const StatementFace& face, void* arg) {
    // The last result is closed under the execute's own hold of the call lock.
    bool close_owed = c->results_open == 1;
    c->results_open = 0;
    if (c->vtab->forget(c) < 0) {
        if (close_owed) c->results_open = 1;
        return -1;
    }
    // Copied: the call runs without the interpreter lock.
    const int32_t hstmt = c->stmt_handle;
    // Code run by the forgetting may have closed the cursor, its result with it.
    close_owed = close_owed && hstmt != 0;
    layouts_see_statement(c->hdb, sql);
    Summing summing;
    summing.answer.told = QscliExecuted{};
    const bool sums_up = c->sums_up;
    int closed = 0;
    int rc = waiting_call(c->lock, c->hdb, [&] {
        if (close_owed && (closed = qc.qcSqlCloseResults(hstmt)) != 0) return closed;
        const int executed = qc.qcSqlExecDirect(hstmt, sql);
        if (executed == 0 && sums_up) {
            summing.asked = true;
            summing.rc = qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_EXECUTED, 0, &summing.answer, sizeof summing.answer,
                                             &summing.length);
        }
        return executed;
    });
    if (closed != 0) {
        c->results_open = 1;
        const SignalFirst first;
        raise_formatted("ProgrammingError", "qcSqlCloseResults error %d:", closed);
        return -1;
    }
    if (rc != 0) return face.refused(c, arg, Step::Execute, rc), -1;
    if (face.executed(c, arg) < 0) return -1;
    const QscliExecuted& told = summing.answer.told;
    const unsigned char* told_records;
    const bool summed = summed_up(c, &summing, &told_records);
    if (summed) {
        if (face.read_return(c, arg, &told.rc_size) < 0) return -1;
        c->has_results = 1;
        c->row_count = told.rows;
        c->columns_count = told.columns;
    } else if (asked_one_by_one(c, face, arg) < 0) {
        return -1;
    }
    if (face.counted(c, arg) < 0) return -1;
    const int count = c->columns_count;
    if (count == QSCLI_RES_NONE) return face.no_results(c, arg);
    // Any other negative count, or one whose descriptors would not fit the
    // client's unsigned size, cannot describe a result set.
    if (count < 0 || static_cast<uint64_t>(count) * sizeof(ColStruct_t) > UINT32_MAX)
        return face.refused(c, arg, Step::BadColumnCount, count), -1;

    unsigned int record_size = told.rec_size;
    rc = summed ? told.open_rc : quick_call(c->lock, [&] { return qc.qcSqlOpenResults(c->stmt_handle, &record_size); });
    if (rc != 0) return face.refused(c, arg, Step::OpenResults, rc), -1;
    c->results_open = 1;
    c->results_held = told.held == 1;
    c->read_buffer_size = read_buffer_for(record_size, heap_limit);
    uint32_t descriptor_length = 0;
    if (describe(c, face, arg, count, told_records, &descriptor_length) < 0) return -1;
    PyObject* results = face.results(c, arg, descriptor_length, record_size);
    if (!results) return -1;
    replace_field(c->results, results);
    return 0;
}

}  // namespace qx
