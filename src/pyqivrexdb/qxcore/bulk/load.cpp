// The bulk load: rows packed into records of a table's layout and handed to
// the library a buffer of whole records at a time, as the face packs them.
#include "load.h"

#include "../client/calls.h"
#include "../client/loader.h"
#include "../connection/connection.h"
#include "../connection/kept_layouts.h"
#include "../cursor/bad_row.h"
#include "../cursor/standard_cursor.h"
#include "../client/causes.h"
#include "../base/memory.h"
#include "../base/common.h"
#include "../values/adapt.h"
#include "../client/cp866.h"
#include "../values/dates.h"
#include "../values/server_values.h"
#include "../values/values.h"
#include "table_layout.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace qx {

namespace {

class BulkLoad;

// What differs between the faces in a bulk load: how values are packed and
// a bad row told (a refused batch: RecordBatches).
struct LoadFace {
    values::Face values;
    int (BulkLoad::*pack)(PyObject* row, unsigned char* out, Py_ssize_t* failed);
    void (BulkLoad::*note_row)(PyObject* row, Py_ssize_t index, Py_ssize_t j);
};

// One load into one table: rows packed into records of its layout, sent a
// buffer at a time.
class BulkLoad {
public:
    // The core face's load: values packed as the design packs them (cut to
    // their field), None refused, errors with the library's code.
    static const LoadFace kCore;
    // The standard face's load: values packed exactly, None as NULL through
    // `flag_bytes` bytes of null flags after each record (0: the library
    // takes none, and None is refused), errors by cause.
    static const LoadFace kStandard;

    // `per_batch`: the records one send carries, as HEAPCTRL allows.
    // `alone` (standard face): called with the values of a row whose text
    // is longer than an unbounded text field's width, or, on a server, with
    // a date outside a DATE field's days or a Decimal NaN or infinity in a
    // number field (which the server's own types hold), to store that row
    // by itself; null: such a row is refused.
    BulkLoad(ConnectionObject* conn, const char* table, PyObject* fields, Py_ssize_t per_batch, const LoadFace& face,
             uint32_t flag_bytes = 0, PyObject* adapters = nullptr, PyObject* alone = nullptr)
        : conn_(conn), fields_(fields), per_batch_(per_batch), face_(face), flag_bytes_(flag_bytes),
          adapters_(adapters), alone_(alone), batches_(conn, table, face.values) {}

    Py_ssize_t sent() const { return batches_.sent(); }

    // Packs one row; sends the buffer when it is full. 0, or -1 with an
    // exception set.
    int add(PyObject* row, Py_ssize_t index) {
        if (!ready_ && prepare() < 0) return first_row_first(row, index), -1;
        unsigned char* out = batches_.record();
        Py_ssize_t j = 0;
        const int packed = (this->*face_.pack)(row, out, &j);
        if (packed < 0) {
            (this->*face_.note_row)(row, index, j);
            return -1;
        }
        if (packed == kAlone) return store_alone(row, index);
        return batches_.add();
    }

    // Sends the records packed since the last send, if any.
    int send() { return batches_.send(); }

private:
    // What a pack returns for a row that goes by itself (store_alone).
    static constexpr int kAlone = 1;

    // A row too long for its record: the records before it are sent, then
    // it is stored by itself, with the values its adapters made.
    int store_alone(PyObject* row, Py_ssize_t index) {
        if (send() < 0) return -1;
        Ref values(PyTuple_New(ncols_));
        if (!values) return -1;
        for (Py_ssize_t j = 0; j < ncols_; ++j) PyTuple_SET_ITEM(values.get(), j, row_values_[j].release());
        Ref done(PyObject_CallOneArg(alone_, values.get()));
        if (!done) {
            name_row(row, index, -1);
            return -1;
        }
        batches_.stored_alone();
        return 0;
    }

