// libFuzzer harness that runs one target of fuzz_targets.py in an embedded
// interpreter. The extension module and the test double it loads are built
// with coverage instrumentation, so the fuzzer is guided by the driver's own
// branches; AddressSanitizer and UBSan report memory errors.
//
// The target is named by QX_FUZZ_TARGET (records, retval, bulk, messages).
// A Python exception that escapes the target is a finding: it is printed and
// the process aborts, so libFuzzer saves the input.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
PyObject* g_run = nullptr;
PyObject* g_name = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* target = std::getenv("QX_FUZZ_TARGET");
    if (!target) {
        std::fprintf(stderr, "QX_FUZZ_TARGET is not set\n");
        std::abort();
    }
    Py_InitializeEx(0);
    PyObject* module = PyImport_ImportModule("fuzz_targets");
    if (!module) {
        PyErr_Print();
        std::abort();
    }
    g_run = PyObject_GetAttrString(module, "run");
    g_name = PyUnicode_FromString(target);
    PyObject* setup = PyObject_CallMethod(module, "setup", nullptr);
    if (!g_run || !g_name || !setup) {
        PyErr_Print();
        std::abort();
    }
    Py_DECREF(setup);
    Py_DECREF(module);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (!bytes) std::abort();
    PyObject* done = PyObject_CallFunctionObjArgs(g_run, g_name, bytes, nullptr);
    Py_DECREF(bytes);
    if (!done) {
        PyErr_Print();
        std::fflush(stderr);
        std::abort();
    }
    Py_DECREF(done);
    return 0;
}
