// The Cursor type: construction, reset, close and the small accessors.
#include "cursor.h"

#include "../client/loader.h"
#include "../base/common.h"
#include "../base/parts.h"
#include "../values/field.h"

namespace qx {

namespace {

CursorObject* as_cursor(PyObject* self) { return reinterpret_cast<CursorObject*>(self); }

// Both construction steps take exactly (hdb, err_to_user).
int parse_construction(PyObject* args, PyObject* kwds, const char* format, int32_t* hdb,
                       PyObject** err_to_user) {
    static const char* kwlist[] = {"hdb", "err_to_user", nullptr};
    PyObject* hdb_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist), &hdb_obj,
                                     err_to_user))
        return -1;
    return to_int32(hdb_obj, hdb);
}

int cursor_forget(CursorObject* self) {
    self->columns_count = 0;
    self->row_count = 0;
    self->start_record = 0;
    // Dropping the old iterator or value may run Python code that looks at
    // the cursor: each field is consistent before its old value goes.
    PyObject* old_columns = self->columns;
    PyObject* old_results = self->results;
    self->columns = new_ref(Py_None);
    self->results = new_ref(Py_None);
    // The iterator goes first: finishing it lets go of its hold on the list.
    records_let_go(self, old_results);
    // A list of kept Fields nobody else holds may serve the next result of
    // the same Fields.
    if (self->kept_fields && PyList_CheckExact(old_columns) && Py_REFCNT(old_columns) == 1 && !self->spare_columns)
        self->spare_columns = old_columns;
    else
        Py_DECREF(old_columns);
    self->read_buffer_size = 0;
    self->results_held = 0;
    replace_field(self->return_code, new_ref(Py_None));
    return debug_log("%R: _reset()", self);
}

int cursor_reset(CursorObject* self) {
    if (self->results_open == 1) {
        const int32_t handle = self->stmt_handle;
        int rc = quick_call(self->lock, [&] { return qc.qcSqlCloseResults(handle); });
        if (rc != 0) {
            raise_formatted("ProgrammingError", "qcSqlCloseResults error %d:", rc);
            return -1;
        }
    }
    self->results_open = 0;
    return cursor_forget(self);
}

const CursorMethods cursor_methods = {cursor_reset, cursor_forget};

// A cursor whose construction failed is discarded: its statement goes back
// to the client first, and the construction's own error is what the caller
// sees.
void release_failed(CursorObject* self) {
    if (self->stmt_handle == 0) return;
    SetAside aside;
    const int32_t handle = self->stmt_handle;
    self->stmt_handle = 0;
    quick_call(self->lock, [&] { return qc.qcSqlFreeStmt(handle); });
}

PyObject* cursor_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    int32_t hdb = 0;
    PyObject* err_to_user = nullptr;
    if (parse_construction(args, kwds, "OO:__cinit__", &hdb, &err_to_user) < 0) return nullptr;
    Ref obj(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    CursorObject* self = as_cursor(obj.get());
    self->vtab = &cursor_methods;
    self->stmt_handle = 0;
    self->hdb = hdb;
    self->lock = hold_call_lock(hdb);
    self->read_buffer_size = 0;
    self->arraysize = 1;
    self->columns_count = 0;
    self->row_count = 0;
    self->start_record = 0;
    self->columns = new_ref(Py_None);
    self->results = new_ref(Py_None);
    self->results_open = 0;
    self->results_held = 0;
    self->has_results = 0;
    self->return_code = new_ref(Py_None);
    self->initialised = 0;

    if (debug_log("%R: __cinit__(err_to_user=%S)  ", obj.get(), err_to_user) < 0) return nullptr;
    int32_t handle = 0;
    int rc = quick_call(self->lock, [&] { return qc.qcSqlAllocStmt(hdb, &handle); });
    if (rc != 0) return raise_code("InterfaceError", "qcSqlAllocStmt error %d:", rc);
    self->stmt_handle = handle;
    int value = 1;
    rc = quick_call(self->lock, [&] {
        return qc.qcSqlSetStmtAttr(handle, QSCLI_ATTR_FLD_VERBOSE, &value, 0);
    });
    if (rc != 0) {
        raise_code("InterfaceError", "qcSqlSetStmtAttr error %d:", rc);
        release_failed(self);
        return nullptr;
    }
    return obj.release();
}

int cursor_init(PyObject* self, PyObject* args, PyObject* kwds) {
    int32_t hdb = 0;
    PyObject* err_to_user = nullptr;
    if (parse_construction(args, kwds, "OO:__init__", &hdb, &err_to_user) < 0) return -1;
    CursorObject* c = as_cursor(self);
    int wanted = PyObject_IsTrue(err_to_user);
    if (wanted > 0) {
        Ref done(PyObject_CallMethod(self, "_err_to_user", nullptr));
        if (!done) wanted = -1;
    }
    if (wanted < 0) {
        // A failing first __init__ fails the construction: Cursor(...)
        // discards the object. A later __init__ of a live cursor keeps it.
        if (!c->initialised) release_failed(c);
        return -1;
    }
    c->initialised = 1;
    return 0;
}

