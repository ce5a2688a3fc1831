// The standard cursor: execute binds its parameters, reads the statement's
// return value, changed rows and last row id, and makes the record iterator
// cut tuples with the standard decoders; fetching refuses a closed cursor and
// a statement without a result set. Everything else is the core's.
#include "standard_cursor.h"

#include "bad_row.h"
#include "../client/calls.h"
#include "../client/loader.h"
#include "../connection/connection.h"
#include "../client/causes.h"
#include "../base/common.h"
#include "../base/pending.h"
#include "../values/adapt.h"
#include "../client/cp866.h"
#include "../values/server_values.h"
#include "../values/values.h"
#include "binding.h"
#include "converters.h"
#include "row_records.h"
#include "run_statement.h"

#include <algorithm>
#include <cstring>

namespace qx {

namespace {

StandardCursorObject* as_standard(PyObject* self) { return reinterpret_cast<StandardCursorObject*>(self); }

std::nullptr_t failed(CursorObject* c, int rc, const char* context) {
    if (closed_meanwhile(c, rc)) return nullptr;
    Ref text = statement_error_text(c->stmt_handle, c->lock);
    return raise_by_cause(rc, text.get(), context);
}

// A connection whose server went away refuses a new statement with
// QSCLI_E_CONNECTION and no text of its own: the connection's last error
// says why, as it does on every cursor made before.
std::nullptr_t refused_statement(int hdb) {
    Ref pending(take_pending());
    Ref code(pending ? PyObject_GetAttrString(pending.get(), "error_code_qivrex") : nullptr);
    if (!code) PyErr_Clear();
    if (code && PyLong_Check(code.get()) && PyLong_AsLong(code.get()) == QSCLI_E_CONNECTION) {
        Ref text = connection_error_text(hdb);
        if (text) return raise_by_cause(QSCLI_E_CONNECTION, text.get(), "qcSqlAllocStmt");
    }
    raise_pending(pending.release());
    return nullptr;
}

int check_open(PyObject* self) {
    if (as_standard(self)->base.stmt_handle != 0) return 0;
    raise_message("ProgrammingError", "the cursor is closed");
    return -1;
}

// An optional 64-bit statement attribute; false when the library has none.
bool stmt_int64(CursorObject* c, unsigned int attr, long long* out) {
    int64_t value = 0;
    unsigned int length = 0;
    const int hstmt = c->stmt_handle;
    if (quick_call(c->lock, [&] {
            return qc.qcSqlGetStmtAttr(hstmt, attr, 0, &value, sizeof value, &length);
        }) != 0 ||
        length != sizeof value)
        return false;
    *out = value;
    return true;
}

// The richest null flags the library gives the new statement: 2 (with ARRA
// lengths), else 1, else none (the vendor's library). A refused setting is
// not asked again on the same session.
int offer_null_flags(ConnectionObject* conn, CursorObject* c) {
    const int32_t hstmt = c->stmt_handle;
    for (int setting = 2; setting > 0; --setting) {
        if (conn->null_flags_refused & (1u << setting)) continue;
        if (quick_call(c->lock, [&] {
                return qc.qcSqlSetStmtAttr(hstmt, QSCLI_ATTR_NULL_FLAGS,
                                           reinterpret_cast<void*>(setting), 0);
            }) == 0)
            return setting;
        conn->null_flags_refused |= 1u << setting;
    }
    return 0;
}

// Asks the library for 64-bit integer columns as QSCLI_ET_INT64; without
// the capability they read as DFLT, as on the core face.
void offer_int64(ConnectionObject* conn, CursorObject* c) {
    if (conn->int64_refused) return;
    const int32_t hstmt = c->stmt_handle;
    conn->int64_refused = quick_call(c->lock, [&] {
        return qc.qcSqlSetStmtAttr(hstmt, QSCLI_ATTR_INT64, reinterpret_cast<void*>(1), 0);
    }) != 0;
}

// Asks the library to make a query's records as they are read; without the
// capability every result is read whole by the execute, as on the core face.
void offer_stream(ConnectionObject* conn, CursorObject* c) {
    if (conn->stream_refused) return;
    const int32_t hstmt = c->stmt_handle;
    conn->stream_refused = quick_call(c->lock, [&] {
        return qc.qcSqlSetStmtAttr(hstmt, QSCLI_ATTR_STREAM, reinterpret_cast<void*>(1), 0);
    }) != 0;
}

// Asks the library to tell each result column's server type and to hand
// over as text the values its element type would change; without the
// capability values stay as the element types give them.
int offer_server_types(ConnectionObject* conn, CursorObject* c) {
    if (conn->server_types_refused) return 0;
    const int32_t hstmt = c->stmt_handle;
    conn->server_types_refused = quick_call(c->lock, [&] {
        return qc.qcSqlSetStmtAttr(hstmt, QSCLI_ATTR_SERVER_TYPES, reinterpret_cast<void*>(1), 0);
    }) != 0;
    return !conn->server_types_refused;
}

// The server types of the result's columns; none when the library tells
// none (the engine) or refuses. False when the backend has none at all (an
// answer of no bytes for some columns): its results need not ask again.
bool read_server_types(CursorObject* c, std::vector<values::ServerType>* out) {
    const Py_ssize_t n = c->columns_count > 0 ? c->columns_count : 0;
    out->resize(static_cast<size_t>(n));
    unsigned int length = 0;
    const int32_t hstmt = c->stmt_handle;
    const unsigned int size = static_cast<unsigned int>(n * sizeof(values::ServerType));
    static_assert(sizeof(values::ServerType) == 8, "the library's 8 bytes a column");
    values::ServerType* into = out->data();
    const int rc = n ? quick_call(c->lock, [&] {
        return qc.qcSqlGetStmtAttr(hstmt, QSCLI_ATTR_SERVER_TYPES, 0, into, size, &length);
    }) : -1;
    if (rc != 0 || length != size) out->clear();
    return !(n && rc == 0 && length == 0);
}

// The tzinfo of the session's time zone when a column of the result reads
// timestamptz, asked once a result: a library or backend that tells none
// leaves each value its own offset (None). Null with an exception set.
Ref result_zone(CursorObject* c, const std::vector<values::ServerType>& types) {
    bool zoned = false;
    for (const auto& t : types) zoned = zoned || values::zoned_type(t.oid);
    if (!zoned) return Ref::borrow(Py_None);
    char name[128];
    unsigned int length = 0;
    const int32_t hdb = c->hdb;
    const int rc = quick_call(c->lock, [&] {
        return qc.qcSqlGetConnectAttr(hdb, QSCLI_CONN_TIME_ZONE, 0, name, sizeof name, &length);
    });
    if (rc != 0 || length + 1 >= sizeof name) return Ref::borrow(Py_None);  // none, or cut
    return values::session_zone(name, length);
}

// The statement's return value, for retcode(): decoded as the core decodes
// it, except binary values, which come whole. 0, or -1 with an exception set.
// `known` is its size when the library told it already.
int read_return_value(CursorObject* c, const uint32_t* known = nullptr) {
    unsigned int size = known ? *known : 0, length = 0;
    const int32_t hstmt = c->stmt_handle;
    int rc = known ? 0 : quick_call(c->lock, [&] {
        return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_RC_SIZE, 0, &size, sizeof size, &length);
    });
    if (rc != 0) return failed(c, rc, "qcSqlGetStmtAttr"), -1;
    if (size == 0) return 0;
    int32_t type = 0;
    MemBlock body;
    const int got = read_return_body(c, size, &type, &body);
    if (got <= 0) return got;
    Ref value;
    bool decoded = true;
    if (type == QSCLI_ET_ARRA) {
        value = Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body.get()), size));
    } else {
        Ref code(PyLong_FromLong(type));
        if (code) value = Ref(values::decode_body(code.get(), body.get(), size, &decoded));
    }
    if (PyErr_Occurred()) return -1;
    if (value && decoded) replace_field(c->return_code, value.release());
    return 0;
}

