// Server and user messages: the C functions the client library calls while a
// connection is busy, the methods that register them (process-wide for the
// core face, per connection for the standard face), and the default loggers.
#include "../client/calls.h"
#include "../client/loader.h"
#include "../base/common.h"
#include "../base/parts.h"
#include "../client/cp866.h"
#include "methods.h"

#include <cstring>
#include <new>
#include <string>

namespace qx {

namespace {

constexpr unsigned int MESSAGE_CHUNK = 250;

// The library's bytes of a message or a channel: UTF-8 where the connection
// asked for it (QSCLI_ATTR_MSG_UTF8), else CP866. Bytes that are no UTF-8
// stay what they were, as surrogates.
PyObject* decode(const char* data, Py_ssize_t size, bool utf8) {
    return utf8 ? PyUnicode_DecodeUTF8(data, size, "surrogateescape") : cp866_decode(data, size);
}

// The whole message, read a chunk at a time until the library reports an
// empty read. Nothing of Python runs in between.
Ref read_message(int hdb, bool utf8) {
    std::string bytes;
    char buffer[MESSAGE_CHUNK];
    unsigned int size;
    HeldLock lock(hdb);
    try {
        do {
            // A read that fails without reporting a length ends the message
            // rather than repeating the previous chunk for ever.
            size = 0;
            quick_call(lock.get(), [&] { return qc.qcSqlConnReadMsg(hdb, buffer, MESSAGE_CHUNK, &size); });
            if (size > MESSAGE_CHUNK) size = MESSAGE_CHUNK;
            bytes.append(buffer, size);
        } while (size != 0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Ref();
    }
    return Ref(decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), utf8));
}

// The channel of the user message being delivered, or None when the library
// cannot tell it (QSCLI_CONN_MSG_CHANNEL).
Ref read_channel(int hdb, bool utf8) {
    char buffer[256] = {};
    unsigned int length = 0;
    int rc = quick_call(HeldLock(hdb).get(), [&] {
        return qc.qcSqlGetConnectAttr(hdb, QSCLI_CONN_MSG_CHANNEL, 0, buffer, sizeof buffer - 1, &length);
    });
    if (rc) return Ref::borrow(Py_None);
    return Ref(decode(buffer, static_cast<Py_ssize_t>(strnlen(buffer, sizeof buffer - 1)), utf8));
}

// The per-connection receivers by connection handle, out of the core's
// namespace; created on first use. Each is kept as (receiver, utf8): utf8
// when the library reads the connection's messages in UTF-8.
PyObject* receivers() {
    static PyObject* all = nullptr;  // strong reference, kept until exit
    if (!all) all = PyDict_New();
    return all;
}

// A connection's own receiver: receiver(text, usertype, channel), usertype
// None for a server message. 1 when one took the message, 0 when the
// connection has none, -1 with an exception set.
int dispatch_own(int hdb, bool user_message, int usertype) {
    PyObject* all = receivers();
    if (!all) return -1;
    Ref key(PyLong_FromLong(hdb));
    if (!key) return -1;
    PyObject* own = PyDict_GetItemWithError(all, key.get());
    if (!own) return PyErr_Occurred() ? -1 : 0;
    Ref entry = Ref::borrow(own);  // the receiver may unregister itself
    PyObject* receiver = PyTuple_GET_ITEM(entry.get(), 0);
    const bool utf8 = PyTuple_GET_ITEM(entry.get(), 1) == Py_True;
    Ref message = read_message(hdb, utf8);
    Ref type = user_message ? Ref(PyLong_FromLong(usertype)) : Ref::borrow(Py_None);
    Ref channel = user_message ? read_channel(hdb, utf8) : Ref::borrow(Py_None);
    if (!message || !type || !channel) return -1;
    Ref done(PyObject_CallFunctionObjArgs(receiver, message.get(), type.get(), channel.get(), nullptr));
    return done ? 1 : -1;
}

// Hands the message to the connection's own receiver, else to SCALLBACK or
// USCALLBACK, as bound right now, or to srvsendlog when that one is not set.
// 0, or -1 with an exception set.
int dispatch(int hdb, bool user_message, int usertype) {
    int own = dispatch_own(hdb, user_message, usertype);
    if (own) return own < 0 ? -1 : 0;
    Ref message = read_message(hdb, false);
    if (!message) return -1;
    Ref receiver = global(user_message ? "USCALLBACK" : "SCALLBACK");
    if (!receiver) return -1;
    int set = PyObject_IsTrue(receiver.get());
    if (set < 0) return -1;
    Ref done;
    if (set && user_message) {
        Ref type(PyLong_FromLong(usertype));
        if (!type) return -1;
        done.reset(PyObject_CallFunctionObjArgs(receiver.get(), message.get(), type.get(), nullptr));
    } else if (set) {
        done.reset(PyObject_CallOneArg(receiver.get(), message.get()));
    } else {
        // User messages too: they are logged as server messages by default.
        Ref logger = global("srvsendlog");
        if (!logger) return -1;
        done.reset(PyObject_CallOneArg(logger.get(), message.get()));
    }
    return done ? 0 : -1;
}

// The library cannot take an exception back: it is shown with its traceback
// on stderr, then goes to the unraisable hook under the callback's name.
void report(const char* context) {
    PyObject* exc = take_pending();
    if (exc) {
        Ref tb(PyException_GetTraceback(exc));
        PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb.get());
    }
    raise_pending(exc);
    Ref where(PyUnicode_FromString(context));
    PyErr_WriteUnraisable(where.get());
}

