// What the client library knows about a connection: server version and the
// two ends' network addresses.
#include "../client/calls.h"
#include "../client/loader.h"
#include "../base/common.h"
#include "../client/cp866.h"
#include "methods.h"

#include <cstring>

namespace qx {

namespace {

struct Attribute {
    unsigned int code;
    unsigned int size;         // the buffer handed to the library, NUL included
    const char* error;         // template of the DatabaseError
    const char* debug_line;    // or null: not logged
};

constexpr Attribute SERVER_VERSION = {QSCLI_CONN_SRV_VERS2, 20, "server_version error %d:",
                                      "%R: server_version %U"};
constexpr Attribute SERVER_ADDRESS = {QSCLI_CONN_RMTADDR, 20, "server_address error %d:",
                                      "%R: server_address() %U"};
constexpr Attribute CLIENT_ADDRESS = {QSCLI_CONN_LCLADDR, 50, "qcSqlGetConnectAttr error %d:",
                                      nullptr};

PyObject* read_attribute(PyObject* self, const Attribute& attr) {
    // Zeroed, and the text taken no further than the buffer: a library that
    // writes nothing, or no NUL, still yields only what it wrote.
    char buffer[64] = {};
    unsigned int length = 0;
    const int hdb = as_connection(self)->hdb;
    int rc = quick_call(HeldLock(hdb).get(), [&] {
        return qc.qcSqlGetConnectAttr(hdb, attr.code, 0, buffer, attr.size, &length);
    });
    if (rc) return raise_code("DatabaseError", attr.error, rc);
    Ref text(message_decode(buffer, static_cast<Py_ssize_t>(strnlen(buffer, attr.size))));
    if (!text) return nullptr;
    if (attr.debug_line && debug_log(attr.debug_line, self, text.get()) < 0) return nullptr;
    return text.release();
}

}  // namespace

PyObject* connection_server_version(PyObject* self, PyObject*) {
    return read_attribute(self, SERVER_VERSION);
}

PyObject* connection_server_address(PyObject* self, PyObject*) {
    return read_attribute(self, SERVER_ADDRESS);
}

PyObject* connection_client_address(PyObject* self, PyObject*) {
    return read_attribute(self, CLIENT_ADDRESS);
}

const char* const server_version_doc =
    "\n        Версия сервера Qivrex\n        :return:\n        :return: str\n        ";
const char* const server_address_doc =
    "\n        Сетевой адрес (сервера)\n        :return: str\n        ";
const char* const client_address_doc = "\n        Адрес (клиента)\n        :return: str\n        ";

}  // namespace qx
