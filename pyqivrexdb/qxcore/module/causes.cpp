// One table from return codes to exception classes: minus SQLite's primary
// codes and the engine's own (qscli/README.md lists them).
#include "causes.h"

#include "../client/loader.h"
#include "../values/cp866.h"
#include "module.h"

#include <cstring>

namespace qx {

const char* class_for_code(int code) {
    switch (code) {
        case -19: return "IntegrityError";  // constraint
        case -20:                           // a value does not fit its type
        case -18:                           // too big
        case -25: return "DataError";       // out of range
        case -1:                            // SQL error, unknown table or column
        case -17:                           // schema changed
        case -21:                           // misuse
        case -64:                           // unknown transaction name
        case -93:                           // no result set
        case -94:                           // record length
        case -95:                           // bad argument
        case -97: return "ProgrammingError";  // unknown or closed statement
        case -3:                            // permission
        case -4:                            // aborted, transaction rolled back
        case -5:                            // busy
        case -6:                            // locked
        case -7:                            // out of memory
        case -8:                            // read-only
        case -9:                            // interrupted (also QSCLI_E_INTERRUPTED)
        case -10:                           // I/O
        case -13:                           // full
        case -14:                           // cannot open
        case -15:                           // lock protocol
        case -22:                           // large files
        case -23:                           // authorisation
        case -91:                           // handle busy
        case -96: return "OperationalError";  // connection gone
        case -2: return "InternalError";
        case QSCLI_E_UNSUPPORTED: return "NotSupportedError";
        default: return "DatabaseError";
    }
}

namespace {

// The text ends at its NUL or at the length reported, whichever is first.
Ref decoded(const char* buf, unsigned int length, unsigned int size) {
    const size_t n = strnlen(buf, length < size ? length : size);
    if (n == 0) return Ref();
    return Ref(cp866_decode(buf, static_cast<Py_ssize_t>(n)));
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

}  // namespace qx
