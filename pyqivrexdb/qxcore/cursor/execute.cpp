// Cursor.execute: run one statement and prepare what fetching needs.
#include "cursor.h"

#include "../client/loader.h"
#include "../module/causes.h"
#include "../module/module.h"
#include "../values/cp866.h"
#include "field.h"
#include "statement.h"

#include <cstring>

namespace qx {

const char* const cursor_execute_doc =
    "\n        DB-API Cursor.execute()\n"
    "        :param textsql: str\n"
    "        :param params:\n"
    "        :return:\n        ";

namespace {

PyObject* raise_failed(CursorObject* self, int rc, bool with_params, PyObject* statement, PyObject* params);

// The parameters as the error message shows them: str() of each, joined by
// ", ". A parameter object that cannot be iterated shows as str() of itself,
// so the server's code always reaches the caller.
Ref joined_params(PyObject* params) {
    Ref parts(PyList_New(0));
    if (!parts) return Ref();
    Ref it(PyObject_GetIter(params));
    if (it) {
        while (Ref item{PyIter_Next(it.get())}) {
            Ref text(PyObject_Str(item.get()));
            if (!text || PyList_Append(parts.get(), text.get()) < 0) break;
        }
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return Ref(PyObject_Str(params));
    }
    Ref sep(PyUnicode_FromString(", "));
    if (!sep) return Ref();
    return Ref(PyUnicode_Join(sep.get(), parts.get()));
}

PyObject* execute_failed(CursorObject* self, int rc, bool with_params, PyObject* statement,
                         PyObject* params) {
    if (rc == QSCLI_E_STATEMENT) return raise_code("ProgrammingError", "Cursor closed, error=%d:", rc);
    // The server's text rides along as `server_text`; the args stay the design's.
    Ref text = statement_error_text(self->stmt_handle, self->lock);
    raise_failed(self, rc, with_params, statement, params);
    note_server_text(text.get());
    return nullptr;
}

PyObject* raise_failed(CursorObject* self, int rc, bool with_params, PyObject* statement,
                       PyObject* params) {
    int debug = debug_enabled();
    if (debug < 0) return nullptr;
    if (debug) {
        Ref text(PyUnicode_FromFormat("execute(textsql=\"%S\"", statement));
        if (!text || log_text("error", text.get()) < 0) return nullptr;
    }
    (void)self;
    if (!with_params) return raise_code("ProgrammingError", "execute() error %d:", rc);
    Ref joined = joined_params(params);
    if (!joined) return nullptr;
    Ref args(Py_BuildValue("(s(iO))", "execute() error=%d: params=[$%]", rc, joined.get()));
    return raise_args("IntegrityError", args.get());
}

}  // namespace

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

namespace {

// Fields of column records seen before. Queries repeat, and with them their
// 128-byte column records: a new Field for a record met before takes the
// (immutable) attribute values made for it then, instead of converting eleven
// members again. A direct-mapped table of recent records; the values live
// until exit.
struct FieldTemplate {
    ColStruct_t record;
    PyObject* values[F_COUNT] = {};
};
constexpr size_t kTemplates = 256;
FieldTemplate g_templates[kTemplates];

size_t template_slot(const ColStruct_t* rec) {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    const auto* p = reinterpret_cast<const unsigned char*>(rec);
    for (size_t i = 0; i < sizeof(ColStruct_t); i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    return static_cast<size_t>(h >> 56) & (kTemplates - 1);
}

}  // namespace

PyObject* new_field(const ColStruct_t* rec) {
    static_assert(sizeof(ColStruct_t) % 8 == 0, "column records hash in words");
    FieldTemplate& t = g_templates[template_slot(rec)];
    if (t.values[0] && std::memcmp(&t.record, rec, sizeof(ColStruct_t)) == 0) {
        PyObject* field = FieldType.tp_alloc(&FieldType, 0);
        if (!field) return nullptr;
        PyObject** slot = reinterpret_cast<FieldObject*>(field)->slot;
        for (int i = 0; i < F_COUNT; ++i) slot[i] = new_ref(t.values[i]);
        return field;
    }
    Ref field(field_from_colstruct(rec));
    if (!field) return nullptr;
    // Taken before the Field reaches anyone who could change it.
    PyObject* old[F_COUNT];
    PyObject** slot = reinterpret_cast<FieldObject*>(field.get())->slot;
    for (int i = 0; i < F_COUNT; ++i) {
        old[i] = t.values[i];
        t.values[i] = new_ref(slot[i]);
    }
    std::memcpy(&t.record, rec, sizeof(ColStruct_t));
    for (PyObject* o : old) Py_XDECREF(o);
    return field.release();
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

// What the core face's errors and log lines name: the call as made.
struct CoreCall {
    PyObject* self;
    PyObject* textsql;
    PyObject* params;
    PyObject* statement;  // the text as sent
    bool with_params;
};

void core_refused(CursorObject* c, void* arg, Step step, int rc) {
    auto* call = static_cast<CoreCall*>(arg);
    switch (step) {
        case Step::Execute:
            execute_failed(c, rc, call->with_params, call->statement, call->params);
            return;
        case Step::RowCount: raise_code("ProgrammingError", "qcSqlRowCount error %d:", rc); return;
        case Step::ResultCols:
        case Step::BadColumnCount: raise_code("ProgrammingError", "qcSqlNumResultCols error %d:", rc); return;
        case Step::OpenResults: {
            Ref text(PyUnicode_FromFormat("columns_count: %d", c->columns_count));
            if (!text || log_text("error", text.get()) < 0) return;
            raise_code("ProgrammingError", "qcSqlOpenResults error %d:", rc);
            return;
        }
        case Step::ResultType:
        case Step::ReturnSize:
        case Step::Describe: raise_code("ProgrammingError", "qcSqlGetStmtAttr error %d:", rc); return;
    }
}

// The statement ran: logged, with the result type the library tells.
int core_executed(CursorObject* c, void* arg) {
    auto* call = static_cast<CoreCall*>(arg);
    if (debug_log("%R: execute(textsql=\"%S\", params=%S)", call->self, call->textsql, call->params) < 0) return -1;
    unsigned int result_type = 0, length = 0;
    const int32_t hstmt = c->stmt_handle;
    const int rc = quick_call(c->lock, [&] {
        return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_SAB_TYPE, 0, &result_type, sizeof result_type, &length);
    });
    if (rc != 0) return core_refused(c, arg, Step::ResultType, rc), -1;
    return debug_log("Cursor.execute() result type: %u", result_type);
}

// The return value through the cursor's _read_retcode, as designed.
int core_read_return(CursorObject* c, void* arg) {
    unsigned int rc_size = 0, length = 0;
    const int32_t hstmt = c->stmt_handle;
    const int rc = quick_call(c->lock, [&] {
        return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_RC_SIZE, 0, &rc_size, sizeof rc_size, &length);
    });
    if (rc != 0) return core_refused(c, arg, Step::ReturnSize, rc), -1;
    if (rc_size == 0) return 0;
    static PyObject* name = nullptr;
    Ref size(PyLong_FromUnsignedLong(rc_size));
    if (!size || !interned("_read_retcode", &name)) return -1;
    Ref done(PyObject_CallMethodObjArgs(static_cast<CoreCall*>(arg)->self, name, size.get(), nullptr));
    return done ? 0 : -1;
}

int core_counted(CursorObject* c, void*) {
    return debug_log("Cursor.execute() row_count: %d, columns_count: %d", int{c->row_count}, c->columns_count);
}

int core_no_results(CursorObject*, void*) { return 0; }

// The record iterator through the cursor's _read_results, as designed.
PyObject* core_results(CursorObject*, void* arg, uint32_t descriptor_length, uint32_t record_size) {
    static PyObject* read_results = nullptr;
    Ref buffer_size(PyLong_FromUnsignedLong(descriptor_length));
    Ref rec_size(PyLong_FromUnsignedLong(record_size));
    if (!buffer_size || !rec_size || !interned("_read_results", &read_results)) return nullptr;
    return PyObject_CallMethodObjArgs(static_cast<CoreCall*>(arg)->self, read_results, buffer_size.get(),
                                      rec_size.get(), nullptr);
}

const StatementFace kCoreFace = {core_refused, core_executed, core_read_return, core_counted, core_no_results,
                                 core_results};

}  // namespace

PyObject* cursor_execute(PyObject* self_obj, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"textsql", "params", nullptr};
    PyObject* textsql = nullptr;
    PyObject* params = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:execute", const_cast<char**>(kwlist),
                                     &textsql, &params))
        return nullptr;
    CursorObject* self = reinterpret_cast<CursorObject*>(self_obj);

    uint32_t heap_limit = 0;
    if (heap_limit_now(&heap_limit) < 0) return nullptr;

    int with_params = PyObject_IsTrue(params);
    if (with_params < 0) return nullptr;
    Ref text = with_params ? Ref(PyNumber_Remainder(textsql, params)) : Ref::borrow(textsql);
    if (!text) return nullptr;
    const char* sql = nullptr;
    Ref statement = library_text(text.get(), &sql);
    if (!statement) return nullptr;

    CoreCall call{self_obj, textsql, params, statement.get(), with_params != 0};
    if (run_statement(self, sql, heap_limit, kCoreFace, &call) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace qx
