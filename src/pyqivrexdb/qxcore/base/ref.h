// Owning reference to a Python object.
//
// Every new reference the extension obtains goes into a Ref straight away; a
// function hands ownership over with release() only at the point where it
// returns the object or stores it in a struct field. Error paths then need no
// bookkeeping.
#pragma once

#include "compat.h"

#include <utility>

namespace qx {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // A new owning reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Gives the reference away; the caller now owns it.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Replaces an owned struct field with a new value (stolen), dropping the old
// one only after the field is consistent again: the old object's destructor
// may run arbitrary Python code that looks at the field.
inline void replace_field(PyObject*& field, PyObject* owned) noexcept {
    PyObject* old = field;
    field = owned;
    Py_XDECREF(old);
}

// A new reference to `obj` (never null), for handing a borrowed object on.
inline PyObject* new_ref(PyObject* obj) noexcept {
    Py_INCREF(obj);
    return obj;
}

// A name interned once per call site and kept until exit:
// `static PyObject* n; interned("x", &n)`. Null with an exception set.
inline PyObject* interned(const char* name, PyObject** cache) {
    if (!*cache) *cache = PyUnicode_InternFromString(name);
    return *cache;
}

}  // namespace qx