    // Resolves the field list once per call. Resolved for writing, every
    // field writes exactly its len, so no row can leave its record and no
    // record the buffer.
    int prepare() {
        if (layout_.resolve(fields_, values::Purpose::Write, face_.values) < 0) return -1;
        const auto& cols = layout_.columns();
        cols_ = cols.data();
        ncols_ = static_cast<Py_ssize_t>(cols.size());
        // In UTF-8 a declared length gives a field of 4 * n bytes: a text
        // field of another width is an unbounded one, and its width no limit
        // of the column's. A number's text longer than its field is either
        // one the column refuses or of a numeric without a precision: the
        // server tells which.
        unbounded_.assign(cols.size(), '\0');
        for (size_t j = 0; j < cols.size(); ++j)
            if (alone_ && values::may_go_alone(cols[j], conn_->dialect)) unbounded_[j] = any_unbounded_ = true;
        if (any_unbounded_) row_values_.resize(cols.size());
        if (&face_ == &kStandard && !(zone_ = session_zone())) return -1;
        if (batches_.open(layout_.record_size(), flag_bytes_, per_batch_) < 0) return -1;
        ready_ = true;
        return 0;
    }

    // A table whose layout is refused is refused before anything is sent,
    // but the errors keep the designed order, field by field: a value of the
    // first row that a field before the refused one cannot take is told
    // instead of the layout's error.
    void first_row_first(PyObject* row, Py_ssize_t index) {
        Ref layout_error(take_pending());
        const Py_ssize_t n = PyList_Check(fields_) ? PyList_GET_SIZE(fields_) : 0;
        values::ColumnLayout before;
        Py_ssize_t bad = 0;
        for (; bad < n; ++bad) {
            Ref prefix(PyList_GetSlice(fields_, 0, bad + 1));
            values::ColumnLayout grown;
            if (!prefix || grown.resolve(prefix.get(), values::Purpose::Write, face_.values) < 0) break;
            before = std::move(grown);
        }
        PyErr_Clear();
        const auto& cols = before.columns();
        std::vector<unsigned char> scratch(static_cast<size_t>(before.record_size()) + 1);
        unsigned char* out = scratch.data();
        for (Py_ssize_t j = 0; j < bad && j < static_cast<Py_ssize_t>(cols.size()); ++j) {
            Ref key(PyLong_FromSsize_t(j));
            Ref item(key ? PyObject_GetItem(row, key.get()) : nullptr);
            bool is_null = false;
            const int rc = !item ? -1 : values::encode_value(face_.values, cols[j], item.get(), out, &is_null);
            if (rc < 0) {
                if (!item) break;  // not a row to pack: the layout's error stands
                (this->*face_.note_row)(row, index, j);
                return;
            }
            out += cols[j].len;
        }
        PyErr_Clear();
        raise_pending(layout_error.release());
    }

    // Field j's name for messages. The structure query gives asname as
    // text padded to its column's width; a name that cannot be read is shown
    // by the field's position.
    Ref field_name(Py_ssize_t j) {
        PyObject* field = PyList_GET_ITEM(fields_, j);
        Ref name(PyObject_GetAttrString(field, "asname"));
        if (name && PyBytes_Check(name.get())) name = Ref(PyObject_GetAttrString(field, "name"));
        if (name && PyUnicode_Check(name.get())) {
            Ref stripped(PyObject_CallMethod(name.get(), "rstrip", "s#", " \0", static_cast<Py_ssize_t>(2)));
            if (stripped) return stripped;
        }
        PyErr_Clear();
        return Ref(PyUnicode_FromFormat("#%zd", j));
    }

