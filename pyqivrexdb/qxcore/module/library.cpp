// initlibrary() and freelibrary(): the Python face of the loader.
#include "../client/calls.h"
#include "../client/loader.h"
#include "module.h"
#include "parts.h"

namespace qx {

namespace {

PyObject* initlibrary(PyObject*, PyObject*) {
    // INITIAL is read from the namespace mapping itself: a program that
    // deleted it gets KeyError, not NameError.
    static PyObject* key_cache = nullptr;
    PyObject* key = interned("INITIAL", &key_cache);
    if (!key) return nullptr;
    PyObject* initial = PyDict_GetItemWithError(module_dict(), key);
    if (!initial) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "INITIAL");
        return nullptr;
    }
    int already = PyObject_IsTrue(initial);
    if (already < 0) return nullptr;
    if (already) Py_RETURN_NONE;

    // qcSqlInit is a call like any other: not beside one on another thread
    // unless the library allows it.
    LoadResult loaded;
    quick_call(HeldLock(0).get(), [&] {
        loaded = load_library();
        if (loaded.outcome == LoadResult::OK) read_concurrency();
        return 0;
    });
    switch (loaded.outcome) {
        case LoadResult::OK:
            break;
        case LoadResult::NO_LIBRARY:
            return raise_message("InterfaceError", "qcSqlInit error qscli.dll");
        case LoadResult::MISSING_ENTRY: {
            Ref text(PyUnicode_FromFormat("qcSqlInit error qscli.dll: no entry point %s",
                                          loaded.missing));
            return text ? raise_object("InterfaceError", text.get()) : nullptr;
        }
        case LoadResult::INIT_FAILED:
            return raise_code("InterfaceError", "qcSqlInit error %d:", loaded.code);
    }
    Py_RETURN_NONE;
}

PyObject* freelibrary(PyObject*, PyObject*) {
    free_library();
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef initlibrary_def = {"initlibrary", initlibrary, METH_NOARGS,
                               "\n    initial qscli.dll\n    :return:\n    "};
PyMethodDef freelibrary_def = {"freelibrary", freelibrary, METH_NOARGS,
                               "\n    free qscli.dll\n    :return:\n    "};

}  // namespace qx
