// The two faces' bulk entry points: the core's Connection.addrecords (its
// cursor runs the structure query at every call, as designed) and the
// standard face's load (the connection's kept layout); both load through
// bulk_load.
#include "bulk.h"
#include "load.h"
#include "table_layout.h"

#include "../client/calls.h"
#include "../client/loader.h"
#include "../connection/connection.h"
#include "../cursor/cursor.h"
#include "../values/field.h"
#include "../cursor/standard_cursor.h"
#include "../client/causes.h"
#include "../base/memory.h"
#include "../base/common.h"
#include "../client/cp866.h"
#include "../values/values.h"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace qx {

const char* const addrecords_doc =
    "\n        Пакетное добавление записей в таблицу"
    "\n        :param table_name: Имя таблицы Qivrex"
    "\n        :param pydata: данные для загрузки [[1, '2'], [1, '3']...]"
    "\n        :param cursor: Cursor"
    "\n        :return:"
    "\n        ";

namespace {

// The table's layout from the structure query run on `cursor` (the core
// face's: a cursor of the caller's, whose statement it then is).
int read_structure(PyObject* cursor, PyObject* table_name, TableLayout* layout) {
    Ref query = layout_query(table_name);
    if (!query) return -1;
    Ref done(PyObject_CallMethod(cursor, "execute", "O", query.get()));
    if (!done) return -1;
    Ref rows(PyObject_CallMethod(cursor, "fetchall", nullptr));
    if (!rows) return -1;
    return layout_from_rows(rows.get(), layout, false);
}

// A cursor of our own is closed once the structure is read: its statement
// is released now, not left allocated on the server for the rest of the
// connection. A failure to close it is clean-up, not the load's: the
// statement is freed directly and the load goes on (the failure is logged
// when DEBUG is true). With `failing`, the pending exception of the failed
// structure query is what the caller sees. 0, or -1 with an exception set.
int close_own_cursor(PyObject* conn, PyObject* cursor, bool failing) {
    Ref failure(failing ? take_pending() : nullptr);
    Ref closed(PyObject_CallMethod(cursor, "close", nullptr));
    if (!closed) {
        Ref why(take_pending());
        cursor_release(cursor);
        if (!failing && why && debug_log("%R: addrecords: closing the structure query's cursor failed: %S", conn,
                                         why.get()) < 0)
            return -1;
    }
    if (!failing) return 0;
    raise_pending(failure.release());
    return -1;
}

}  // namespace

bool set_load_form(ConnectionObject* conn, unsigned attr, bool on) {
    return quick_call(HeldLock(conn->hdb).get(), [&] {
               return qc.qcSqlSetConnectAttr(conn->hdb, attr, reinterpret_cast<void*>(on ? 1 : 0), 0);
           }) == 0;
}