    // One value into field j at `out`; None sets its null flag. kAlone for
    // a text longer than its unbounded field, or a server's date or Decimal
    // a record cannot carry, which is left unwritten.
    int put(Py_ssize_t j, PyObject* value, unsigned char* out, unsigned char* flags) {
        bool is_null = false;
        Ref adapted;
        if (adapters_) {
            adapted = values::adapt(value, adapters_, nullptr, conn_->dialect);
            if (!adapted) return -1;
            value = adapted.get();
        }
        Ref zoned = in_zone(value, zone_.get());
        if (!zoned) return -1;
        value = zoned.get();
        if (any_unbounded_) row_values_[j] = Ref::borrow(value);
        Ref field = values::field_value(cols_[j].type, conn_->dialect, value);
        if (!field) return -1;
        value = field.get();
        if (unbounded_[j]) {
            const int alone = values::goes_alone(cols_[j], value);
            if (alone) return alone < 0 ? -1 : kAlone;
        }
        if (values::encode_standard(cols_[j], value, out, &is_null) < 0) return -1;
        if (!is_null) return 0;
        if (!flags) {
            raise_message("NotSupportedError", "the client library cannot load NULL (None)");
            return -1;
        }
        flags[j >> 3] |= static_cast<unsigned char>(1u << (j & 7));
        return 0;
    }

    // A row of the core face: a tuple, a list or anything indexable, at
    // least one value a field.
    int pack_core(PyObject* row, unsigned char* out, Py_ssize_t* failed) {
        const values::ColumnCodec* cols = cols_;
        const Py_ssize_t n = ncols_;
        if (PyTuple_CheckExact(row)) {
            // Immutable, and held by the caller: its items stay alive.
            const Py_ssize_t size = PyTuple_GET_SIZE(row);
            for (Py_ssize_t j = 0; j < n; ++j) {
                *failed = j;
                if (j >= size) return short_row("tuple");
                if (values::encode_field(cols[j], PyTuple_GET_ITEM(row, j), out) < 0) return -1;
                out += cols[j].len;
            }
        } else if (PyList_CheckExact(row)) {
            for (Py_ssize_t j = 0; j < n; ++j) {
                *failed = j;
                // Re-read: the encoder may call out to Python (binascii is
                // looked up late), which could change the list.
                if (j >= PyList_GET_SIZE(row)) return short_row("list");
                Ref item = Ref::borrow(PyList_GET_ITEM(row, j));
                if (values::encode_field(cols[j], item.get(), out) < 0) return -1;
                out += cols[j].len;
            }
        } else {
            for (Py_ssize_t j = 0; j < n; ++j) {
                *failed = j;
                Ref key(PyLong_FromSsize_t(j));
                if (!key) return -1;
                Ref item(PyObject_GetItem(row, key.get()));
                if (!item || values::encode_field(cols[j], item.get(), out) < 0) return -1;
                out += cols[j].len;
            }
        }
        return 0;
    }

