// The standard face's cursor: the core's Cursor with bound parameters,
// tuples, NULLs and errors by cause. pyqivrexdb.dbapi.Cursor derives from it.
#pragma once

#include "cursor.h"

namespace qx {

struct StandardCursorObject {
    CursorObject base;
    int null_flags;        // the QSCLI_ATTR_NULL_FLAGS setting the statement accepted (0: none)
    long long rowcount;    // changed rows, records of a result, or -1
    long long lastrowid;   // the last inserted row's id
    int has_lastrowid;     // 0: lastrowid reads None
    int dialect;           // QSCLI_DIALECT_*: the connection's, copied when the cursor is made
    int detect_types;      // the dbapi connection's detect_types, kept current by it
    bool text_utf8;        // the connection's ConnectionObject::text_utf8, copied likewise
    int server_types;      // the statement accepted QSCLI_ATTR_SERVER_TYPES
};

extern PyTypeObject StandardCursorType;

// Runs one statement text (parameters already bound) on the cursor; 0, or -1
// with the standard face's exception set.
int standard_run(StandardCursorObject* self, const char* sql);

// Cursor.description with each column's element type as its type code, as
// the records are laid out (description itself gives a server type's own
// group: numeric NUMBER, the temporal types DATETIME).
PyObject* element_description(PyObject* self);

// Gives each result column whose name fills its record field its whole
// name, where the library tells it (whole_names.cpp); 0, or -1 with an
// exception set.
int complete_names(CursorObject* c);

// `cursor.row_factory` (`name` is that interned string): a new reference,
// or null with an exception set (AttributeError while it is unset).
PyObject* cursor_row_factory(PyObject* cursor, PyObject* name);

// The standard face's readers of SQL text (splitting.cpp), as functions of
// pyqivrexdb._qxstandard; each takes (text, dialect).
PyObject* split_statements(PyObject* self, PyObject* args);
PyObject* complete_statement(PyObject* self, PyObject* args);
PyObject* statement_tokens(PyObject* self, PyObject* args);

}  // namespace qx
