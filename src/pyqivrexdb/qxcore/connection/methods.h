// The Connection methods that live beside the lifecycle in connection.cpp;
// connection.cpp puts them into the class's method table. addrecords is
// the bulk load's (bulk/addrecords.cpp), which uses the connection.
#pragma once

#include "connection.h"

namespace qx {

// transactions.cpp
PyObject* connection_execute(PyObject* self, PyObject* textsql);
PyObject* connection_begin(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* connection_commit(PyObject* self, PyObject* name);
PyObject* connection_rollback(PyObject* self, PyObject* name);
extern const char* const execute_doc;
extern const char* const begin_doc;
extern const char* const commit_doc;
extern const char* const rollback_doc;

// info.cpp
PyObject* connection_server_version(PyObject* self, PyObject*);
PyObject* connection_server_address(PyObject* self, PyObject*);
PyObject* connection_client_address(PyObject* self, PyObject*);
extern const char* const server_version_doc;
extern const char* const server_address_doc;
extern const char* const client_address_doc;

// bulk/addrecords.cpp: addrecords(table_name, pydata, cursor=None),
// METH_VARARGS | METH_KEYWORDS.
PyObject* connection_addrecords(PyObject* self, PyObject* args, PyObject* kwds);
extern const char* const addrecords_doc;

// callbacks.cpp
PyObject* connection_usersend_callback(PyObject* self, PyObject* uscallback);
PyObject* connection_send_callback(PyObject* self, PyObject* scallback);
extern const char* const usersend_callback_doc;
extern const char* const send_callback_doc;
// Drops the receiver of a session that ends: the library may reissue its
// handle. 0, or -1 with an exception set.
int forget_receiver(int hdb);

inline ConnectionObject* as_connection(PyObject* self) {
    return reinterpret_cast<ConnectionObject*>(self);
}

// Runs `release` (a client call that frees something) without letting it,
// or a server message it delivers, disturb the pending exception.
template <class F>
void release_quietly(F release) {
    SetAside aside;
    release();
}

}  // namespace qx
