// The calls of the C API that Python 3.8 and 3.9 lack, in the newer versions' own
// names, so the sources read the same on every version the package supports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03090000
// 3.8's PyMODINIT_FUNC leaves the visibility to the build, which hides
// everything: the interpreter could not find PyInit_qxcore.
#if !defined(_WIN32)
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif
inline PyObject* PyObject_CallNoArgs(PyObject* callable) { return PyObject_CallObject(callable, nullptr); }
inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* arg) {
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
}
#endif

#if PY_VERSION_HEX < 0x030A0000
// Before 3.10 the C API cannot pause the collector: it is reported as
// already off, so nobody turns it on again. A pause only saves time.
inline int PyGC_Disable() { return 0; }
inline int PyGC_Enable() { return 0; }
#endif
