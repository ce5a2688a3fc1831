// Cursor.execute: the core face's part of the statement path (its designed errors,
// log lines, _read_retcode and _read_results).
#include "cursor.h"

#include "../client/loader.h"
#include "../client/causes.h"
#include "../base/common.h"
#include "../client/cp866.h"
#include "../values/field.h"
#include "run_statement.h"

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
int core_read_return(CursorObject* c, void* arg, const uint32_t*) {
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

// The core face makes new Fields for every result, as designed.
const StatementFace kCoreFace = {core_refused, core_executed, core_read_return, core_counted, core_no_results,
                                 core_results, false};

}  // namespace

PyObject* cursor_execute(PyObject* self_obj, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"textsql", "params", nullptr};
    PyObject* textsql = nullptr;
    PyObject* params = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:execute", const_cast<char**>(kwlist),
                                     &textsql, &params))
        return nullptr;
    CursorObject* self = reinterpret_cast<CursorObject*>(self_obj);
    TextScope text_scope(cursor_text_utf8(self_obj));

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
