// Connection: the type, logging on and off, cursors, and the module-level
// connect().
#include "connection.h"

#include "../bulk/bulk.h"
#include "../bulk/table_layout.h"
#include "../client/calls.h"
#include "../client/loader.h"
#include "../cursor/lexer.h"
#include "../client/causes.h"
#include "../base/common.h"
#include "../base/parts.h"
#include "../client/cp866.h"
#include "methods.h"

#include <cstring>
#include <string>

namespace qx {

namespace {

// Hands a connection handle back to the library after a connect() that got
// it but did not finish; the pending exception is what the caller sees.
// `logged_on` says whether qcSqlConnect had succeeded.
void abandon_handle(int hdb, bool logged_on) {
    forget_layouts(hdb);
    HeldLock lock(hdb);
    release_quietly([&] {
        if (logged_on) waiting_call(lock.get(), hdb, [&] { return qc.qcSqlDisconnect(&hdb); });
        quick_call(lock.get(), [&] { return qc.qcSqlFreeConnect(&hdb); });
    });
}

// Logs off session `hdb` and releases its handle, even when the session did
// not end cleanly. The first failure is raised; 0, or -1.
int end_session(int hdb) {
    forget_layouts(hdb);
    if (forget_receiver(hdb) < 0) return -1;
    HeldLock lock(hdb);
    int disconnect = waiting_call(lock.get(), hdb, [&] { return qc.qcSqlDisconnect(&hdb); });
    int release = quick_call(lock.get(), [&] { return qc.qcSqlFreeConnect(&hdb); });
    if (disconnect) return raise_code("InterfaceError", "qcSqlDisconnect error %d:", disconnect), -1;
    if (release) return raise_code("InterfaceError", "qcSqlFreeConnect error %d:", release), -1;
    return 0;
}

// Logs off and releases the handle. Nothing reaches the library for a
// connection that is not connected: its handle is released already (or was
// never issued), and the library must not be handed it again.
PyObject* close_session(ConnectionObject* self) {
    if (debug_log("%R: close()", self) < 0) return nullptr;
    if (!self->is_connected) Py_RETURN_NONE;
    // Cleared first: a server message delivered during the disconnect may run
    // Python code that closes this connection again, or connects it anew; the
    // handle ended here is the one held now, and a new session is left alone.
    // A stale handle must not reach the library through the methods that do
    // not look at the connection state; the library may reissue its number.
    self->is_connected = 0;
    int hdb = self->hdb;
    self->hdb = 0;
    if (end_session(hdb) < 0) return nullptr;
    Py_RETURN_NONE;
}

int connection_init(PyObject* obj, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"server", "user", "passwd", nullptr};
    PyObject* server = Py_None;
    PyObject* user = Py_None;
    PyObject* passwd = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOO:Connection", const_cast<char**>(kwlist),
                                     &server, &user, &passwd))
        return -1;
    Ref initlibrary = global("initlibrary");
    if (!initlibrary) return -1;
    Ref loaded(PyObject_CallNoArgs(initlibrary.get()));
    if (!loaded) return -1;
    // A new object is not connected; a live session of an object initialised
    // again is kept (and replaced by connect() below when it is asked for).
    if (debug_log("%R: __init__", obj) < 0) return -1;
    int go = PyObject_IsTrue(server);
    if (go > 0) go = PyObject_IsTrue(user);
    if (go <= 0) return go;
    Ref done(PyObject_CallMethod(obj, "connect", "OOO", server, user, passwd));
    return done ? 0 : -1;
}

// The lexical rules of the session's SQL, asked once after log-on; a
// library that cannot tell speaks the engine's.
int ask_dialect(int hdb) {
    int dialect = QSCLI_DIALECT_ENGINE;
    if (quick_call(HeldLock(hdb).get(), [&] { return qc.qcSqlDialect(hdb, &dialect); }) != 0)
        return QSCLI_DIALECT_ENGINE;
    return sql::known_dialect(dialect);
}