int cursor_traverse(PyObject* self, visitproc visit, void* arg) {
    CursorObject* c = as_cursor(self);
    Py_VISIT(c->columns);
    Py_VISIT(c->results);
    Py_VISIT(c->return_code);
    Py_VISIT(c->kept_fields);
    Py_VISIT(c->row_factory);
    Py_VISIT(c->spare_results);
    Py_VISIT(c->spare_columns);
    return 0;
}

int cursor_clear(PyObject* self) {
    CursorObject* c = as_cursor(self);
    replace_field(c->columns, new_ref(Py_None));
    replace_field(c->results, new_ref(Py_None));
    replace_field(c->return_code, new_ref(Py_None));
    Py_CLEAR(c->kept_records);
    Py_CLEAR(c->kept_fields);
    Py_CLEAR(c->row_factory);
    Py_CLEAR(c->spare_results);
    Py_CLEAR(c->spare_columns);
    forget_kept_layout(c);
    return 0;
}

}  // namespace

// A cursor dropped without close() gives its statement (and the library's
// memory for its results) back. No Python code runs: the statement is
// released directly, not through a close() a subclass may override.
void cursor_finalize(PyObject* self) {
    CursorObject* c = as_cursor(self);
    if (c->stmt_handle == 0) return;
    SetAside aside;
    const int32_t handle = c->stmt_handle;
    c->stmt_handle = 0;
    if (c->results_open) quick_call(c->lock, [&] { return qc.qcSqlCloseResults(handle); });
    c->results_open = 0;
    quick_call(c->lock, [&] { return qc.qcSqlFreeStmt(handle); });
}


void forget_kept_layout(CursorObject* c) {
    delete c->kept_layout;
    c->kept_layout = nullptr;
    c->kept_layout_stamp = 0;
}

void install_cursor_finalizer() { CursorType.tp_finalize = cursor_finalize; }

namespace {

void cursor_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    CursorObject* c = as_cursor(self);
    Py_CLEAR(c->columns);
    Py_CLEAR(c->results);
    Py_CLEAR(c->return_code);
    Py_CLEAR(c->kept_records);
    Py_CLEAR(c->kept_fields);
    Py_CLEAR(c->row_factory);
    Py_CLEAR(c->spare_results);
    Py_CLEAR(c->spare_columns);
    forget_kept_layout(c);
    drop_call_lock(c->lock);
    Py_TYPE(self)->tp_free(self);
}

PyObject* cursor_err_to_user(PyObject* self, PyObject*) {
    static const char statement[] = "err_to_user(1);";
    CursorObject* c = as_cursor(self);
    const int32_t handle = c->stmt_handle;
    int rc = waiting_call(c->lock, c->hdb, [&] { return qc.qcSqlExecDirect(handle, statement); });
    if (rc != 0) return raise_code("ProgrammingError", "qcSqlExecDirec error %d:", rc);
    Py_RETURN_NONE;
}

}  // namespace

void cursor_release(PyObject* cursor) {
    if (!PyObject_TypeCheck(cursor, &CursorType)) return;
    CursorObject* c = as_cursor(cursor);
    if (c->stmt_handle == 0) return;
    SetAside keep;
    const int32_t handle = c->stmt_handle;
    if (quick_call(c->lock, [&] { return qc.qcSqlFreeStmt(handle); }) == 0) c->stmt_handle = 0;
}

PyObject* cursor_close(PyObject* self, PyObject*) {
    CursorObject* c = as_cursor(self);
    if (c->stmt_handle == 0) return raise_message("ProgrammingError", "cursor is already closed");
    if (c->results_open == 1) {
        const int32_t open = c->stmt_handle;
        int rc = quick_call(c->lock, [&] { return qc.qcSqlCloseResults(open); });
        if (rc != 0) return raise_formatted("ProgrammingError", "qcSqlCloseResults error %d:", rc);
    }
    Ref results = Ref::borrow(c->results);
    int live = PyObject_IsTrue(results.get());
    if (live < 0) return nullptr;
    // Rows another thread is reading end at that loop's next read, which
    // finds the statement gone: the cursor closes all the same.
    if (live && !(is_records(results.get()) && records_read_elsewhere(results.get()))) {
        Ref done(is_records(results.get()) ? records_close(results.get())
                                           : PyObject_CallMethod(results.get(), "close", nullptr));
        if (!done) return nullptr;
    }
    // Code run above (a server message, the iterator's close) may have
    // closed the cursor already: its statement is gone, nothing is left to do.
    const int32_t handle = c->stmt_handle;
    if (handle == 0) Py_RETURN_NONE;
    // The handle is given up before the call, so a close re-entered from a
    // server message during it cannot free the statement a second time.
    c->stmt_handle = 0;
    int rc = quick_call(c->lock, [&] { return qc.qcSqlFreeStmt(handle); });
    if (rc != 0) {
        c->stmt_handle = handle;
        return raise_formatted("ProgrammingError", "qcSqlFreeStmt error %d:", rc);
    }
    Py_RETURN_NONE;
}

