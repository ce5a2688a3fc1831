// The standard face's error for a bad row.
#include "bad_row.h"

#include "../base/pending.h"

namespace qx {

// The standard face's error names the row and the field in its message
// (same class, one argument); its attributes `row`, `field` (None for the
// row as a whole), `value` and `reason` (the message without the row and
// field) say the same for programs.
void name_bad_row(PyObject* row, Py_ssize_t index, PyObject* name, Py_ssize_t j) {
    Ref value(take_pending());
    PyObject* type = value ? reinterpret_cast<PyObject*>(Py_TYPE(value.get())) : nullptr;
    Ref why(value ? PyObject_Str(value.get()) : nullptr);
    Ref text(why && (name || j < 0) ? (j >= 0 ? PyUnicode_FromFormat("row %zd, field %U: %U", index, name, why.get())
                                              : PyUnicode_FromFormat("row %zd: %U", index, why.get()))
                                    : nullptr);
    Ref renamed(text && type ? PyObject_CallFunctionObjArgs(type, text.get(), nullptr) : nullptr);
    if (renamed && PyExceptionInstance_Check(renamed.get())) {
        Ref tb(PyException_GetTraceback(value.get()));
        if (tb) PyException_SetTraceback(renamed.get(), tb.get());
        value = std::move(renamed);
    }
    PyErr_Clear();
    if (value && why) {
        Ref at(PyLong_FromSsize_t(index));
        Ref item(j >= 0 ? PySequence_GetItem(row, j) : nullptr);
        PyErr_Clear();
        PyObject* none = Py_None;
        if (!at || PyObject_SetAttrString(value.get(), "row", at.get()) < 0 ||
            PyObject_SetAttrString(value.get(), "field", j >= 0 && name ? name : none) < 0 ||
            PyObject_SetAttrString(value.get(), "value", item ? item.get() : none) < 0 ||
            PyObject_SetAttrString(value.get(), "reason", why.get()) < 0)
            PyErr_Clear();
    }
    raise_pending(value.release());
}

}  // namespace qx