// The library's code and the statement's error text, as the class the code
// names.
void standard_refused(CursorObject* c, void*, Step step, int rc) {
    static const char* const calls[] = {"qcSqlExecDirect",    "qcSqlGetStmtAttr", "qcSqlGetStmtAttr",
                                        "qcSqlRowCount",      "qcSqlNumResultCols", "qcSqlNumResultCols",
                                        "qcSqlOpenResults",   "qcSqlGetStmtAttr"};
    const char* call = calls[static_cast<int>(step)];
    if (step == Step::BadColumnCount) {
        raise_by_cause(QSCLI_E_NO_RESULTS, nullptr, call);
        return;
    }
    failed(c, rc, call);
}

int standard_executed(CursorObject*, void*) { return 0; }

int standard_read_return(CursorObject* c, void*, const uint32_t* size) { return read_return_value(c, size); }

int standard_counted(CursorObject*, void*) { return 0; }

// Changed rows and the last row id, where the library tells them.
int standard_no_results(CursorObject* c, void*) {
    auto* self = reinterpret_cast<StandardCursorObject*>(c);
    stmt_int64(c, QSCLI_STMT_CHANGES, &self->rowcount);
    self->has_lastrowid = stmt_int64(c, QSCLI_STMT_LAST_ROWID, &self->lastrowid) && self->lastrowid != 0;
    return 0;
}

