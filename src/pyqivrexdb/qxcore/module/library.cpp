// initlibrary() and freelibrary(): the Python face of the loader.
#include "../client/calls.h"
#include "../client/loader.h"
#include "../client/platform.h"
#include "../base/common.h"
#include "../base/parts.h"
#include "../base/pending.h"

namespace qx {

namespace {

// The designed message stays the exception's arguments; the file looked for
// and the platform loader's reason go in a note (__notes__ before 3.11,
// where add_note does not exist) and in the DEBUG log.
std::nullptr_t raise_unloadable(const std::string& reason) {
    Ref why(PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
    Ref note(why ? PyUnicode_FromFormat("searched for %s: %U", platform::library_name(), why.get())
                 : nullptr);
    if (!note || debug_log("%U", note.get()) < 0) return nullptr;
    raise_message("InterfaceError", "qcSqlInit error qscli.dll");
    PyObject* value = take_pending();
    if (value) {
        int ok;
        if (PyObject_HasAttrString(value, "add_note")) {
            Ref done(PyObject_CallMethod(value, "add_note", "O", note.get()));
            ok = done ? 0 : -1;
        } else {
            Ref notes(Py_BuildValue("[O]", note.get()));
            ok = notes ? PyObject_SetAttrString(value, "__notes__", notes.get()) : -1;
        }
        if (ok < 0) PyErr_Clear();  // the note is lost, not the error
    }
    raise_pending(value);
    return nullptr;
}

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
            return raise_unloadable(loaded.reason);
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
