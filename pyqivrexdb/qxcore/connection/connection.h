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

}  // namespace qx