// The value of detect_types that reads columns through the converters, and
// the one (dbapi._SERVER_TEXT) that reads a server's own types as its text.
constexpr int kParseDecltypes = 1;
constexpr int kServerText = 2;

// Tuples cut by the standard decoders, NULLs from the records' null flags,
// then each through its column's converter, chosen here for the result.
PyObject* standard_results(CursorObject* c, void*, uint32_t descriptor_length, uint32_t record_size) {
    auto* self = reinterpret_cast<StandardCursorObject*>(c);
    const uint32_t flag_bytes = self->null_flags ? static_cast<uint32_t>((c->columns_count + 7) / 8) : 0;
    // Kept Fields had their whole names given when they were made; Fields
    // whose names could not be completed are not kept.
    if (!c->columns_kept && complete_names(c) < 0) {
        Py_CLEAR(c->kept_fields);
        forget_kept_layout(c);
        return nullptr;
    }
    bool failed = false;
    const bool server_text = self->detect_types & kServerText;
    Ref converters(self->detect_types & (kParseDecltypes | kServerText)
                       ? choose_converters(c->columns, server_text, &failed) : nullptr);
    if (failed) return nullptr;
    std::vector<values::ServerType> types;
    if (self->server_types && !read_server_types(c, &types)) self->server_types = 0;
    Ref zone = result_zone(c, types);
    if (!zone) return nullptr;
    PyObject* results = records_new(reinterpret_cast<PyObject*>(self), descriptor_length, record_size, values::Face::Standard,
                                    flag_bytes, self->null_flags == 2, converters.get(), std::move(types), zone.get());
    if (results) self->rowcount = c->row_count;
    return results;
}

const StatementFace kStandardFace = {standard_refused, standard_executed, standard_read_return,
                                     standard_counted, standard_no_results, standard_results, true};

// Runs one bound statement text; 0, or -1 with an exception set.
int run(StandardCursorObject* self, const char* sql) {
    uint32_t heap_limit = 0;
    if (heap_limit_now(&heap_limit) < 0) return -1;
    self->rowcount = -1;
    self->has_lastrowid = 0;
    return run_statement(&self->base, sql, heap_limit, kStandardFace, nullptr);
}

}  // namespace

int standard_run(StandardCursorObject* self, const char* sql) { return run(self, sql); }

