// Connection: one client connection handle from connect() to close().
#pragma once

#include "../base/ref.h"
#include "../values/values.h"

namespace qx {

struct ConnectionObject {
    PyObject_HEAD
    int is_connected;  // true between a successful connect() and close()
    int hdb;           // the client library's connection handle
    // QSCLI_ATTR_NULL_FLAGS settings a standard cursor's statement was
    // refused on this session (bit n: setting n), not to be asked again.
    unsigned null_flags_refused;
    int dialect;  // QSCLI_DIALECT_*: the lexical rules of the session's SQL, asked at log-on
    int int64_refused;  // the same for QSCLI_ATTR_INT64
    int stream_refused;  // and for QSCLI_ATTR_STREAM
    int server_types_refused;  // and for QSCLI_ATTR_SERVER_TYPES
    values::Face face;  // whose errors its refusals raise; set when it is made
    // Its texts cross the library in UTF-8: a standard-face connection whose
    // library took QSCLI_ATTR_TEXT_UTF8 at log-on. Never set for the core.
    bool text_utf8;
    bool keep_cp866;  // asked not to: see new_connection
};

// Raises the face's error for the library's `rc` from `call` on `self`: the
// core's `core_class` with the code, or the class the code names (causes.h);
// with `asked`, the server's `text` (may be null) rides along as
// server_text, and is the standard face's message when there is one.
// Always null.
std::nullptr_t connection_refused(ConnectionObject* self, int rc, const char* core_class, const char* call,
                                  PyObject* text = nullptr, bool asked = false);

// A new connection of `face`, connected as connect(dsn, user, passwd).
// `keep_cp866`: never ask for QSCLI_ATTR_TEXT_UTF8 (the standard face's
// connect(text_encoding="cp866")).
PyObject* new_connection(values::Face face, PyObject* args, PyObject* kwds, bool keep_cp866 = false);

extern PyTypeObject ConnectionType;

// callbacks.cpp: the standard face's own receiver of one connection's messages:
// receiver(text, usertype, channel), usertype and channel None for a server
// message, channel None when the library cannot tell it; None hands them back
// to the process-wide receivers. 0, or -1 with an exception set.
int set_receiver(ConnectionObject* conn, PyObject* receiver);

}  // namespace qx
