// Connection: one client connection handle from connect() to close().
#pragma once

#include "../module/ref.h"

namespace qx {

struct ConnectionObject {
    PyObject_HEAD
    int is_connected;  // true between a successful connect() and close()
    int hdb;           // the client library's connection handle
};

extern PyTypeObject ConnectionType;

}  // namespace qx
