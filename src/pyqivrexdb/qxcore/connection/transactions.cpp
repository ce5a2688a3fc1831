// Statements run without a cursor, and the named transactions built on them.
#include "../bulk/table_layout.h"
#include "../client/calls.h"
#include "../client/loader.h"
#include "../client/causes.h"
#include "../base/common.h"
#include "../client/cp866.h"
#include "methods.h"

namespace qx {

namespace {

// The library's answer to a rollback of a transaction the server does not know.
constexpr long NO_SUCH_TRANSACTION = -64;

// Formats `format % args` and hands the text to self.execute, looked up now
// so that a subclass overriding execute receives it.
PyObject* execute_formatted(PyObject* self, const char* format, PyObject* args) {
    Ref fmt(PyUnicode_FromString(format));
    if (!fmt) return nullptr;
    Ref text(PyUnicode_Format(fmt.get(), args));
    if (!text) return nullptr;
    Ref done(PyObject_CallMethod(self, "execute", "O", text.get()));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

// While alive, `caught` is the exception being handled, as inside an except
// clause: whatever is raised meanwhile gets it as its __context__.
class Handling {
public:
    explicit Handling(PyObject* caught) {
        PyErr_GetExcInfo(&type_, &value_, &tb_);
        PyErr_SetExcInfo(new_ref(reinterpret_cast<PyObject*>(Py_TYPE(caught))),
                         new_ref(caught), PyException_GetTraceback(caught));
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, tb_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject *type_, *value_, *tb_;
};

// rollback()'s answer to a failed statement: a ProgrammingError of its own.
// Called while `caught` is handled.
void raise_rollback_error(PyObject* self, PyObject* name, PyObject* caught) {
    Ref code(PyObject_GetAttrString(caught, "error_code_qivrex"));
    if (!code) return;
    Ref missing(PyLong_FromLong(NO_SUCH_TRANSACTION));
    if (!missing) return;
    int unknown = PyObject_RichCompareBool(code.get(), missing.get(), Py_EQ);
    if (unknown < 0) return;
    if (unknown) {
        Ref text(PyUnicode_FromFormat("%R: rollback(): transaction named \"%S\" does not exist",
                                      self, name));
        if (text) raise_object("ProgrammingError", text.get());
        return;
    }
    Ref message(PyObject_GetAttrString(caught, "_message"));
    if (!message) return;
    Ref args(PyTuple_Pack(2, message.get(), code.get()));
    raise_args("ProgrammingError", args.get());
}

}  // namespace

PyObject* connection_execute(PyObject* self, PyObject* textsql) {
    TextScope text_scope(as_connection(self)->text_utf8);
    const int hdb = as_connection(self)->hdb;
    HeldLock lock(hdb);
    int hstmt = 0;
    int rc = quick_call(lock.get(), [&] { return qc.qcSqlAllocStmt(hdb, &hstmt); });
    if (rc) return raise_code("ProgrammingError", "qcSqlAllocStmt error %d:", rc);
    // On the failure paths the statement goes back to the library too; the
    // exception the caller sees is the one that stopped the statement.
    auto release = [&] {
        if (hstmt) release_quietly([&] { quick_call(lock.get(), [&] { return qc.qcSqlFreeStmt(hstmt); }); });
    };
    const char* text = nullptr;
    Ref sql = library_text(textsql, &text);
    if (!sql) {
        release();
        return nullptr;
    }
    layouts_see_statement(hdb, text);
    rc = waiting_call(lock.get(), hdb, [&] { return qc.qcSqlExecDirect(hstmt, text); });
    if (rc) {
        Ref server_text = statement_error_text(hstmt, lock.get());
        raise_code("ProgrammingError", "qcSqlExecDirect error %d:", rc);
        note_server_text(server_text.get());
        release();
        return nullptr;
    }
    if (hstmt) {
        rc = quick_call(lock.get(), [&] { return qc.qcSqlFreeStmt(hstmt); });
        if (rc) return raise_formatted("ProgrammingError", "qcSqlFreeStmt error %d:", rc);
    }
    if (debug_log("%R: execute(): textsql=\"%S\"", self, textsql) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* connection_begin(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"name", "tables_name", nullptr};
    PyObject *name, *tables_name;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:begin", const_cast<char**>(kwlist), &name,
                                     &tables_name))
        return nullptr;
    Ref separator(PyUnicode_FromString(", "));
    if (!separator) return nullptr;
    Ref tables(PyUnicode_Join(separator.get(), tables_name));
    if (!tables) return nullptr;
    Ref pair(PyTuple_Pack(2, name, tables.get()));
    if (!pair) return nullptr;
    return execute_formatted(self, "begin work %s table %s;", pair.get());
}

// `name` itself is the right operand of %, so a tuple supplies the format's
// arguments, as it does in Python.
PyObject* connection_commit(PyObject* self, PyObject* name) {
    return execute_formatted(self, "commit work %s;", name);
}

PyObject* connection_rollback(PyObject* self, PyObject* name) {
    Ref fmt(PyUnicode_FromString("rollback work %s;"));
    if (!fmt) return nullptr;
    Ref text(PyUnicode_Format(fmt.get(), name));
    if (!text) return nullptr;
    Ref done(PyObject_CallMethod(self, "execute", "O", text.get()));
    if (done) Py_RETURN_NONE;

    Ref caught(take_pending());
    {
        Handling handling(caught.get());
        Ref cls = global("ProgrammingError");
        if (!cls) return nullptr;
        if (PyErr_GivenExceptionMatches(caught.get(), cls.get())) {
            raise_rollback_error(self, name, caught.get());
            return nullptr;
        }
    }
    raise_pending(caught.release());
    return nullptr;
}

const char* const execute_doc = "\n        :param textsql: str\n        :return:\n        ";
const char* const begin_doc =
    "\n        Начать транзакцию\n        :param name: str\n        :param tables_name:\n        ";
const char* const commit_doc =
    "\n        DB-API Connection.commit()\n        :param name: str\n        ";
const char* const rollback_doc =
    "\n        DB-API Connection.rollback()\n        :type name: str\n        ";

}  // namespace qx