PyObject* connection_connect(PyObject* obj, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"server", "user", "passwd", nullptr};
    PyObject *server, *user, *passwd;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:connect", const_cast<char**>(kwlist),
                                     &server, &user, &passwd))
        return nullptr;
    ConnectionObject* self = as_connection(obj);
    // One object, one session. A connected object keeps its session until
    // the new one is logged on: a connect() that fails leaves it as it was.
    int hdb = 0;
    int rc = quick_call(HeldLock(0).get(), [&] { return qc.qcSqlAllocConnect(&hdb); });
    if (rc) return connection_refused(self, rc, "InterfaceError", "qcSqlAllocConnect");

    // The password never reaches the log, nor one inside the server's name.
    Ref shown = masked_dsn(server);
    if (!shown || debug_log("%R: connect(%S, %S, ***)", obj, shown.get(), user) < 0) {
        abandon_handle(hdb, false);
        return nullptr;
    }
    // The standard face asks for UTF-8 before log-on, so the connect texts
    // are read in it too; a library that refuses it keeps CP866.
    const bool ask = self->face == values::Face::Standard && !self->keep_cp866;
    const bool utf8 = ask && quick_call(HeldLock(hdb).get(), [&] {
        return qc.qcSqlSetConnectAttr(hdb, QSCLI_ATTR_TEXT_UTF8, reinterpret_cast<void*>(1), 0);
    }) == 0;
    if (ask && !utf8) note_library_without_utf8();
    TextScope text(utf8);
    Ref texts[3];
    const char* c[3];
    PyObject* given[3] = {server, user, passwd};
    for (int i = 0; i < 3; ++i) {
        // Copied as it is now: the next encode() may resize or refill a
        // bytearray this one handed back.
        texts[i] = library_text(given[i], &c[i]);
        if (!texts[i]) {
            abandon_handle(hdb, false);
            return nullptr;
        }
    }
    rc = waiting_call(HeldLock(hdb).get(), hdb, [&] {
        return qc.qcSqlConnect(hdb, const_cast<char*>(c[0]), const_cast<char*>(c[1]),
                               const_cast<char*>(c[2]));
    });
    if (rc) {
        Ref text = connection_error_text(hdb);
        connection_refused(self, rc, "DatabaseError", "qcSqlConnect", text.get(), true);
        abandon_handle(hdb, false);
        return nullptr;
    }
    // Everything that can fail for the new session happens before the old
    // one ends, so a connect() that fails leaves the connection as it was.
    // The receivers are registered on the new handle, held meanwhile.
    const int old_hdb = self->hdb;
    self->hdb = hdb;
    int debug = debug_enabled();
    if (debug > 0) {
        Ref srvsendlog = global("srvsendlog");
        Ref registered(srvsendlog ? PyObject_CallMethod(obj, "send_callback", "O", srvsendlog.get())
                                  : nullptr);
        if (registered) {
            Ref srvusersendlog = global("srvusersendlog");
            registered.reset(srvusersendlog ? PyObject_CallMethod(obj, "usersend_callback", "O",
                                                                  srvusersendlog.get())
                                            : nullptr);
        }
        if (!registered) debug = -1;
    }
    if (debug < 0) {
        if (self->hdb == hdb) self->hdb = old_hdb;
        abandon_handle(hdb, true);
        return nullptr;
    }
    if (self->is_connected && old_hdb && old_hdb != hdb) {
        // Python code run above (an encode(), a server message) may have
        // closed it meanwhile: the state is read again here. The new session
        // works; an old one that does not end cleanly is told, not raised.
        self->is_connected = 0;
        if (end_session(old_hdb) < 0) PyErr_WriteUnraisable(obj);
    }
    self->hdb = hdb;
    self->is_connected = 1;
    self->text_utf8 = utf8;
    self->null_flags_refused = 0;
    self->dialect = ask_dialect(hdb);
    self->int64_refused = 0;
    self->stream_refused = 0;
    self->server_types_refused = 0;
    Py_RETURN_NONE;
}

// Callable from any thread while another runs a statement (or the log-on)
// on the connection: it takes no call lock, and the library's cancel is
// safe at any time. The call running now fails at its own call site with
// QSCLI_E_INTERRUPTED; with nothing running nothing happens, and a call
// that ends first is not stopped, nor is the next one.
PyObject* connection_interrupt(PyObject* obj, PyObject*) {
    ConnectionObject* self = as_connection(obj);
    if (self->hdb == 0) Py_RETURN_NONE;
    int rc = has_cancel() ? 0 : QSCLI_E_UNSUPPORTED;
    if (rc == 0) {
        const int hdb = self->hdb;
        Py_BEGIN_ALLOW_THREADS
        rc = cancel_running(hdb);
        Py_END_ALLOW_THREADS
    }
    if (rc == QSCLI_E_UNSUPPORTED) return connection_refused(self, rc, "NotSupportedError", "qcSqlCancel");
    if (rc) return connection_refused(self, rc, "OperationalError", "qcSqlCancel");
    Py_RETURN_NONE;
}

PyObject* connection_enter(PyObject* self, PyObject*) { return new_ref(self); }

PyObject* connection_exit(PyObject* self, PyObject*) {
    Ref done(PyObject_CallMethod(self, "close", nullptr));
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

PyObject* connection_del(PyObject* self, PyObject*) {
    if (as_connection(self)->is_connected) {
        Ref done(PyObject_CallMethod(self, "close", nullptr));
        if (!done) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* connection_close(PyObject* self, PyObject*) { return close_session(as_connection(self)); }

PyObject* connection_cursor(PyObject* obj, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"err_to_user", nullptr};
    PyObject* err_to_user = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:cursor", const_cast<char**>(kwlist),
                                     &err_to_user))
        return nullptr;
    int debug = debug_enabled();
    if (debug < 0) return nullptr;
    if (debug) err_to_user = Py_True;
    ConnectionObject* self = as_connection(obj);
    if (!self->is_connected) return raise_message("ProgrammingError", "Connection is already closed");
    Ref hdb(PyLong_FromLong(self->hdb));
    if (!hdb) return nullptr;
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&CursorType), hdb.get(),
                                        err_to_user, nullptr);
}

