// The bulk load, one for both faces and both sources (rows, Arrow data):
// its set-up, the send of its records a buffer at a time, and the rows'
// packing, where the face says how values are packed and a bad row is told.
#pragma once

#include "table_layout.h"

#include "../base/memory.h"
#include "../base/pending.h"
#include "../base/ref.h"
#include "../client/cp866.h"
#include "../values/values.h"

#include <cstdint>
#include <optional>

namespace qx {

struct ConnectionObject;
struct StandardCursorObject;

// The standard face's bulk load, load(connection, table, rows): every row a
// sequence of one value a field, packed exactly (None as NULL through the
// connection's null flags); a value that does not fit raises an error
// naming the row and the field, with rows_sent. Returns the rows loaded.
PyObject* standard_load(PyObject* module, PyObject* args);

// Records per send: the whole load of `rows` records of `record_length`
// bytes (an int) when it fits into HEAPCTRL bytes, otherwise as many whole
// records as HEAPCTRL holds (at least one). A HEAPCTRL at or above its
// default counts as `at_least` bytes when that is more. 0, or -1 with an
// exception set.
int records_per_batch(Py_ssize_t rows, PyObject* record_length, Py_ssize_t* per_batch, int32_t at_least = 0);

// The batch in bytes a load on PostgreSQL sends at the least: each batch is a
// COPY of its own, and setting one up costs the server more than the rows of
// a 64 KiB batch.
constexpr int32_t PG_BATCH_BYTES = 8 << 20;

// Loads every row of `rows` into `table` (the encoded name, kept by the
// caller), whose layout is the Field list `fields`, `per_batch` records a
// send; the standard face's records end with `flag_bytes` bytes of null
// flags. *sent: the rows the library accepted. 0, or -1 with the face's
// exception set, annotated with rows_sent. `adapters` (borrowed, may be
// null) adapts the standard face's values as a bound statement does.
// `alone` (borrowed, may be null): called with a tuple of a row's adapted
// values when a text of the row is longer than its unbounded text field
// (a field of a UTF-8 connection whose width is no declared length's), to
// store that row by itself after the rows before it; without it such a row
// is refused.
int bulk_load(ConnectionObject* conn, const char* table, PyObject* fields, Py_ssize_t per_batch, values::Face face,
              uint32_t flag_bytes, PyObject* rows, Py_ssize_t* sent, PyObject* adapters = nullptr,
              PyObject* alone = nullptr);

// Adds `rows_sent` and the note make_note() gives (a null Ref: none) to the
// pending exception, so the caller of a long load learns how far it got. A
// failure to annotate is swallowed: the original exception is what matters.
template <class MakeNote>
void annotate_pending(Py_ssize_t rows_sent, MakeNote make_note) {
    PyObject* value = take_pending();
    if (value) {
        Ref count(PyLong_FromSsize_t(rows_sent));
        if (!count || PyObject_SetAttrString(value, "rows_sent", count.get()) < 0) PyErr_Clear();
        Ref note = make_note();
        if (note && PyObject_HasAttrString(value, "add_note")) {
            Ref done(PyObject_CallMethod(value, "add_note", "O", note.get()));
        }
        PyErr_Clear();
    }
    raise_pending(value);
}

// The pending exception with rows_sent and no note.
inline void annotate_pending(Py_ssize_t rows_sent) {
    annotate_pending(rows_sent, [] { return Ref(); });
}

// Whole records of one table handed to the library a buffer at a time, and
// a refused batch raised as the load's face raises it.
class RecordBatches {
public:
    // Records of `table` (the encoded name, kept by the caller) on `conn`; a
    // refused batch raises as `face` does: the core face's with the
    // library's code, the standard face's by cause.
    RecordBatches(ConnectionObject* conn, const char* table, values::Face face)
        : conn_(conn), table_(table), face_(face) {}

    // Records of `record_size` bytes of fields and `flag_bytes` of null
    // flags after them, `per_batch` a send. 0, or -1 with an exception set.
    int open(uint64_t record_size, uint32_t flag_bytes, Py_ssize_t per_batch);

    // The next record to fill.
    unsigned char* record() { return buffer_.get() + static_cast<size_t>(count_) * rec_size_; }
    // The null flags of `record`, cleared; null when the library takes none.
    unsigned char* flags(unsigned char* record);
    // The next record is filled: sent with its batch once that is full.
    int add() { return ++count_ == per_batch_ ? send() : 0; }
    // A row the caller stored by itself counts as sent.
    void stored_alone() { ++sent_; }
    // Sends the records filled since the last send, if any.
    int send();
    // The library's answer `rc` to a batch of `count` rows the caller sent
    // in another form (the buffer sent first): counted, or raised as a
    // refused batch of records. 0, or -1 with an exception set.
    int took(int rc, Py_ssize_t count);

    Py_ssize_t sent() const { return sent_; }

private:
    int refused(int rc);

    ConnectionObject* conn_;
    const char* table_;
    values::Face face_;
    uint64_t rec_size_ = 0;
    uint32_t flag_bytes_ = 0;
    Py_ssize_t per_batch_ = 1;
    MemBlock buffer_;
    Py_ssize_t count_ = 0;  // records in the buffer since the last send
    Py_ssize_t sent_ = 0;   // records the library has accepted, or stored alone
};

// What a standard face's load (rows or Arrow data) sets up before its first
// record and settles after its last: the table and its layout, the load
// forms and null flags, the records a send, and the cursor it runs for.
class LoadSetup {
public:
    // Checks the arguments (a Connection, connected; `cursor` None or a
    // standard cursor) and reads the table's layout; `rows`: the rows to
    // load, or -1 when unknown. 0, or -1 with the standard face's exception.
    int open(PyObject* connection, PyObject* table_name, PyObject* cursor, Py_ssize_t rows);

    // The cursor the load runs for (executemany) drops its last result.
    // 0, or -1 with an exception set.
    int claim_cursor();

    // The load's result: the rows loaded, which the cursor then counts; or,
    // with `failed`, null with the pending exception told rows_sent.
    PyObject* finish(bool failed, Py_ssize_t sent);

    ConnectionObject* conn = nullptr;
    const char* table = nullptr;  // the encoded name
    TableLayout layout;
    uint32_t flag_bytes = 0;  // null flags after each record (0: the library takes none)
    Py_ssize_t per_batch = 0;

private:
    StandardCursorObject* cursor_ = nullptr;
    std::optional<TextScope> text_;
    Ref encoded_;
    std::optional<LoadForms> forms_;
};

}  // namespace qx
