// One table from the library's return codes (client/qscli.h) to exception
// classes.
#include "causes.h"

#include "../client/loader.h"
#include "cp866.h"
#include "../base/common.h"

#include <cstring>

namespace qx {

namespace {

struct Cause {
    int code;
    const char* cls;
};

// Any other code is a DatabaseError.
const Cause CAUSES[] = {
    {QSCLI_E_CONSTRAINT, "IntegrityError"},
    {QSCLI_E_MISMATCH, "DataError"},
    {QSCLI_E_TOOBIG, "DataError"},
    {QSCLI_E_RANGE, "DataError"},
    {QSCLI_E_ERROR, "ProgrammingError"},
    {QSCLI_E_SCHEMA, "ProgrammingError"},
    {QSCLI_E_MISUSE, "ProgrammingError"},
    {QSCLI_E_NO_TRANSACTION, "ProgrammingError"},
    {QSCLI_E_NO_RESULTS, "ProgrammingError"},
    {QSCLI_E_RECORD_LENGTH, "ProgrammingError"},
    {QSCLI_E_ARGUMENT, "ProgrammingError"},
    {QSCLI_E_STATEMENT, "ProgrammingError"},
    {QSCLI_E_PERM, "OperationalError"},
    {QSCLI_E_ABORT, "OperationalError"},
    {QSCLI_E_BUSY, "OperationalError"},
    {QSCLI_E_LOCKED, "OperationalError"},
    {QSCLI_E_NOMEM, "OperationalError"},
    {QSCLI_E_READONLY, "OperationalError"},
    {QSCLI_E_INTERRUPTED, "OperationalError"},
    {QSCLI_E_IO, "OperationalError"},
    {QSCLI_E_FULL, "OperationalError"},
    {QSCLI_E_CANTOPEN, "OperationalError"},
    {QSCLI_E_PROTOCOL, "OperationalError"},
    {QSCLI_E_NOLFS, "OperationalError"},
    {QSCLI_E_AUTH, "OperationalError"},
    {QSCLI_E_IN_USE, "OperationalError"},
    {QSCLI_E_CONNECTION, "OperationalError"},
    {QSCLI_E_COMMIT_UNKNOWN, "CommitOutcomeUnknown"},
    {QSCLI_E_INTERNAL, "InternalError"},
    {QSCLI_E_UNSUPPORTED, "NotSupportedError"},
};

}  // namespace

const char* class_for_code(int code) {
    for (const Cause& c : CAUSES)
        if (c.code == code) return c.cls;
    return "DatabaseError";
}

namespace {

// The text ends at its NUL or at the length reported, whichever is first.
Ref decoded(const char* buf, unsigned int length, unsigned int size) {
    const size_t n = strnlen(buf, length < size ? length : size);
    if (n == 0) return Ref();
    return Ref(message_decode(buf, static_cast<Py_ssize_t>(n)));
}

}  // namespace

Ref statement_error_text(int hstmt, CallLock* lock) {
    char buf[1024] = {0};
    unsigned int length = 0;
    if (quick_call(lock, [&] {
            return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_ERR_TEXT, 0, buf, sizeof buf - 1, &length);
        }) != 0)
        return Ref();
    Ref text = decoded(buf, length, sizeof buf - 1);
    if (!text) PyErr_Clear();
    return text;
}

Ref connection_error_text(int hdb) {
    char buf[1024] = {0};
    unsigned int length = 0;
    if (quick_call(HeldLock(hdb).get(), [&] {
            return qc.qcSqlGetConnectAttr(hdb, QSCLI_CONN_ERR_TEXT, 0, buf, sizeof buf - 1, &length);
        }) != 0)
        return Ref();
    Ref text = decoded(buf, length, sizeof buf - 1);
    if (!text) PyErr_Clear();
    return text;
}

std::nullptr_t raise_by_cause(int code, PyObject* text, const char* context) {
    Ref message = text ? Ref::borrow(text) : Ref(PyUnicode_FromFormat("%s error %d", context, code));
    if (!message) return nullptr;
    raise_object(class_for_code(code), message.get());
    PyObject* value = take_pending();
    if (value) {
        Ref number(PyLong_FromLong(code));
        if (!number || PyObject_SetAttrString(value, "code", number.get()) < 0 ||
            PyObject_SetAttrString(value, "error_code_qivrex", number.get()) < 0 ||
            PyObject_SetAttrString(value, "server_text", text ? text : Py_None) < 0)
            PyErr_Clear();
    }
    raise_pending(value);
    return nullptr;
}

void note_server_text(PyObject* text) {
    PyObject* value = take_pending();
    if (value && PyObject_SetAttrString(value, "server_text", text ? text : Py_None) < 0) PyErr_Clear();
    raise_pending(value);
}

std::nullptr_t raise_args(const char* cls, PyObject* args) {
    const SignalFirst signal;
    if (!args) return nullptr;
    Ref type = global(cls);
    if (!type) return nullptr;
    Ref exc(PyObject_Call(type.get(), args, nullptr));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

std::nullptr_t raise_code(const char* cls, const char* tmpl, long code) {
    Ref args(Py_BuildValue("(sl)", tmpl, code));
    return raise_args(cls, args.get());
}

std::nullptr_t raise_formatted(const char* cls, const char* tmpl, long code) {
    char text[256];
    std::snprintf(text, sizeof text, tmpl, static_cast<int>(code));
    return raise_message(cls, text);
}

std::nullptr_t raise_message(const char* cls, const char* message) {
    Ref args(Py_BuildValue("(s)", message));
    return raise_args(cls, args.get());
}

std::nullptr_t raise_object(const char* cls, PyObject* message) {
    Ref args(PyTuple_Pack(1, message));
    return raise_args(cls, args.get());
}

}  // namespace qx