namespace {

int execute_one(PyObject* self, PyObject* operation, PyObject* params, PyObject* adapters) {
    BoundText sql;
    if (bind_statement(operation, params, as_standard(self)->dialect, adapters, &sql) < 0) return -1;
    return run(as_standard(self), sql.c_str());
}

// execute's arguments. Up to three by position (every call of a statement
// a query, the common case) are taken as they come; anything else goes
// through the usual parsing, its errors included. 0, or -1 with its error.
int execute_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** operation,
                 PyObject** params, PyObject** adapters) {
    if (!kwnames && nargs >= 1 && nargs <= 3) {
        *operation = args[0];
        if (nargs > 1) *params = args[1];
        if (nargs > 2) *adapters = args[2];
        return 0;
    }
    static const char* kwlist[] = {"operation", "parameters", "adapters", nullptr};
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref tuple(PyTuple_New(nargs));
    Ref dict(nkw ? PyDict_New() : nullptr);
    if (!tuple || (nkw && !dict)) return -1;
    for (Py_ssize_t k = 0; k < nargs; ++k) PyTuple_SET_ITEM(tuple.get(), k, new_ref(args[k]));
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return -1;
    return PyArg_ParseTupleAndKeywords(tuple.get(), dict.get(), "O|OO:execute", const_cast<char**>(kwlist), operation,
                                       params, adapters)
               ? 0
               : -1;
}

PyObject* standard_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* operation = nullptr;
    PyObject* params = Py_None;
    PyObject* adapters = Py_None;
    if (execute_args(args, nargs, kwnames, &operation, &params, &adapters) < 0) return nullptr;
    TextScope text(as_standard(self)->text_utf8);
    if (check_open(self) < 0 || execute_one(self, operation, params, adapters) < 0) return nullptr;
    return new_ref(self);
}

// A row of values by position with each value adapted (values::adapt), so
// that whichever way the row goes on, its adapters have run once: the row
// itself when none changed. Null with the adapter's error set.
Ref adapted_row(PyObject* params, PyObject* adapters, int dialect) {
    Ref seq(PySequence_Fast(params, "the values must be a sequence"));
    if (!seq) return seq;
    Ref row;  // made at the first value an adapter changes
    // An adapter may change a list: its length is read again each time.
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); ++k) {
        Ref value = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), k));
        Ref label(PyUnicode_FromFormat("parameter %zd", k + 1));
        Ref out = label ? values::adapt(value.get(), adapters, label.get(), dialect) : Ref();
        if (!out) return out;
        if (out.get() == value.get() && !row) continue;
        if (!row) {
            row = Ref(PySequence_List(seq.get()));
            if (!row) return row;
        }
        if (k < PyList_GET_SIZE(row.get()) && PyList_SetItem(row.get(), k, out.release()) < 0) return Ref();
    }
    return row ? std::move(row) : Ref::borrow(params);
}

// Row `index` of values by position, held to the Python types the bulk path
// takes for `fields` (the table's layout, as table_layout gives it), so a
// plain INSERT refuses the same values whatever its number of rows. 0, or
// -1 with the error naming the row and the field.
int typed_row(PyObject* row, Py_ssize_t index, PyObject* fields, int dialect) {
    Ref values(PySequence_Fast(row, "the values must be a sequence"));
    if (!values) return -1;
    const Py_ssize_t n = std::min(PySequence_Fast_GET_SIZE(values.get()), PySequence_Size(fields));
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* value = PySequence_Fast_GET_ITEM(values.get(), j);
        if (value == Py_None) continue;
        Ref field(PySequence_GetItem(fields, j));
        Ref name(field ? PySequence_GetItem(field.get(), 0) : nullptr);
        Ref type(field ? PySequence_GetItem(field.get(), 1) : nullptr);
        if (!name || !type) return -1;
        const long code = PyLong_AsLong(type.get());
        if (code == -1 && PyErr_Occurred()) return -1;
        Ref field_value = values::field_value(static_cast<int>(code), dialect, value);
        if (!field_value || values::standard_type_fits(static_cast<int>(code), field_value.get()) < 0) {
            name_bad_row(values.get(), index, name.get(), j);
            return -1;
        }
    }
    return 0;
}