void connection_dealloc(PyObject* self) {
    // No finaliser: a connection dropped while connected keeps its session,
    // exactly as close() was never called.
    Py_TYPE(self)->tp_free(self);
}

PyObject* module_connect(PyObject*, PyObject* args, PyObject* kwds) {
    return new_connection(values::Face::Core, args, kwds);
}

PyMethodDef connection_methods[] = {
    {"connect", QX_METHOD_CAST(connection_connect), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__enter__", QX_METHOD_CAST(connection_enter), METH_NOARGS, nullptr},
    {"__exit__", QX_METHOD_CAST(connection_exit), METH_VARARGS, nullptr},
    {"__del__", QX_METHOD_CAST(connection_del), METH_NOARGS, nullptr},
    {"close", QX_METHOD_CAST(connection_close), METH_NOARGS,
     "\n        DB-API Connection.close()\n        "},
    {"cursor", QX_METHOD_CAST(connection_cursor), METH_VARARGS | METH_KEYWORDS,
     "\n        DB-API Connection.cursor()\n        :param err_to_user:\n"
              "        :return:\n        "},
    {"execute", QX_METHOD_CAST(connection_execute), METH_O, execute_doc},
    {"begin", QX_METHOD_CAST(connection_begin), METH_VARARGS | METH_KEYWORDS, begin_doc},
    {"commit", QX_METHOD_CAST(connection_commit), METH_O, commit_doc},
    {"rollback", QX_METHOD_CAST(connection_rollback), METH_O, rollback_doc},
    {"server_version", QX_METHOD_CAST(connection_server_version), METH_NOARGS, server_version_doc},
    {"server_address", QX_METHOD_CAST(connection_server_address), METH_NOARGS, server_address_doc},
    {"client_address", QX_METHOD_CAST(connection_client_address), METH_NOARGS, client_address_doc},
    {"usersend_callback", QX_METHOD_CAST(connection_usersend_callback), METH_O, usersend_callback_doc},
    {"send_callback", QX_METHOD_CAST(connection_send_callback), METH_O, send_callback_doc},
    {"addrecords", QX_METHOD_CAST(connection_addrecords), METH_VARARGS | METH_KEYWORDS, addrecords_doc},
    {"interrupt", QX_METHOD_CAST(connection_interrupt), METH_NOARGS,
     "\n        Stops the statement running on this connection, from any thread\n"
     "        :return:\n        "},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::nullptr_t connection_refused(ConnectionObject* self, int rc, const char* core_class, const char* call,
                                  PyObject* text, bool asked) {
    const std::string tmpl = std::string(call) + " error %d:";
    if (self->face == values::Face::Standard) {
        if (text) return raise_by_cause(rc, text, call);
        Ref message(PyUnicode_FromFormat(tmpl.c_str(), rc));
        if (!message) return nullptr;
        raise_by_cause(rc, message.get(), call);
    } else {
        raise_code(core_class, tmpl.c_str(), rc);
        if (!asked) return nullptr;
    }
    note_server_text(text);
    return nullptr;
}

PyObject* new_connection(values::Face face, PyObject* args, PyObject* kwds, bool keep_cp866) {
    static const char* kwlist[] = {"dsn", "user", "passwd", nullptr};
    static PyObject* const empty = PyUnicode_FromString("");
    if (!empty) return nullptr;
    PyObject* dsn;
    PyObject* user = empty;
    PyObject* passwd = empty;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:connect", const_cast<char**>(kwlist), &dsn,
                                     &user, &passwd))
        return nullptr;
    if (dsn == Py_None) return raise_message("InterfaceError", "dsn value should not be None");
    Ref conn(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&ConnectionType)));
    if (!conn) return nullptr;
    as_connection(conn.get())->face = face;
    as_connection(conn.get())->keep_cp866 = keep_cp866;
    Ref done(PyObject_CallMethod(conn.get(), "connect", "OOO", dsn, user, passwd));
    if (!done) return nullptr;
    return conn.release();
}

PyTypeObject ConnectionType = [] {
    PyTypeObject t = static_type("pyqivrexdb.qxcore.Connection", sizeof(ConnectionObject));
    t.tp_dealloc = connection_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = "\n    DB-API Connection\n    ";
    t.tp_methods = connection_methods;
    t.tp_init = connection_init;
    t.tp_new = PyType_GenericNew;
    return t;
}();

PyMethodDef connect_def = {"connect", QX_METHOD_CAST(module_connect), METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace qx