namespace {

// __del__ and __exit__ close through the attribute, so a subclass's close
// is the one that runs.
PyObject* close_if_open(PyObject* self) {
    if (as_cursor(self)->stmt_handle != 0) {
        Ref done(PyObject_CallMethod(self, "close", nullptr));
        if (!done) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* cursor_del(PyObject* self, PyObject*) { return close_if_open(self); }

PyObject* cursor_exit(PyObject* self, PyObject*) { return close_if_open(self); }

PyObject* cursor_enter(PyObject* self, PyObject*) { return new_ref(self); }

PyObject* cursor_get_number_records(PyObject* self, PyObject*) {
    return PyLong_FromLong(as_cursor(self)->row_count);
}

PyObject* cursor_set_start_record(PyObject* self, PyObject* num) {
    int32_t value = 0;
    if (to_int32(num, &value) < 0) return nullptr;
    as_cursor(self)->start_record = value;
    Py_RETURN_NONE;
}

PyObject* refuse_pickling(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

int refuse_delete() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

PyObject* get_arraysize(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(as_cursor(self)->arraysize);
}

int set_arraysize(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete();
    uint32_t size = 0;
    if (to_uint32(value, &size) < 0) return -1;
    as_cursor(self)->arraysize = size;
    return 0;
}

PyObject* get_row_count(PyObject* self, void*) { return PyLong_FromLong(as_cursor(self)->row_count); }

int set_row_count(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete();
    int32_t count = 0;
    if (to_int32(value, &count) < 0) return -1;
    as_cursor(self)->row_count = count;
    return 0;
}

PyObject* get_description(PyObject* self, void*) { return description_of(as_cursor(self)->columns); }

PyGetSetDef cursor_getset[] = {
    {"arraysize", get_arraysize, set_arraysize, nullptr, nullptr},
    {"row_count", get_row_count, set_row_count, nullptr, nullptr},
    {"description", get_description, nullptr, "\n        DB-API Cursor.description\n        ", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef cursor_methods_table[] = {
    {"execute", QX_METHOD_CAST(cursor_execute), METH_VARARGS | METH_KEYWORDS, cursor_execute_doc},
    {"fetchone", cursor_fetchone, METH_NOARGS, cursor_fetchone_doc},
    {"fetchmany", QX_METHOD_CAST(cursor_fetchmany), METH_VARARGS | METH_KEYWORDS, cursor_fetchmany_doc},
    {"fetchall", cursor_fetchall, METH_NOARGS, cursor_fetchall_doc},
    {"next", cursor_next_method, METH_NOARGS, nullptr},
    {"close", cursor_close, METH_NOARGS, "\n        DB-API Cursor.close()\n        "},
    {"__del__", cursor_del, METH_NOARGS, nullptr},
    {"__enter__", cursor_enter, METH_NOARGS, nullptr},
    {"__exit__", cursor_exit, METH_VARARGS, nullptr},
    {"_err_to_user", cursor_err_to_user, METH_NOARGS,
     "\n        Изменение режима расширенной диагностики Qivrex\n"
     "        на отправлять текстовые сообщения\n"
     "        :return:\n        "},
    {"get_number_records", cursor_get_number_records, METH_NOARGS,
     "\n        количество записей в реультате\n"
     "        оператора\n"
     "        :return: int\n        "},
    {"set_start_record", cursor_set_start_record, METH_O,
     "\n        установить начальную запись\n"
     "        для чтения реультата в операторе\n"
     "        :param num: int\n"
     "        :return: None\n        "},
    {"retcode", cursor_retcode, METH_NOARGS, cursor_retcode_doc},
    {"_read_retcode", cursor_read_retcode, METH_O, cursor_read_retcode_doc},
    {"_read_results", QX_METHOD_CAST(cursor_read_results), METH_VARARGS | METH_KEYWORDS, cursor_read_results_doc},
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickling, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject CursorType = [] {
    PyTypeObject t = static_type("pyqivrexdb.qxcore.Cursor", sizeof(CursorObject));
    t.tp_dealloc = cursor_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "\n    DB-API Cursor\n"
        "    Cursor(err_to_user=True)\n"
        "    --Включение расширенной диагностики Qivrex\n"
        "    --отправлять текстовые сообщения\n    ";
    t.tp_traverse = cursor_traverse;
    t.tp_clear = cursor_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = cursor_iternext;
    t.tp_methods = cursor_methods_table;
    t.tp_getset = cursor_getset;
    t.tp_init = cursor_init;
    t.tp_new = cursor_new;
    return t;
}();

}  // namespace qx
