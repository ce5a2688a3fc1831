// Cursor: one client statement handle and the state of the statement last
// executed on it. The type and its lifecycle live in cursor.cpp, execution in
// run_statement.cpp (the core face's part in execute.cpp), the record iterator
// in record_iterator.cpp, fetching in fetch.cpp and the return value in retcode.cpp.
#pragma once

#include "../client/calls.h"
#include "../client/qscli.h"
#include "../base/memory.h"
#include "../base/common.h"
#include "../values/values.h"

#include <cstdint>

namespace qx {

struct CursorObject;

// The C-level method table. execute() resets through it, so a subclass
// cannot replace _reset from Python.
struct CursorMethods {
    int (*reset)(CursorObject* self);  // 0, or -1 with an exception set
    // reset() but for the library's open result, which the caller closes
    // (it reads and clears results_open first).
    int (*forget)(CursorObject* self);
};

struct CursorObject {
    PyObject_HEAD
    const CursorMethods* vtab;
    int32_t stmt_handle;        // owned client handle; 0 once closed
    int32_t hdb;                // the connection the statement belongs to
    CallLock* lock;             // held: the lock of the connection's calls
    uint32_t read_buffer_size;  // set by execute, read by the record iterator
    uint32_t arraysize;         // default size of fetchmany
    int columns_count;          // written by qcSqlNumResultCols
    qc_long row_count;          // written by qcSqlRowCount
    int32_t start_record;       // next record the iterator reads
    PyObject* columns;          // owned: list of Field, or None
    PyObject* results;          // owned: the record iterator, or None
    int results_open;           // 1 while the result set is open in the client
    int results_held;           // 1: the library holds every record, so reading never waits
    int sums_up;                // 1: an execute asks QSCLI_STMT_EXECUTED (0 once refused)
    int streams;                // 1: the library hands results over in batches (QSCLI_ATTR_STREAM)
    int has_results;            // 1 once any execute passed its return-value step
    PyObject* return_code;      // owned: the statement's return value, or None
    int initialised;            // 1 once __init__ has gone through
    // A face that keeps its columns (the standard face): the Fields of the
    // last result described and the column records they were made from, so
    // a result of the same records takes them while no Field has changed.
    PyObject* kept_records;     // owned: bytes, or null
    PyObject* kept_fields;      // owned: tuple of Field, or null
    int columns_kept;           // 1: the last result took the kept Fields, whole names and all
    uint64_t kept_version;      // field_version when they were made
    // owned, or null: the reader's layout last resolved from kept_fields, so
    // the next result of the same Fields does not resolve it again
    values::ColumnLayout* kept_layout;
    uint64_t kept_layout_stamp;  // changes with kept_layout, never back to an earlier value; 0 with none
    // owned, or null while unset: the standard face's row_factory, kept here
    // so a fetch reads it without an attribute look-up (standard_cursor.cpp)
    PyObject* row_factory;
    // owned, or null: the cursor's last record iterator, finished, which the
    // next result takes rather than make a new one (records_new)
    PyObject* spare_results;
    // owned, or null: the last result's Field list, which nobody else held,
    // for the next result of the same kept Fields (run_statement.cpp)
    PyObject* spare_columns;
};

// The text encoding the cursor's calls speak: UTF-8 for a standard-face
// cursor whose connection took it, code page 866 for the core face's. Each
// entry point sets it (TextScope), so a core-face call made from inside a
// standard-face one (an adapter, a converter, a callback) keeps its own.
bool cursor_text_utf8(PyObject* cursor);

// Forgets the cursor's kept layout (its Fields are no longer kept).
void forget_kept_layout(CursorObject* c);

// Gives the Cursor type its finalizer, which releases the statement of a
// cursor dropped without close(). Called once the type is ready: set
// before, PyType_Ready would put a wrapper of it in place of the method
// table's __del__, which closes through the attribute (a subclass's close).
void install_cursor_finalizer();
// The finalizer itself: releases the statement directly, no Python code.
void cursor_finalize(PyObject* self);

extern PyTypeObject CursorType;
extern PyTypeObject RecordsType;  // the record iterator; not in the namespace

inline bool is_records(PyObject* obj) { return Py_TYPE(obj) == &RecordsType; }
// Whether another thread is inside a records object's row loop.
bool records_read_elsewhere(PyObject* records);
// The server's type of each column of a records object (empty without them).
const std::vector<values::ServerType>* records_server_types(PyObject* records);

// Methods defined in the other files of the cursor, gathered into the
// type's method table by cursor.cpp.
PyObject* cursor_execute(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* cursor_read_results(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* cursor_fetchone(PyObject* self, PyObject*);
PyObject* cursor_fetchmany(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* cursor_fetchall(PyObject* self, PyObject*);
PyObject* cursor_next_method(PyObject* self, PyObject*);
PyObject* cursor_iternext(PyObject* self);
PyObject* cursor_read_retcode(PyObject* self, PyObject* length);
PyObject* cursor_retcode(PyObject* self, PyObject*);

extern const char* const cursor_execute_doc;
extern const char* const cursor_read_results_doc;
extern const char* const cursor_fetchone_doc;
extern const char* const cursor_fetchmany_doc;
extern const char* const cursor_fetchall_doc;
extern const char* const cursor_read_retcode_doc;
extern const char* const cursor_retcode_doc;

// The statement's return value of `size` bytes: its type code and body.
// 1 when there is one, 0 when the type says none, -1 with an exception set.
int read_return_body(CursorObject* self, uint32_t size, int32_t* type, MemBlock* body);

// The record iterator driven from C, with the behaviour of its __next__.
// records_next: a new row, or null (StopIteration when no exception is set).
PyObject* records_next(PyObject* it);
// Appends up to `limit` rows (all when limit < 0) to `rows`: 0 when done,
// -1 with an exception set (the iterator is then finished).
int records_take(PyObject* it, PyObject* rows, Py_ssize_t limit);
// A run of whole records of one layout, as they lie in the read buffer.
struct RecordBlock {
    const std::vector<values::ColumnCodec>* columns;
    const unsigned char* first;  // the first record
    uint32_t rec_size;
    uint32_t count;
    int64_t flags_at;    // offset of the null flags in a record, or -1 without them
    int64_t lengths_at;  // offset of the ARRA lengths, or -1 without them
};
// Hands the standard face's records to `sink` a block at a time, up to
// `limit` records (all when limit < 0), from where fetching left off, as
// records_take would cut them into rows. sink returns 0, or -1 with an
// exception set, which ends the iteration. The records handed over, or -1.
using RecordSink = int (*)(void* ctx, const RecordBlock& block);
Py_ssize_t records_scan(PyObject* it, Py_ssize_t limit, RecordSink sink, void* ctx);
// Whether the cursor was closed by another thread while its call ran (the
// library no longer knows the handle the call was given): then
// ProgrammingError saying so is set. The library's own code would only name
// a handle the caller never closed.
bool closed_meanwhile(CursorObject* c, int rc);
// -1 with the error every later fetch gets when the iteration ended on
// one, else 0.
int records_refuse_failed(PyObject* it);
// Ends the iteration on the pending exception (which stays pending) as a
// failed fetch ends it: a failure met beside the records, such as the
// library's own Arrow batches, leaves the rest of the result unreadable too.
void records_fail(PyObject* it);
// The standard face's converters of the result (borrowed; null when no
// column has one): a tuple of one converter, or None, a column.
PyObject* records_converters(PyObject* it);
// Ends the iteration and frees the buffer, as the iterator's close().
PyObject* records_close(PyObject* it, PyObject* = nullptr);
// A new record iterator over the cursor `self`'s open result, as
// _read_results makes it, with `face`'s rows; the standard face's
// records end with `flag_bytes` bytes of null flags (0 without them) and,
// with `arra_lengths`, then one 4-byte length per ARRA column.
// `converters` (borrowed, may be null): the standard face's tuple of one
// converter (or None) a column, chosen when the result was described.
// `server_types`: each column's type on the server, which picks its loader
// (empty: the element types alone). `zone` (borrowed, may be null): the
// tzinfo its timestamptz values take (values::ReadingScope).
PyObject* records_new(PyObject* self, uint32_t buffer_size, uint32_t rec_size, values::Face face,
                      uint32_t flag_bytes, bool arra_lengths = false, PyObject* converters = nullptr,
                      std::vector<values::ServerType> server_types = {}, PyObject* zone = nullptr);
// Lets go of `old` (stolen), the cursor's results replaced: a record
// iterator nobody else holds is finished and kept as the cursor's spare.
void records_let_go(CursorObject* c, PyObject* old);

// Shared by the standard cursor (standard_cursor.cpp): close() of a cursor, a new
// Field for a column record (field.cpp's cache), the read buffer for a
// record size, and HEAPCTRL as it is bound now.
PyObject* cursor_close(PyObject* self, PyObject*);
// Hands the statement of a cursor that close() could not close (the library
// refused to close its result set, or to free it) straight back, so it is
// not kept for the life of the connection; any pending exception stays.
void cursor_release(PyObject* cursor);
PyObject* new_field(const ColStruct_t* rec);
uint32_t read_buffer_for(uint32_t record_size, uint32_t heap_limit);
int heap_limit_now(uint32_t* out);

}  // namespace qx