// Each set of values in turn; rowcount is the sum of the changed rows. With
// `fields`, each row is held to their types first (typed_row).
PyObject* standard_executemany(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"operation", "seq_of_parameters", "adapters", "fields", nullptr};
    PyObject* operation = nullptr;
    PyObject* seq = nullptr;
    PyObject* adapters = Py_None;
    PyObject* fields = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OO:executemany", const_cast<char**>(kwlist), &operation, &seq,
                                     &adapters, &fields))
        return nullptr;
    if (check_open(self) < 0) return nullptr;
    TextScope text(as_standard(self)->text_utf8);
    Ref it(PyObject_GetIter(seq));
    if (!it) return nullptr;
    long long total = 0;
    bool known = true;
    auto one = [&](PyObject* params, PyObject* with) {
        if (execute_one(self, operation, params, with) < 0) return -1;
        if (as_standard(self)->rowcount < 0) known = false;
        else total += as_standard(self)->rowcount;
        return 0;
    };
    // Rows the library takes a batch at a call; the others, and all of them
    // with a library that takes none, one execute each.
    RowRecords batch(&as_standard(self)->base, operation, as_standard(self)->dialect);
    std::vector<Ref> left;
    auto run_batch = [&] {
        const int ran = batch.run(&total, &left);
        if (ran < 0) return -1;
        for (Ref& row : left)
            if (one(row.get(), Py_None) < 0) return -1;
        left.clear();
        // The last row's return value, as its own execute leaves it.
        return ran ? read_return_value(&as_standard(self)->base) : 0;
    };
    for (Py_ssize_t index = 0;; ++index) {
        Ref params{PyIter_Next(it.get())};
        if (!params) break;
        // Values by position are adapted here, once, whether the row then
        // goes in a batch or alone; a mapping's, by name as it is bound.
        const bool by_position = adapters != Py_None && (PyTuple_Check(params.get()) || PyList_Check(params.get()));
        Ref row = by_position ? adapted_row(params.get(), adapters, as_standard(self)->dialect) : std::move(params);
        if (!row || (fields != Py_None && typed_row(row.get(), index, fields, as_standard(self)->dialect) < 0)) break;
        const int taken = batch.on() ? batch.add(row.get()) : 0;
        if (taken < 0) return nullptr;
        if (taken && !batch.ready()) continue;
        if (batch.on() && run_batch() < 0) return nullptr;
        if (!taken && one(row.get(), by_position ? Py_None : adapters) < 0) return nullptr;
    }
    if (PyErr_Occurred()) {
        // The rows before the one the iterator (or an adapter) failed to
        // give ran, as they would have one by one; a failure of theirs is
        // the one raised.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref held[] = {Ref(type), Ref(value), Ref(tb)};
        if (batch.on() && run_batch() < 0) return nullptr;
        PyErr_Restore(held[0].release(), held[1].release(), held[2].release());
        return nullptr;
    }
    if (batch.on() && run_batch() < 0) return nullptr;
    as_standard(self)->rowcount = known ? total : -1;
    as_standard(self)->has_lastrowid = 0;
    return new_ref(self);
}

// The cursor's record iterator, or null with ProgrammingError when there is
// nothing to fetch from. Borrowed.
PyObject* fetch_source(PyObject* self) {
    // The records object reads in its cursor's encoding itself.
    if (check_open(self) < 0) return nullptr;
    PyObject* results = as_standard(self)->base.results;
    if (is_records(results)) return results;
    raise_message("ProgrammingError", "no result set to fetch from: the last statement gave none");
    return nullptr;
}

PyObject* standard_fetchone(PyObject* self, PyObject*) {
    PyObject* source = fetch_source(self);
    if (!source) return nullptr;
    Ref held = Ref::borrow(source);
    PyObject* row = records_next(held.get());
    if (!row && !PyErr_Occurred()) Py_RETURN_NONE;
    return row;
}

PyObject* standard_fetchmany(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"size", nullptr};
    PyObject* size_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:fetchmany", const_cast<char**>(kwlist), &size_arg))
        return nullptr;
    Py_ssize_t size = as_standard(self)->base.arraysize;
    if (size_arg != Py_None) {
        size = PyNumber_AsSsize_t(size_arg, PyExc_OverflowError);
        if (size == -1 && PyErr_Occurred()) return nullptr;
        if (size < 0) size = 0;
    }
    PyObject* source = fetch_source(self);
    if (!source) return nullptr;
    Ref held = Ref::borrow(source);
    Ref rows(PyList_New(0));
    if (!rows) return nullptr;
    if (size > 0 && records_take(held.get(), rows.get(), size) < 0) return nullptr;
    return rows.release();
}