    // A row of the standard face: any sequence of exactly one value a field.
    int pack_standard(PyObject* row, unsigned char* out, Py_ssize_t* failed) {
        *failed = -1;
        Ref seq(PySequence_Fast(row, "a row must be a sequence of values"));
        if (!seq) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                raise_message("ProgrammingError", "a row must be a sequence of values");
            }
            return -1;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        if (n != ncols_) {
            Ref text(PyUnicode_FromFormat("a row of %zd values for a table of %zd fields", n, ncols_));
            if (text) raise_object("ProgrammingError", text.get());
            return -1;
        }
        unsigned char* flags = batches_.flags(out);
        // A row that goes alone is still held to every field's type.
        int packed = 0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            *failed = j;
            const int rc = put(j, PySequence_Fast_GET_ITEM(seq.get(), j), out, flags);
            if (rc < 0) return -1;
            if (rc == kAlone) packed = kAlone;
            out += cols_[j].len;
        }
        return packed;
    }

    // A server's session zone (a tzinfo), or None: an aware datetime is
    // loaded as that instant in it, which a timestamp column keeps as the
    // wall time there, as it keeps a statement's value.
    Ref session_zone() {
        if (conn_->dialect != QSCLI_DIALECT_PG) return Ref::borrow(Py_None);
        char name[128];
        unsigned int length = 0;
        const int hdb = conn_->hdb;
        const int rc = quick_call(HeldLock(hdb).get(), [&] {
            return qc.qcSqlGetConnectAttr(hdb, QSCLI_CONN_TIME_ZONE, 0, name, sizeof name, &length);
        });
        if (rc != 0 || length + 1 >= sizeof name) return Ref::borrow(Py_None);
        return values::session_zone(name, length);
    }

    static int short_row(const char* kind) {
        PyErr_Format(PyExc_IndexError, "%s index out of range", kind);
        return -1;
    }

    void note_core_row(PyObject*, Py_ssize_t index, Py_ssize_t j) {
        const Py_ssize_t sent = batches_.sent();
        annotate_pending(sent, [&] {
            Ref name = field_name(j);
            if (!name) return Ref();
            return Ref(PyUnicode_FromFormat("at pydata[%zd][%zd] (field %U); %zd rows had been loaded before it",
                                            index, j, name.get(), sent));
        });
    }

    void name_row(PyObject* row, Py_ssize_t index, Py_ssize_t j) {
        PyObject* pending = take_pending();  // the field's name is asked without it
        Ref name = j >= 0 ? field_name(j) : Ref();
        PyErr_Clear();
        raise_pending(pending);
        name_bad_row(row, index, name.get(), j);
        annotate_pending(batches_.sent());
    }

    ConnectionObject* conn_;
    PyObject* fields_;  // borrowed: the call's list of Fields
    values::ColumnLayout layout_;
    const values::ColumnCodec* cols_ = nullptr;
    Py_ssize_t ncols_ = 0;
    Py_ssize_t per_batch_;
    bool ready_ = false;
    const LoadFace& face_;
    uint32_t flag_bytes_;
    PyObject* adapters_;  // borrowed: see values::adapt; null when none are registered
    PyObject* alone_;     // borrowed: stores a row by itself; null when none
    // Per field: one a value may leave for a row of its own (an unbounded
    // text, a server's date or number). A string, whose
    // code the C++ library holds: a vector's would be exported from the module.
    std::string unbounded_;
    bool any_unbounded_ = false;
    std::vector<Ref> row_values_;  // the row being packed, adapted: kept when a field is unbounded
    Ref zone_ = Ref::borrow(Py_None);  // the session's tzinfo (standard face), or None
    RecordBatches batches_;
};

const LoadFace BulkLoad::kCore{values::Face::Core, &BulkLoad::pack_core, &BulkLoad::note_core_row};
const LoadFace BulkLoad::kStandard{values::Face::Standard, &BulkLoad::pack_standard, &BulkLoad::name_row};

// Loads every row of `rows` through `loader`; 0, or -1 with an exception.
int load_rows(BulkLoad& loader, PyObject* rows) {
    if (PyList_CheckExact(rows)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
            Ref row = Ref::borrow(PyList_GET_ITEM(rows, i));
            if (loader.add(row.get(), i) < 0) return -1;
        }
    } else if (PyTuple_CheckExact(rows)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rows); ++i)
            if (loader.add(PyTuple_GET_ITEM(rows, i), i) < 0) return -1;
    } else {
        Ref it(PyObject_GetIter(rows));
        if (!it) return -1;
        for (Py_ssize_t i = 0;; ++i) {
            Ref row(PyIter_Next(it.get()));
            if (!row) {
                if (PyErr_Occurred()) return -1;
                break;
            }
            if (loader.add(row.get(), i) < 0) return -1;
        }
    }
    // The rows since the last full buffer. Sent after the loop rather than on
    // the row whose number equals len(pydata), so rows are not left behind by
    // a collection whose len() and iteration disagree.
    return loader.send();
}

}  // namespace

