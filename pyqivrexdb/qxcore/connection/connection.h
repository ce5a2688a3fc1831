// Connection: one client connection handle from connect() to close().
#pragma once

#include "../module/ref.h"

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
};

extern PyTypeObject ConnectionType;

// callbacks.cpp: the standard face's own receiver of one connection's messages:
// receiver(text, usertype, channel), usertype and channel None for a server
// message, channel None when the library cannot tell it; None hands them back
// to the process-wide receivers. 0, or -1 with an exception set.
int set_receiver(ConnectionObject* conn, PyObject* receiver);

}  // namespace qx
