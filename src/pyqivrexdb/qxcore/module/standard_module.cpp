// pyqivrexdb._qxstandard: the C pieces of the standard face, made by the
// core's import and registered in sys.modules only, so the core's own
// namespace stays exactly as designed. pyqivrexdb.dbapi builds on it.
#include "../arrow/arrow.h"
#include "../bulk/load.h"
#include "../bulk/table_layout.h"
#include "../client/calls.h"
#include "../client/loader.h"
#include "../connection/connection.h"
#include "../cursor/row.h"
#include "../cursor/standard_cursor.h"
#include "../values/values.h"
#include "../client/causes.h"
#include "../base/common.h"

namespace qx {

namespace {

// connect(dsn, user, passwd, text_encoding="utf-8"): "cp866" keeps the
// code page even where the library offers UTF-8.
PyObject* connect_fn(PyObject*, PyObject* args, PyObject* kwds) {
    PyObject* chosen = kwds ? PyDict_GetItemString(kwds, "text_encoding") : nullptr;
    if (!chosen) return new_connection(values::Face::Standard, args, kwds);
    const bool cp866 = PyUnicode_Check(chosen) && PyUnicode_CompareWithASCIIString(chosen, "cp866") == 0;
    if (!cp866 && !(PyUnicode_Check(chosen) && PyUnicode_CompareWithASCIIString(chosen, "utf-8") == 0))
        return PyErr_Format(PyExc_ValueError, "text_encoding must be 'utf-8' or 'cp866', not %R", chosen);
    Ref rest(PyDict_Copy(kwds));
    if (!rest || PyDict_DelItemString(rest.get(), "text_encoding") < 0) return nullptr;
    return new_connection(values::Face::Standard, args, rest.get(), cp866);
}

ConnectionObject* connected(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, &ConnectionType)) {
        PyErr_Format(PyExc_TypeError, "expected a pyqivrexdb.qxcore.Connection, not %.100s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    auto* conn = reinterpret_cast<ConnectionObject*>(obj);
    if (!conn->is_connected) return raise_message("ProgrammingError", "the connection is closed");
    return conn;
}

PyObject* dialect_fn(PyObject*, PyObject* obj) {
    ConnectionObject* conn = connected(obj);
    return conn ? PyLong_FromLong(conn->dialect) : nullptr;
}

PyObject* text_encoding_fn(PyObject*, PyObject* obj) {
    ConnectionObject* conn = connected(obj);
    return conn ? PyUnicode_FromString(conn->text_utf8 ? "utf-8" : "cp866") : nullptr;
}

// The library's account of the session's transaction (QSCLI_TX_*), or None
// when it cannot tell (a library without the question); QSCLI_E_CONNECTION
// for a session whose server it lost (it says so by either code), which
// holds no transaction any more.
PyObject* transaction_state_fn(PyObject*, PyObject* obj) {
    ConnectionObject* conn = connected(obj);
    if (!conn) return nullptr;
    const int hdb = conn->hdb;
    int state = 0;
    const int rc = quick_call(HeldLock(hdb).get(), [&] { return qc.qcSqlTransactionState(hdb, &state); });
    if (rc == QSCLI_E_IO || rc == QSCLI_E_CONNECTION) return PyLong_FromLong(QSCLI_E_CONNECTION);
    if (rc != 0 || state < QSCLI_TX_IDLE || state > QSCLI_TX_FAILED) Py_RETURN_NONE;
    return PyLong_FromLong(state);
}

PyObject* set_receiver_fn(PyObject*, PyObject* args) {
    PyObject *obj, *receiver;
    if (!PyArg_ParseTuple(args, "OO:set_receiver", &obj, &receiver)) return nullptr;
    ConnectionObject* conn = connected(obj);
    if (!conn || set_receiver(conn, receiver) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_json_loads_fn(PyObject*, PyObject* loads) {
    if (values::set_json_loads(loads) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"set_json_loads", set_json_loads_fn, METH_O,
     "set_json_loads(loads) -> None: json and jsonb values read as loads(text); None restores json.loads."},
    {"connect", QX_METHOD_CAST(connect_fn), METH_VARARGS | METH_KEYWORDS,
     "connect(dsn, user='', passwd='') -> a core Connection whose refusals raise by cause."},
    {"dialect", dialect_fn, METH_O, "dialect(connection) -> QSCLI_DIALECT_* of the session's SQL."},
    {"text_encoding", text_encoding_fn, METH_O,
     "text_encoding(connection) -> 'utf-8' when its texts cross the library in UTF-8, else 'cp866'."},
    {"transaction_state", transaction_state_fn, METH_O,
     "transaction_state(connection) -> QSCLI_TX_* as the library holds it, None when it cannot tell, "
     "QSCLI_E_CONNECTION when its server is lost."},
    {"set_receiver", set_receiver_fn, METH_VARARGS,
     "set_receiver(connection, receiver) -> None: the connection's messages go to receiver(text, usertype, "
     "channel) (None: back to the process-wide receivers)."},
    {"split", split_statements, METH_VARARGS,
     "split(text, dialect=0) -> the statements, each with its ';', then the unfinished rest if any."},
    {"complete", complete_statement, METH_VARARGS,
     "complete(text, dialect=0) -> True when the text ends with a complete statement."},
    {"tokens", statement_tokens, METH_VARARGS,
     "tokens(text, dialect=0, limit=-1) -> (kind, text) of each token but blanks and comments (the first limit)."},
    {"load", standard_load, METH_VARARGS,
     "load(connection, table, rows, cursor=None, adapters=None, alone=None) -> rows loaded: the standard face's bulk "
     "load; alone(values) stores a row whose text is longer than its unbounded text field."},
    {"table_layout", table_layout_fn, METH_VARARGS,
     "table_layout(connection, table) -> [(name, type_code, size, declared type), ...] of the table's fields."},
    {"arrow_result", arrow::arrow_result, METH_VARARGS,
     "arrow_result(cursor, batch_size) -> the rest of the cursor's result, exporting __arrow_c_stream__."},
    {"arrow_rows", arrow::arrow_rows, METH_O,
     "arrow_rows(data) -> an iterator of tuples over Arrow data, with .fields [(name, format, nullable)]."},
    {"arrow_load", arrow::arrow_load, METH_VARARGS,
     "arrow_load(connection, table, rows, order, cursor=None, alone=None, whole=False) -> rows loaded from "
     "arrow_rows(data)."},
    {"masked_dsn", masked_dsn_fn, METH_O, "masked_dsn(dsn) -> dsn with each password as ***."},
    {"dsn_with", dsn_with_fn, METH_VARARGS, "dsn_with(dsn, key, value) -> dsn with that one setting; None for an engine file."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef standard_def = {PyModuleDef_HEAD_INIT, "pyqivrexdb._qxstandard",
                            "The standard face's C pieces (see pyqivrexdb.dbapi).", -1, functions,
                            nullptr, nullptr, nullptr, nullptr};

}  // namespace

int register_standard_module() {
    StandardCursorType.tp_base = &CursorType;
    if (PyType_Ready(&StandardCursorType) < 0) return -1;
    Ref mod(PyModule_Create(&standard_def));
    if (!mod) return -1;
    Py_INCREF(&StandardCursorType);
    if (PyModule_AddObject(mod.get(), "Cursor", reinterpret_cast<PyObject*>(&StandardCursorType)) < 0) {
        Py_DECREF(&StandardCursorType);
        return -1;
    }
    if (PyType_Ready(&RowType) < 0) return -1;
    Py_INCREF(&RowType);
    if (PyModule_AddObject(mod.get(), "Row", reinterpret_cast<PyObject*>(&RowType)) < 0) {
        Py_DECREF(&RowType);
        return -1;
    }
    if (PyModule_AddFunctions(mod.get(), row_factory_functions) < 0) return -1;
    // The library's codes that the standard face and its tests name: the
    // optional 64-bit type (this face's only, not the core's), the dialects,
    // the states of a transaction, and attributes of a connection and a
    // statement.
#define QX_CODE(name) {#name, name}
    static const struct {
        const char* name;
        long value;
    } codes[] = {
        QX_CODE(QSCLI_ET_INT64),         QX_CODE(QSCLI_DIALECT_ENGINE),       QX_CODE(QSCLI_DIALECT_PG),
        QX_CODE(QSCLI_TX_IDLE),          QX_CODE(QSCLI_TX_OPEN),              QX_CODE(QSCLI_TX_FAILED),
        QX_CODE(QSCLI_ATTR_FLD_VERBOSE), QX_CODE(QSCLI_ATTR_CBK_SRVMSG),      QX_CODE(QSCLI_ATTR_CBK_SRVUSERSEND),
        QX_CODE(QSCLI_ATTR_INT64),       QX_CODE(QSCLI_ATTR_STREAM),          QX_CODE(QSCLI_STMT_SAB_TYPE),
        QX_CODE(QSCLI_STMT_DST_INFO),    QX_CODE(QSCLI_STMT_RC_TYPE),         QX_CODE(QSCLI_STMT_RC_SIZE),
        QX_CODE(QSCLI_STMT_RC_BODY),     QX_CODE(QSCLI_CONN_SRV_VERS2),       QX_CODE(QSCLI_CONN_LCLADDR),
        QX_CODE(QSCLI_CONN_RMTADDR),     QX_CODE(QSCLI_STMT_EXECUTED),        QX_CODE(QSCLI_CONN_TIME_ZONE),
        QX_CODE(QSCLI_E_NO_TRANSACTION), QX_CODE(QSCLI_E_CONNECTION),         QX_CODE(QSCLI_E_UNSUPPORTED),
        QX_CODE(QSCLI_ATTR_NULL_FLAGS),  QX_CODE(QSCLI_ATTR_TEXT_UTF8),       QX_CODE(QSCLI_STMT_ERR_TEXT),
    };
#undef QX_CODE
    for (const auto& code : codes)
        if (PyModule_AddIntConstant(mod.get(), code.name, code.value) < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_SetItemString(modules, "pyqivrexdb._qxstandard", mod.get());
}

}  // namespace qx