// Records per send: the whole load when it fits into HEAPCTRL bytes,
// otherwise as many whole records as HEAPCTRL holds (at least one).
int records_per_batch(Py_ssize_t rows, PyObject* record_length, Py_ssize_t* per_batch, int32_t at_least) {
    Ref count(PyLong_FromSsize_t(rows));
    if (!count) return -1;
    Ref total(PyNumber_Multiply(count.get(), record_length));
    if (!total) return -1;
    Ref heap = global("HEAPCTRL");
    if (!heap) return -1;
    // A HEAPCTRL below its default asks for small batches: kept as it is.
    constexpr long DEFAULT_HEAP = 65536;
    if (at_least > DEFAULT_HEAP && PyLong_Check(heap.get())) {
        int overflow = 0;
        const long long now = PyLong_AsLongLongAndOverflow(heap.get(), &overflow);
        if (now == -1 && PyErr_Occurred()) return -1;
        if (!overflow && now >= DEFAULT_HEAP && now < at_least) heap.reset(PyLong_FromLong(at_least));
        if (!heap) return -1;
    }
    int fits = PyObject_RichCompareBool(total.get(), heap.get(), Py_LE);
    if (fits < 0) return -1;
    if (fits) {
        *per_batch = rows;
        return 0;
    }
    int32_t limit;
    if (to_int32(heap.get(), &limit) < 0) return -1;
    Ref limit_obj(PyLong_FromLong(limit));
    if (!limit_obj) return -1;
    Ref records(PyNumber_FloorDivide(limit_obj.get(), record_length));
    if (!records) return -1;
    Py_ssize_t n = PyLong_AsSsize_t(records.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0) {
        PyErr_SetString(PyExc_OverflowError, "HEAPCTRL must not be negative");
        return -1;
    }
    *per_batch = n;
    return 0;
}

int bulk_load(ConnectionObject* conn, const char* table, PyObject* fields, Py_ssize_t per_batch, values::Face face,
              uint32_t flag_bytes, PyObject* rows, Py_ssize_t* sent, PyObject* adapters, PyObject* alone) {
    BulkLoad loader(conn, table, fields, per_batch, face == values::Face::Standard ? BulkLoad::kStandard : BulkLoad::kCore,
                    flag_bytes, adapters, alone);
    const int done = load_rows(loader, rows);
    *sent = loader.sent();
    return done;
}

int RecordBatches::open(uint64_t record_size, uint32_t flag_bytes, Py_ssize_t per_batch) {
    if (record_size > UINT32_MAX) {
        raise_message("ProgrammingError", "Record length error: a record of the table is longer than 4294967295 bytes");
        return -1;
    }
    flag_bytes_ = flag_bytes;
    rec_size_ = record_size + flag_bytes;
    // Records of no bytes go one per send, as a buffer of no bytes is full
    // after every row.
    per_batch_ = per_batch < 1 || rec_size_ == 0 ? 1 : per_batch > INT32_MAX ? INT32_MAX : per_batch;
    const uint64_t bytes = static_cast<uint64_t>(per_batch_) * rec_size_;
    if (bytes > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return -1;
    }
    // One byte at least, so a table of zero-length records still has an
    // address to hand over.
    buffer_ = mem_block(static_cast<size_t>(bytes), false);
    return buffer_ ? 0 : -1;
}

unsigned char* RecordBatches::flags(unsigned char* record) {
    if (!flag_bytes_) return nullptr;
    unsigned char* flags = record + (rec_size_ - flag_bytes_);
    std::memset(flags, 0, flag_bytes_);
    return flags;
}

int RecordBatches::send() {
    if (count_ == 0) return 0;
    const int hdb = conn_->hdb;
    const qc_long count = static_cast<qc_long>(count_);
    const unsigned int rec_size = static_cast<unsigned int>(rec_size_);
    unsigned char* records = buffer_.get();
    const int rc = waiting_call(HeldLock(hdb).get(), hdb, [&] {
        return qc.qcSqlAddRecords(hdb, const_cast<char*>(table_), count, rec_size, records);
    });
    return took(rc, count_);
}

int RecordBatches::took(int rc, Py_ssize_t count) {
    if (rc != 0) return refused(rc);
    sent_ += count;
    count_ = 0;
    // A long load stays interruptible; what was sent stays sent.
    if (PyErr_CheckSignals() < 0) {
        annotate_pending(sent_, [&] { return Ref(PyUnicode_FromFormat("%zd rows had been loaded", sent_)); });
        return -1;
    }
    return 0;
}