PyObject* standard_load(PyObject*, PyObject* args) {
    PyObject* connection;
    PyObject* table_name;
    PyObject* rows;
    PyObject* cursor = Py_None;
    PyObject* adapters = Py_None;
    PyObject* alone = Py_None;
    if (!PyArg_ParseTuple(args, "OUO|OOO:load", &connection, &table_name, &rows, &cursor, &adapters, &alone))
        return nullptr;
    if (cursor != Py_None && !PyObject_TypeCheck(cursor, &StandardCursorType))
        return PyErr_Format(PyExc_TypeError, "expected a standard cursor, not %.100s", Py_TYPE(cursor)->tp_name);
    if (!PyObject_TypeCheck(connection, &ConnectionType))
        return PyErr_Format(PyExc_TypeError, "expected a pyqivrexdb.qxcore.Connection, not %.100s",
                            Py_TYPE(connection)->tp_name);
    auto* conn = reinterpret_cast<ConnectionObject*>(connection);
    if (!conn->is_connected) return raise_message("ProgrammingError", "the connection is closed");
    TextScope text(conn->text_utf8);
    const char* table = nullptr;
    Ref encoded = library_text(table_name, &table);
    if (!encoded) return nullptr;
    TableLayout layout;
    if (table_layout(conn, table_name, &layout) < 0) return nullptr;
    // 64-bit and numeric fields load in their own forms when the connection
    // takes them so, as the layout was read.
    const LoadForms forms(conn);
    PyObject* fields = layout.fields.get();
    const Py_ssize_t nfields = PyList_GET_SIZE(fields);
    const uint32_t flag_bytes =
        quick_call(HeldLock(conn->hdb).get(), [&] {
            return qc.qcSqlSetConnectAttr(conn->hdb, QSCLI_ATTR_NULL_FLAGS, reinterpret_cast<void*>(1), 0);
        }) == 0
            ? static_cast<uint32_t>((nfields + 7) / 8) : 0;
    Ref flags(PyLong_FromUnsignedLong(flag_bytes));
    Ref length(flags ? PyNumber_Add(layout.record_length.get(), flags.get()) : nullptr);
    if (!length) return nullptr;
    const Py_ssize_t count = PyObject_Size(rows);
    if (count < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
    }
    Py_ssize_t per_batch;
    if (records_per_batch(count < 0 ? PY_SSIZE_T_MAX / 2 : count, length.get(), &per_batch,
                          conn->dialect == QSCLI_DIALECT_PG ? PG_BATCH_BYTES : 0) < 0)
        return nullptr;
    // The cursor a load runs for (executemany) drops its last result and
    // counts the rows loaded.
    auto* standard_cursor = reinterpret_cast<StandardCursorObject*>(cursor);
    if (cursor != Py_None) {
        if (standard_cursor->base.stmt_handle == 0) return raise_message("ProgrammingError", "the cursor is closed");
        if (standard_cursor->base.vtab->reset(&standard_cursor->base) < 0) return nullptr;
        standard_cursor->rowcount = -1;
        standard_cursor->has_lastrowid = 0;
    }
    Py_ssize_t sent = 0;
    if (bulk_load(conn, table, fields, per_batch, values::Face::Standard, flag_bytes, rows, &sent,
                  adapters == Py_None ? nullptr : adapters, alone == Py_None ? nullptr : alone) < 0) {
        // An error of the rows' own iterator tells as much as a refused row.
        Ref error(take_pending());
        if (error && !PyObject_HasAttrString(error.get(), "rows_sent")) {
            Ref count(PyLong_FromSsize_t(sent));
            if (!count || PyObject_SetAttrString(error.get(), "rows_sent", count.get()) < 0) PyErr_Clear();
        }
        raise_pending(error.release());
        return nullptr;
    }
    // A row stored by itself leaves no row id of its own behind.
    if (cursor != Py_None) {
        standard_cursor->rowcount = sent;
        standard_cursor->has_lastrowid = 0;
    }
    return PyLong_FromSsize_t(sent);
}

PyObject* connection_addrecords(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"table_name", "pydata", "cursor", nullptr};
    PyObject* table_name;
    PyObject* pydata;
    PyObject* cursor = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:addrecords", const_cast<char**>(kwlist), &table_name,
                                     &pydata, &cursor))
        return nullptr;
    auto* conn = reinterpret_cast<ConnectionObject*>(self);

    if (debug_log("%R: addrecords(table_name='%S')", self, table_name) < 0) return nullptr;
    // Every send reads the name again, with Python code (rows, server
    // messages) running in between: it is held as bytes of our own.
    const char* table = nullptr;
    Ref encoded = library_text(table_name, &table);
    if (!encoded) return nullptr;

    int given = PyObject_IsTrue(cursor);
    if (given < 0) return nullptr;
    Ref cur;
    if (given) {
        cur = Ref::borrow(cursor);
    } else {
        cur = Ref(PyObject_CallMethod(self, "cursor", nullptr));
        if (!cur) return nullptr;
    }
    TableLayout layout;
    const int read = read_structure(cur.get(), table_name, &layout);
    if (!given && close_own_cursor(self, cur.get(), read < 0) < 0) return nullptr;
    if (read < 0) return nullptr;

    Py_ssize_t rows = PyObject_Size(pydata);
    if (rows < 0) return nullptr;
    Py_ssize_t per_batch;
    // The core face hands over HEAPCTRL bytes a call, whatever the backend.
    if (records_per_batch(rows, layout.record_length.get(), &per_batch) < 0) return nullptr;

    Py_ssize_t sent = 0;
    if (bulk_load(conn, table, layout.fields.get(), per_batch, values::Face::Core, 0, pydata, &sent) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace qx