void deliver(int hdb, bool user_message, int usertype, const char* context) {
    // The calls made from here (reading the message, a receiver's own) may
    // take the lock of the call that is delivering the message.
    LendCallLock lend(hdb);
    PyGILState_STATE gil = PyGILState_Ensure();
    {
        // The library may call back while the module has an exception on its
        // way out (a handle released on an error path): it stays untouched.
        SetAside aside;
        if (dispatch(hdb, user_message, usertype) < 0) report(context);
    }
    PyGILState_Release(gil);
}

void QSCLI_CALL on_server_message(int hdb, int) {
    deliver(hdb, false, 0, "pyqivrexdb.qxcore.qcSqlCbkSrvMsgT");
}

void QSCLI_CALL on_user_message(int hdb, int usertype) {
    deliver(hdb, true, usertype, "pyqivrexdb.qxcore.qcSqlCbkSrvUserSendT");
}

// Stores the receiver first: the library's refusal leaves it bound.
PyObject* register_callback(PyObject* self, const char* variable, PyObject* receiver,
                            unsigned int attribute, void* function) {
    if (PyDict_SetItemString(module_dict(), variable, receiver) < 0) return nullptr;
    const int hdb = as_connection(self)->hdb;
    int rc = quick_call(HeldLock(hdb).get(),
                        [&] { return qc.qcSqlSetConnectAttr(hdb, attribute, function, 0); });
    if (rc) return raise_code("DatabaseError", "qcSqlSetConnectAttr error %d:", rc);
    Py_RETURN_NONE;
}

// log.debug(format % message), written whatever DEBUG says.
PyObject* log_message(const char* format, PyObject* message) {
    Ref fmt(PyUnicode_FromString(format));
    if (!fmt) return nullptr;
    Ref text(PyUnicode_Format(fmt.get(), message));
    if (!text || log_text("debug", text.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* srvsendlog(PyObject*, PyObject* message) { return log_message("SrvSend(%s)", message); }

PyObject* srvusersendlog(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"message", "usertype", nullptr};
    PyObject *message, *usertype;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:srvusersendlog", const_cast<char**>(kwlist),
                                     &message, &usertype))
        return nullptr;
    return log_message("SrvUserSend(%s)", message);
}

}  // namespace

int forget_receiver(int hdb) {
    PyObject* all = receivers();
    if (!all) return -1;
    Ref key(PyLong_FromLong(hdb));
    if (!key) return -1;
    if (PyDict_DelItem(all, key.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
    }
    return 0;
}

int set_receiver(ConnectionObject* conn, PyObject* receiver) {
    const int hdb = conn->hdb;
    if (receiver == Py_None) {
        // The library's messages go back to CP866, for the core's callbacks.
        quick_call(HeldLock(hdb).get(), [&] { return qc.qcSqlSetConnectAttr(hdb, QSCLI_ATTR_MSG_UTF8, nullptr, 0); });
        return forget_receiver(hdb);
    }
    PyObject* all = receivers();
    Ref key(PyLong_FromLong(hdb));
    if (!all || !key) return -1;
    // A text CP866 lacks then reaches the receiver as it was sent; a library
    // without the capability keeps CP866.
    const bool utf8 = quick_call(HeldLock(hdb).get(), [&] {
        return qc.qcSqlSetConnectAttr(hdb, QSCLI_ATTR_MSG_UTF8, reinterpret_cast<void*>(1), 0);
    }) == 0;
    Ref entry(Py_BuildValue("(OO)", receiver, utf8 ? Py_True : Py_False));
    if (!entry || PyDict_SetItem(all, key.get(), entry.get()) < 0) return -1;
    const struct {
        unsigned int attribute;
        void* function;
    } both[] = {
        {QSCLI_ATTR_CBK_SRVMSG, reinterpret_cast<void*>(&on_server_message)},
        {QSCLI_ATTR_CBK_SRVUSERSEND, reinterpret_cast<void*>(&on_user_message)},
    };
    for (const auto& one : both) {
        int rc = quick_call(HeldLock(hdb).get(),
                            [&] { return qc.qcSqlSetConnectAttr(hdb, one.attribute, one.function, 0); });
        if (rc) return raise_code("DatabaseError", "qcSqlSetConnectAttr error %d:", rc), -1;
    }
    return 0;
}

PyObject* connection_send_callback(PyObject* self, PyObject* scallback) {
    return register_callback(self, "SCALLBACK", scallback, QSCLI_ATTR_CBK_SRVMSG,
                             reinterpret_cast<void*>(&on_server_message));
}

PyObject* connection_usersend_callback(PyObject* self, PyObject* uscallback) {
    return register_callback(self, "USCALLBACK", uscallback, QSCLI_ATTR_CBK_SRVUSERSEND,
                             reinterpret_cast<void*>(&on_user_message));
}

const char* const send_callback_doc =
    "\n        Функция обработки\n        сообщений сервера\n        :param scallback:\n"
    "        :return:\n        ";
const char* const usersend_callback_doc =
    "\n        Функция обработки пользовательских\n        сообщений сервера\n"
    "        :param uscallback:\n        :return:\n        ";

PyMethodDef srvsendlog_def = {"srvsendlog", srvsendlog, METH_O, nullptr};
PyMethodDef srvusersendlog_def = {"srvusersendlog", QX_METHOD_CAST(srvusersendlog),
                                  METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace qx