int RecordBatches::refused(int rc) {
    Ref text = connection_error_text(conn_->hdb);
    if (face_ == values::Face::Core) {
        raise_code("ProgrammingError", "qcSqlAddRecords error %d:", rc);
        note_server_text(text.get());
        annotate_pending(sent_, [&] {
            return Ref(PyUnicode_FromFormat("%zd rows had been loaded before the server refused a batch of %zd rows",
                                            sent_, count_));
        });
        return -1;
    }
    // The table changed since its layout was read: the next load reads it anew.
    if (rc == QSCLI_E_RECORD_LENGTH) forget_layout(conn_->hdb, table_);
    raise_by_cause(rc, text.get(), "qcSqlAddRecords");
    annotate_pending(sent_);
    return -1;
}

int LoadSetup::open(PyObject* connection, PyObject* table_name, PyObject* cursor, Py_ssize_t rows) {
    if (!PyObject_TypeCheck(connection, &ConnectionType)) {
        PyErr_Format(PyExc_TypeError, "expected a pyqivrexdb.qxcore.Connection, not %.100s",
                     Py_TYPE(connection)->tp_name);
        return -1;
    }
    if (cursor != Py_None && !PyObject_TypeCheck(cursor, &StandardCursorType)) {
        PyErr_Format(PyExc_TypeError, "expected a standard cursor, not %.100s", Py_TYPE(cursor)->tp_name);
        return -1;
    }
    conn = reinterpret_cast<ConnectionObject*>(connection);
    cursor_ = cursor == Py_None ? nullptr : reinterpret_cast<StandardCursorObject*>(cursor);
    if (!conn->is_connected) return raise_message("ProgrammingError", "the connection is closed"), -1;
    text_.emplace(conn->text_utf8);
    encoded_ = table_name_text(table_name, &table);
    if (!encoded_ || table_layout(conn, table_name, &layout) < 0) return -1;
    // 64-bit and numeric fields load in their own forms when the connection
    // takes them so, as the layout was read.
    forms_.emplace(conn);
    const Py_ssize_t nfields = PyList_GET_SIZE(layout.fields.get());
    if (quick_call(HeldLock(conn->hdb).get(), [&] {
            return qc.qcSqlSetConnectAttr(conn->hdb, QSCLI_ATTR_NULL_FLAGS, reinterpret_cast<void*>(1), 0);
        }) == 0)
        flag_bytes = static_cast<uint32_t>((nfields + 7) / 8);
    Ref flags(PyLong_FromUnsignedLong(flag_bytes));
    Ref length(flags ? PyNumber_Add(layout.record_length.get(), flags.get()) : nullptr);
    if (!length) return -1;
    // Rows of unknown count (an iterator, a stream): HEAPCTRL bytes a send.
    return records_per_batch(rows < 0 ? PY_SSIZE_T_MAX / 2 : rows, length.get(), &per_batch,
                             conn->dialect == QSCLI_DIALECT_PG ? PG_BATCH_BYTES : 0);
}

int LoadSetup::claim_cursor() {
    if (!cursor_) return 0;
    if (cursor_->base.stmt_handle == 0) return raise_message("ProgrammingError", "the cursor is closed"), -1;
    if (cursor_->base.vtab->reset(&cursor_->base) < 0) return -1;
    cursor_->rowcount = -1;
    cursor_->has_lastrowid = 0;
    return 0;
}

PyObject* LoadSetup::finish(bool failed, Py_ssize_t sent) {
    if (failed) {
        // An error of the rows' own iterator tells as much as a refused row.
        Ref error(take_pending());
        const bool told = error && PyObject_HasAttrString(error.get(), "rows_sent");
        raise_pending(error.release());
        if (!told) annotate_pending(sent);
        return nullptr;
    }
    // A row stored by itself leaves no row id of its own behind.
    if (cursor_) {
        cursor_->rowcount = sent;
        cursor_->has_lastrowid = 0;
    }
    return PyLong_FromSsize_t(sent);
}

}  // namespace qx