PyObject* standard_fetchall(PyObject* self, PyObject*) {
    PyObject* source = fetch_source(self);
    if (!source) return nullptr;
    Ref held = Ref::borrow(source);
    Ref rows(PyList_New(0));
    if (!rows || records_take(held.get(), rows.get(), -1) < 0) return nullptr;
    return rows.release();
}

PyObject* standard_iternext(PyObject* self) {
    PyObject* source = fetch_source(self);
    if (!source) return nullptr;
    Ref held = Ref::borrow(source);
    return records_next(held.get());
}

// close() may be called any number of times.
PyObject* standard_close(PyObject* self, PyObject*) {
    if (as_standard(self)->base.stmt_handle == 0) Py_RETURN_NONE;
    return cursor_close(self, nullptr);
}

PyObject* standard_noop(PyObject*, PyObject*) { Py_RETURN_NONE; }

// _copy_out(sql, size): runs a COPY ... TO STDOUT (sql None: goes on with
// the one running) and returns up to `size` bytes of its data, b"" at its
// end. NotSupportedError from a library without qcSqlCopyOut.
PyObject* standard_copy_out(PyObject* self, PyObject* args) {
    PyObject* text = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "On:_copy_out", &text, &size)) return nullptr;
    if (check_open(self) < 0) return nullptr;
    if (size <= 0 || size > INT32_MAX) return PyErr_Format(PyExc_ValueError, "size must be 1 to 2**31-1");
    CursorObject* c = &as_standard(self)->base;
    TextScope scope(as_standard(self)->text_utf8);  // the statement's text and its error's
    const char* sql = nullptr;
    Ref held;
    if (text != Py_None) {
        held = library_text(text, &sql);
        if (!held || c->vtab->reset(c) < 0) return nullptr;
    }
    Ref out(PyBytes_FromStringAndSize(nullptr, size));
    if (!out) return nullptr;
    char* buf = PyBytes_AS_STRING(out.get());
    unsigned int length = 0;
    const int32_t hstmt = c->stmt_handle;
    const int rc = waiting_call(c->lock, c->hdb, [&] {
        return qc.qcSqlCopyOut(hstmt, sql, buf, static_cast<unsigned int>(size), &length);
    });
    if (rc != 0) return failed(c, rc, "qcSqlCopyOut");
    if (length != static_cast<unsigned int>(size)) {
        PyObject* whole = out.release();
        if (_PyBytes_Resize(&whole, length) < 0) return nullptr;
        return whole;
    }
    return out.release();
}

PyObject* get_rowcount(PyObject* self, void*) { return PyLong_FromLongLong(as_standard(self)->rowcount); }

PyObject* get_lastrowid(PyObject* self, void*) {
    if (!as_standard(self)->has_lastrowid) Py_RETURN_NONE;
    return PyLong_FromLongLong(as_standard(self)->lastrowid);
}

PyObject* get_null_flags(PyObject* self, void*) { return PyLong_FromLong(as_standard(self)->null_flags); }

PyObject* get_detect_types(PyObject* self, void*) { return PyLong_FromLong(as_standard(self)->detect_types); }

int set_detect_types(PyObject* self, PyObject* value, void*) {
    const long flags = value ? PyLong_AsLong(value) : 0;
    if (flags == -1 && PyErr_Occurred()) return -1;
    as_standard(self)->detect_types = static_cast<int>(flags);
    return 0;
}

// row_factory reads and writes as an attribute of the instance would: an
// unset one (never set, or deleted) raises AttributeError.
PyObject* get_row_factory(PyObject* self, void*) {
    PyObject* factory = as_standard(self)->base.row_factory;
    if (!factory)
        return PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute 'row_factory'",
                            Py_TYPE(self)->tp_name);
    return new_ref(factory);
}

