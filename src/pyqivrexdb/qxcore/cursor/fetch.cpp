// fetchone, fetchmany, fetchall and iteration: rows taken from the cursor's
// record iterator. When that is the cursor's own iterator type it is driven
// from C, with exactly the behaviour of calling its __next__.
#include "cursor.h"

#include "../base/common.h"
#include "../client/cp866.h"

namespace qx {

const char* const cursor_fetchone_doc = "\n        DB-API Cursor.fetchone()\n        ";
const char* const cursor_fetchmany_doc =
    "\n        DB-API Cursor.fetchmany()\n"
    "        :param size: int\n"
    "        :return:\n        ";
const char* const cursor_fetchall_doc = "\n        DB-API Cursor.fetchall()\n        ";

namespace {

CursorObject* as_cursor(PyObject* self) { return reinterpret_cast<CursorObject*>(self); }

int common_check(CursorObject* self) {
    if (self->has_results) return 0;
    raise_message("ProgrammingError", "execute() did not produce any result set");
    return -1;
}

// The most rows a fetchmany of an exact int `size` takes: -1 for no bound.
Py_ssize_t exact_limit(PyObject* size) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(size, &overflow);
    if (overflow > 0 || n > PY_SSIZE_T_MAX) return -1;
    if (overflow < 0 || n < 0) return 0;
    return static_cast<Py_ssize_t>(n);
}

}  // namespace

PyObject* cursor_fetchone(PyObject* self_obj, PyObject*) {
    TextScope text(cursor_text_utf8(self_obj));
    CursorObject* self = as_cursor(self_obj);
    if (common_check(self) < 0) return nullptr;
    // Held for the call: a server message during the read may run code that
    // replaces the cursor's iterator.
    Ref results = Ref::borrow(self->results);
    if (is_records(results.get())) {
        PyObject* row = records_next(results.get());
        if (!row && !PyErr_Occurred()) Py_RETURN_NONE;
        return row;
    }
    int live = PyObject_IsTrue(results.get());
    if (live <= 0) return live < 0 ? nullptr : new_ref(Py_None);
    static PyObject* next_name = nullptr;
    if (!interned("__next__", &next_name)) return nullptr;
    PyObject* row = PyObject_CallMethodObjArgs(results.get(), next_name, nullptr);
    if (!row && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return row;
}

PyObject* cursor_fetchmany(PyObject* self_obj, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"size", nullptr};
    PyObject* size_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:fetchmany", const_cast<char**>(kwlist),
                                     &size_arg))
        return nullptr;
    CursorObject* self = as_cursor(self_obj);
    TextScope text(cursor_text_utf8(self_obj));
    if (common_check(self) < 0) return nullptr;
    int given = PyObject_IsTrue(size_arg);
    if (given < 0) return nullptr;
    Ref size = given ? Ref::borrow(size_arg) : Ref(PyLong_FromUnsignedLong(self->arraysize));
    if (!size) return nullptr;

    Ref rows(PyList_New(0));
    if (!rows) return nullptr;
    Ref results = Ref::borrow(self->results);
    const bool exact = PyLong_CheckExact(size.get());
    const Py_ssize_t limit = exact ? exact_limit(size.get()) : 0;
    if (exact && limit == 0) return rows.release();
    if (exact && is_records(results.get()))
        return records_take(results.get(), rows.get(), limit) < 0 ? nullptr : rows.release();

    // Any other size is compared with Python's < before each row is pulled.
    Ref it;
    for (Py_ssize_t taken = 0;; ++taken) {
        if (exact) {
            if (limit >= 0 && taken >= limit) break;
        } else {
            Ref count(PyLong_FromSsize_t(taken));
            if (!count) return nullptr;
            int less = PyObject_RichCompareBool(count.get(), size.get(), Py_LT);
            if (less < 0) return nullptr;
            if (!less) break;
        }
        // A statement without a result set has no rows to give.
        if (results.get() == Py_None) break;
        Ref row;
        if (is_records(results.get())) {
            row.reset(records_next(results.get()));
        } else {
            if (!it) {
                it.reset(PyObject_GetIter(results.get()));
                if (!it) return nullptr;
            }
            row.reset(PyIter_Next(it.get()));
        }
        if (!row) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        if (PyList_Append(rows.get(), row.get()) < 0) return nullptr;
    }
    return rows.release();
}

PyObject* cursor_fetchall(PyObject* self_obj, PyObject*) {
    TextScope text(cursor_text_utf8(self_obj));
    CursorObject* self = as_cursor(self_obj);
    if (common_check(self) < 0) return nullptr;
    Ref results = Ref::borrow(self->results);
    // A statement without a result set has no rows to give.
    if (results.get() == Py_None) return PyList_New(0);
    if (!is_records(results.get())) return PySequence_List(results.get());
    Ref rows(PyList_New(0));
    if (!rows || records_take(results.get(), rows.get(), -1) < 0) return nullptr;
    return rows.release();
}

// __next__: the next row by the cursor's fetchone (a subclass's own, when it
// has one); a false row ends the iteration like the end of the data.
PyObject* cursor_iternext(PyObject* self) {
    Ref row;
    if (Py_TYPE(self) == &CursorType) {
        row.reset(cursor_fetchone(self, nullptr));
    } else {
        static PyObject* fetchone_name = nullptr;
        if (!interned("fetchone", &fetchone_name)) return nullptr;
        row.reset(PyObject_CallMethodObjArgs(self, fetchone_name, nullptr));
    }
    if (!row) return nullptr;
    int truth = PyObject_IsTrue(row.get());
    if (truth <= 0) return nullptr;
    return row.release();
}

PyObject* cursor_next_method(PyObject* self, PyObject*) {
    if (Py_TYPE(self) == &CursorType) {
        PyObject* row = cursor_iternext(self);
        if (!row && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return row;
    }
    static PyObject* next_name = nullptr;
    if (!interned("__next__", &next_name)) return nullptr;
    return PyObject_CallMethodObjArgs(self, next_name, nullptr);
}

}  // namespace qx
