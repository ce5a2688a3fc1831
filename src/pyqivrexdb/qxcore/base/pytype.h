// Types and method tables, spelled one way in every file that defines them.
#pragma once

#include "ref.h"

namespace qx {

// A method function of any calling convention as the PyCFunction that a
// PyMethodDef holds; its METH_* flags tell Python how to call it.
#define QX_METHOD_CAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// A static type with its name and instance size and every other slot empty:
// the defining file fills in its own slots, PyType_Ready the rest. Written
// `PyTypeObject XType = [] { PyTypeObject t = static_type(...); ...; return t; }();`
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize) {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0) name, basicsize};
    return t;
}

}  // namespace qx