int set_row_factory(PyObject* self, PyObject* value, void*) {
    PyObject*& field = as_standard(self)->base.row_factory;
    if (!value && !field) {
        PyErr_SetString(PyExc_AttributeError, "row_factory");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(field, value);
    return 0;
}

// Seven items a column: name, type_code, display_size, internal_size (the
// field's bytes), precision, scale, null_ok. type_code is the element type,
// or with `server`, the type of the value the column's loader gives.
PyObject* description(PyObject* self, bool server) {
    TextScope text(as_standard(self)->text_utf8);  // names are read as they are asked for
    Ref columns = Ref::borrow(as_standard(self)->base.columns);
    if (!PyList_Check(columns.get())) Py_RETURN_NONE;
    const Py_ssize_t n = PyList_GET_SIZE(columns.get());
    PyObject* results = as_standard(self)->base.results;
    const auto* types = server && is_records(results) ? records_server_types(results) : nullptr;
    Ref held = Ref::borrow(results);
    Ref out(PyTuple_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* field = PyList_GET_ITEM(columns.get(), i);
        Ref name(PyObject_GetAttrString(field, "name"));
        Ref type(name ? PyObject_GetAttrString(field, "type") : nullptr);
        Ref len(type ? PyObject_GetAttrString(field, "len") : nullptr);
        if (!len) return nullptr;
        if (types && static_cast<Py_ssize_t>(types->size()) == n) {
            const long code = PyLong_AsLong(type.get());
            if (code == -1 && PyErr_Occurred()) return nullptr;
            const int shown = values::described_type(static_cast<int>(code), (*types)[static_cast<size_t>(i)].oid);
            if (shown != code && !(type = Ref(PyLong_FromLong(shown)))) return nullptr;
        }
        PyObject* item = PyTuple_Pack(7, name.get(), type.get(), Py_None, len.get(), Py_None, Py_None, Py_None);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(out.get(), i, item);
    }
    return out.release();
}

PyObject* get_description(PyObject* self, void*) { return description(self, true); }

// The declared type of each result column as the library reports it (the
// field's `coder`): "" for an expression, or from a library that tells none.
PyObject* get_declared_types(PyObject* self, void*) {
    TextScope text(as_standard(self)->text_utf8);
    Ref columns = Ref::borrow(as_standard(self)->base.columns);
    if (!PyList_Check(columns.get())) Py_RETURN_NONE;
    const Py_ssize_t n = PyList_GET_SIZE(columns.get());
    Ref out(PyTuple_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref coder(PyObject_GetAttrString(PyList_GET_ITEM(columns.get(), i), "coder"));
        if (!coder) return nullptr;
        PyObject* text = PyBytes_Check(coder.get())
                             ? cp866_decode(PyBytes_AS_STRING(coder.get()), PyBytes_GET_SIZE(coder.get()))
                             : PyObject_Str(coder.get());
        if (!text) return nullptr;
        PyTuple_SET_ITEM(out.get(), i, text);
    }
    return out.release();
}

// The position of the open result's first column read through a converter
// (detect_types), or None: asked by a face that reads rows ahead before it
// knows whether an Arrow read, which refuses such a result, follows.
PyObject* get_converted_column(PyObject* self, void*) {
    PyObject* results = as_standard(self)->base.results;
    PyObject* converters = results && is_records(results) ? records_converters(results) : nullptr;
    for (Py_ssize_t i = 0; converters && i < PyTuple_GET_SIZE(converters); ++i)
        if (PyTuple_GET_ITEM(converters, i) != Py_None) return PyLong_FromSsize_t(i);
    Py_RETURN_NONE;
}

// Whether the cursor is closed: a face that hands out rows it read ahead
// asks before each.
PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(as_standard(self)->base.stmt_handle == 0); }

