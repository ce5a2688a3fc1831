// The exception on its way out, set aside while other work runs and raised
// again after: the one place that knows how each Python version keeps it.
#pragma once

#include "ref.h"

namespace qx {

// The exception being raised, taken out of the error indicator: normalised
// and carrying its traceback. A new reference, or null when none is set.
inline PyObject* take_pending() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Raises `exc` (stolen) again as it was taken; null clears the indicator.
inline void raise_pending(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return PyErr_Clear();
    PyErr_Restore(new_ref(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// Keeps the pending exception aside for its lifetime (a client call, or
// Python code a server message starts, runs meanwhile) and puts it back when
// it ends, in place of whatever that work left in the indicator.
class SetAside {
public:
    SetAside() : pending_(take_pending()) {}
    ~SetAside() { raise_pending(pending_.release()); }
    SetAside(const SetAside&) = delete;
    SetAside& operator=(const SetAside&) = delete;
    // The exception set aside (borrowed), or null.
    PyObject* get() const { return pending_.get(); }

private:
    Ref pending_;
};

}  // namespace qx
