// The record iterator of Cursor._read_results: reads whole records a buffer
// at a time from the cursor's start_record and cuts them into rows. It
// behaves as a generator (send, throw, close) suspended after each row.
#include "record_iterator.h"

namespace qx {

const char* const cursor_read_results_doc = nullptr;

namespace {

PyObject* records_send(PyObject* self, PyObject* value) {
    RecordsObject* r = as_records(self);
    if (!r->running && r->state == RecordsObject::FRESH && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* row = records_next(self);
    if (!row && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return row;
}

// throw(type[, value[, traceback]]): the exception ends the iteration where
// it stands and reaches the caller, as in a generator without handlers.
PyObject* records_throw(PyObject* self, PyObject* args) {
    RecordsObject* r = as_records(self);
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb)) return nullptr;
    if (r->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exc_type, exc_value, exc_tb;
    if (PyExceptionClass_Check(type)) {
        PyObject* t = new_ref(type);
        PyObject* v = value ? new_ref(value) : nullptr;
        PyObject* b = tb ? new_ref(tb) : nullptr;
        PyErr_NormalizeException(&t, &v, &b);
        exc_type.reset(t);
        exc_value.reset(v);
        exc_tb.reset(b);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc_value = Ref::borrow(type);
        exc_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type)));
        exc_tb = tb ? Ref::borrow(tb) : Ref(PyException_GetTraceback(type));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    const bool live = r->state != RecordsObject::FINISHED;
    finish(r);
    if (live && exc_value && PyErr_GivenExceptionMatches(exc_type.get(), PyExc_StopIteration)) {
        // A StopIteration leaving a live generator becomes a RuntimeError.
        if (exc_tb) PyException_SetTraceback(exc_value.get(), exc_tb.get());
        Ref error(PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration"));
        if (!error) return nullptr;
        PyException_SetCause(error.get(), new_ref(exc_value.get()));
        PyException_SetContext(error.get(), exc_value.release());
        PyErr_SetObject(PyExc_RuntimeError, error.get());
        return nullptr;
    }
    PyErr_Restore(exc_type.release(), exc_value.release(), exc_tb.release());
    return nullptr;
}

PyObject* records_iternext(PyObject* self) { return records_next(self); }

int records_traverse(PyObject* self, visitproc visit, void* arg) {
    RecordsObject* r = as_records(self);
    Py_VISIT(reinterpret_cast<PyObject*>(r->cursor));
    Py_VISIT(r->layout_columns);
    Py_VISIT(r->json_loads);
    Py_VISIT(r->zone);
    return row_maker_traverse(&r->rows, visit, arg);
}

int records_clear(PyObject* self) {
    finish(as_records(self));
    return 0;
}

void records_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    RecordsObject* r = as_records(self);
    finish(r);
    Py_CLEAR(r->failed);
    r->layout.~ColumnLayout();
    r->buffer.~MemBlock();
    r->rows.~RowMaker();
    using ServerTypes = std::vector<values::ServerType>;
    r->server_types.~ServerTypes();
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef records_methods[] = {
    {"send", records_send, METH_O, nullptr},
    {"throw", records_throw, METH_VARARGS, nullptr},
    {"close", records_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyTypeObject RecordsType = [] {
    PyTypeObject t = static_type("pyqivrexdb.qxcore._Records", sizeof(RecordsObject));
    t.tp_dealloc = records_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = records_traverse;
    t.tp_clear = records_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = records_iternext;
    t.tp_methods = records_methods;
    return t;
}();

bool records_read_elsewhere(PyObject* records) {
    const RecordsObject* r = as_records(records);
    return r->running && r->runner != PyThread_get_thread_ident();
}

PyObject* records_close(PyObject* self, PyObject*) {
    RecordsObject* r = as_records(self);
    if (r->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    finish(r);
    Py_RETURN_NONE;
}

PyObject* cursor_read_results(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"buffer_size", "rec_size", nullptr};
    TextScope text(cursor_text_utf8(self));
    PyObject* buffer_size_obj = nullptr;
    PyObject* rec_size_obj = nullptr;
    // execute passes the two by position.
    if (!kwds && PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 2) {
        buffer_size_obj = PyTuple_GET_ITEM(args, 0);
        rec_size_obj = PyTuple_GET_ITEM(args, 1);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:_read_results", const_cast<char**>(kwlist),
                                            &buffer_size_obj, &rec_size_obj)) {
        return nullptr;
    }
    uint32_t buffer_size = 0, rec_size = 0;
    if (to_uint32(buffer_size_obj, &buffer_size) < 0 || to_uint32(rec_size_obj, &rec_size) < 0)
        return nullptr;
    return records_new(self, buffer_size, rec_size, values::Face::Core, 0);
}

namespace {

// The cursor's spare iterator when nobody else took hold of it since, else
// null (a spare held elsewhere is let go).
PyObject* take_spare(CursorObject* c) {
    PyObject* spare = c->spare_results;
    if (!spare) return nullptr;
    c->spare_results = nullptr;
    if (Py_REFCNT(spare) == 1 && as_records(spare)->state == RecordsObject::FINISHED) return spare;
    Py_DECREF(spare);
    return nullptr;
}

}  // namespace

void records_let_go(CursorObject* c, PyObject* old) {
    if (is_records(old) && Py_REFCNT(old) == 1 && !c->spare_results && !as_records(old)->running) {
        // Finishing lets go of what it held, which may run Python code.
        finish(as_records(old));
        if (Py_REFCNT(old) == 1 && !c->spare_results) {
            c->spare_results = old;
            return;
        }
    }
    Py_DECREF(old);
}

const std::vector<values::ServerType>* records_server_types(PyObject* records) {
    return &reinterpret_cast<RecordsObject*>(records)->server_types;
}

PyObject* records_new(PyObject* self, uint32_t buffer_size, uint32_t rec_size, values::Face face,
                      uint32_t flag_bytes, bool arra_lengths, PyObject* converters,
                      std::vector<values::ServerType> server_types, PyObject* zone) {
    if (!(RecordsType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&RecordsType) < 0) return nullptr;
    PyObject* obj = take_spare(reinterpret_cast<CursorObject*>(self));
    RecordsObject* r = as_records(obj);
    if (obj) {
        // Finished: it holds no reference but its failure, and its layout's
        // room serves the new result.
        Py_CLEAR(r->failed);
        r->server_types = std::move(server_types);
    } else {
        if (!(obj = RecordsType.tp_alloc(&RecordsType, 0))) return nullptr;
        r = as_records(obj);
        new (&r->buffer) MemBlock();
        new (&r->layout) values::ColumnLayout();
        r->layout_stamp = 0;
        new (&r->rows) RowMaker();
        new (&r->server_types) std::vector<values::ServerType>(std::move(server_types));
    }
    r->rows.converters = converters ? new_ref(converters) : nullptr;
    r->plain_values = true;
    r->json_loads = nullptr;
    r->zone = zone ? new_ref(zone) : nullptr;
    r->zoned = false;
    for (const auto& t : r->server_types) r->zoned = r->zoned || values::zoned_type(t.oid);
    r->cursor = reinterpret_cast<CursorObject*>(new_ref(self));
    r->buffer_size = buffer_size;
    r->rec_size = rec_size;
    r->state = RecordsObject::FRESH;
    r->running = false;
    r->capacity = r->pos = r->left = 0;
    r->layout_columns = nullptr;
    r->face = face;
    r->flag_bytes = flag_bytes;
    r->arra_lengths = arra_lengths;
    r->trailer = flag_bytes;
    r->failed = nullptr;
    r->text_utf8 = text_utf8();  // made by its execute, in the cursor's encoding
    // A streamed result tells its count only at its end.
    r->streamed = face == values::Face::Standard && r->cursor->row_count < 0;
    return obj;
}

}  // namespace qx