PyObject* standard_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"connection", nullptr};
    PyObject* connection = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Cursor", const_cast<char**>(kwlist), &connection))
        return nullptr;
    if (!PyObject_TypeCheck(connection, &ConnectionType))
        return PyErr_Format(PyExc_TypeError, "expected a pyqivrexdb.qxcore.Connection, not %.100s",
                            Py_TYPE(connection)->tp_name);
    auto* conn = reinterpret_cast<ConnectionObject*>(connection);
    if (!conn->is_connected) return raise_message("ProgrammingError", "the connection is closed");
    Ref core_args(Py_BuildValue("(iO)", conn->hdb, Py_False));
    if (!core_args) return nullptr;
    Ref obj(CursorType.tp_new(type, core_args.get(), nullptr));
    if (!obj) return refused_statement(conn->hdb);
    StandardCursorObject* self = as_standard(obj.get());
    self->rowcount = -1;
    self->has_lastrowid = 0;
    // Without the capability NULLs read as the core reads them.
    self->null_flags = offer_null_flags(conn, &self->base);
    self->dialect = conn->dialect;
    self->detect_types = 0;
    self->text_utf8 = conn->text_utf8;
    offer_int64(conn, &self->base);
    offer_stream(conn, &self->base);
    // A library that streams may also sum up an execute in one call.
    self->base.sums_up = self->base.streams = !conn->stream_refused;
    self->server_types = offer_server_types(conn, &self->base);
    self->base.initialised = 1;
    return obj.release();
}

int standard_init(PyObject*, PyObject*, PyObject*) { return 0; }

PyMethodDef standard_methods[] = {
    {"execute", QX_METHOD_CAST(standard_execute), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"executemany", QX_METHOD_CAST(standard_executemany), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fetchone", standard_fetchone, METH_NOARGS, nullptr},
    {"fetchmany", QX_METHOD_CAST(standard_fetchmany), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fetchall", standard_fetchall, METH_NOARGS, nullptr},
    {"close", standard_close, METH_NOARGS, nullptr},
    {"nextset", standard_noop, METH_NOARGS, nullptr},
    {"_copy_out", standard_copy_out, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef standard_getset[] = {
    {"rowcount", get_rowcount, nullptr, nullptr, nullptr},
    {"lastrowid", get_lastrowid, nullptr, nullptr, nullptr},
    {"description", get_description, nullptr, nullptr, nullptr},
    {"null_flags", get_null_flags, nullptr, nullptr, nullptr},
    {"_detect_types", get_detect_types, set_detect_types, nullptr, nullptr},
    {"row_factory", get_row_factory, set_row_factory, nullptr, nullptr},
    {"_declared_types", get_declared_types, nullptr, nullptr, nullptr},
    {"_converted_column", get_converted_column, nullptr, nullptr, nullptr},
    {"_closed", get_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* element_description(PyObject* self) { return description(self, false); }

PyTypeObject StandardCursorType = [] {
    PyTypeObject t = static_type("pyqivrexdb._qxstandard.Cursor", sizeof(StandardCursorObject));
    // Collection support (traverse, clear) comes from the core's Cursor.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = "The standard face's cursor: see pyqivrexdb.dbapi.Cursor.";
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = standard_iternext;
    t.tp_methods = standard_methods;
    t.tp_getset = standard_getset;
    t.tp_init = standard_init;
    t.tp_new = standard_new;
    // A dropped cursor gives its statement back. Set before the type is
    // ready, so its __del__ (a Python subclass's finalizer too) releases the
    // statement directly, also when closing it would fail.
    t.tp_finalize = cursor_finalize;
    return t;
}();

PyObject* cursor_row_factory(PyObject* cursor, PyObject* name) {
    // The slot answers unless the cursor's class puts an attribute of its own
    // in the way (a subclass's property or class attribute).
    static PyObject* slot = nullptr;
    if (!slot && !(slot = PyDict_GetItemWithError(StandardCursorType.tp_dict, name))) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    if (PyObject_TypeCheck(cursor, &StandardCursorType) && _PyType_Lookup(Py_TYPE(cursor), name) == slot)
        return get_row_factory(cursor, nullptr);
    return PyObject_GetAttr(cursor, name);
}

bool cursor_text_utf8(PyObject* cursor) {
    return PyObject_TypeCheck(cursor, &StandardCursorType) && as_standard(cursor)->text_utf8;
}

}  // namespace qx
