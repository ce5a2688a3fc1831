// Module start-up: the module object, its namespace and what is bound in it.
#include "../base/common.h"

#include "../client/calls.h"

#include "../client/qscli.h"
#include "../base/parts.h"

#include <cstdarg>
#include <cstring>
#include <unordered_map>
#include <cstdio>

namespace qx {

namespace {

PyObject* g_module = nullptr;  // strong reference, kept until exit

// The dicts of the modules watched besides the namespace (strong, kept until
// exit); few, as only the modules values are derived from are watched.
constexpr int kWatchedMax = 8;
PyObject* g_watched[kWatchedMax] = {};
int g_watched_count = 0;

#if PY_VERSION_HEX >= 0x030C0000
// Python 3.12 retired the dict version tag; a dict watcher tells us instead.
uint64_t g_namespace_version = 1;
int g_watcher_id = -1;  // -1: none could be had, nothing is kept

int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++g_namespace_version;
    return 0;
}
#endif

}  // namespace

PyObject* module() { return g_module; }

PyObject* module_dict() { return PyModule_GetDict(g_module); }

uint64_t namespace_version() {
#if PY_VERSION_HEX >= 0x030C0000
    return g_watcher_id >= 0 ? g_namespace_version : ++g_namespace_version;
#else
    // Every change of any dict takes the next value of one counter, so the
    // largest tag among the watched dicts moves whenever one of them changes.
    uint64_t v = reinterpret_cast<PyDictObject*>(module_dict())->ma_version_tag;
    for (int i = 0; i < g_watched_count; ++i) {
        const uint64_t w = reinterpret_cast<PyDictObject*>(g_watched[i])->ma_version_tag;
        if (w > v) v = w;
    }
    return v;
#endif
}

int watch_module(PyObject* module) {
    if (!PyModule_Check(module)) return 0;
    PyObject* dict = PyModule_GetDict(module);
    if (!dict) return 0;
    for (int i = 0; i < g_watched_count; ++i)
        if (g_watched[i] == dict) return 1;
    if (g_watched_count == kWatchedMax) return 0;
#if PY_VERSION_HEX >= 0x030C0000
    if (g_watcher_id < 0) return 0;
    if (PyDict_Watch(g_watcher_id, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
#endif
    g_watched[g_watched_count++] = new_ref(dict);
    return 1;
}

namespace {

// `import NAME`, preferring a module of that name inside the package.
int bind_module(PyObject* dict, const char* name) {
    Ref package_local(PyUnicode_FromFormat("pyqivrexdb.%s", name));
    if (!package_local) return -1;
    Ref mod(PyImport_Import(package_local.get()));
    if (!mod) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        mod.reset(PyImport_ImportModule(name));
        if (!mod) return -1;
    }
    return PyDict_SetItemString(dict, name, mod.get());
}

// `from .errors import *`
int bind_errors(PyObject* dict) {
    Ref errors(PyImport_ImportModule("pyqivrexdb.errors"));
    if (!errors) return -1;
    PyObject* errors_dict = PyModule_GetDict(errors.get());
    Ref names(PyObject_GetAttrString(errors.get(), "__all__"));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        names.reset(PyDict_Keys(errors_dict));
        if (!names) return -1;
    }
    Ref it(PyObject_GetIter(names.get()));
    if (!it) return -1;
    const bool listed = PyObject_HasAttrString(errors.get(), "__all__");
    while (Ref name{PyIter_Next(it.get())}) {
        if (!listed) {
            if (!PyUnicode_Check(name.get()) || PyUnicode_GET_LENGTH(name.get()) == 0) continue;
            if (PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
        }
        Ref value(PyObject_GetAttr(errors.get(), name.get()));
        if (!value || PyDict_SetItem(dict, name.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// `from pyqivrexdb import DEBUG, HEAPCTRL`
int bind_settings(PyObject* dict) {
    Ref package(PyImport_ImportModule("pyqivrexdb.pyqivrexdb"));
    if (!package) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        package.reset(PyImport_ImportModule("pyqivrexdb"));
        if (!package) return -1;
    }
    for (const char* name : {"DEBUG", "HEAPCTRL"}) {
        Ref value(PyObject_GetAttrString(package.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'pyqivrexdb'", name);
            return -1;
        }
        if (PyDict_SetItemString(dict, name, value.get()) < 0) return -1;
    }
    return 0;
}

int bind_logger(PyObject* dict) {
    PyObject* logging = PyDict_GetItemString(dict, "logging");
    Ref log(PyObject_CallMethod(logging, "getLogger", "s", "pyqivrexdb.qxcore"));
    if (!log) return -1;
    Ref level(PyObject_GetAttrString(logging, "DEBUG"));
    if (!level) return -1;
    Ref done(PyObject_CallMethod(log.get(), "setLevel", "O", level.get()));
    if (!done) return -1;
    return PyDict_SetItemString(dict, "log", log.get());
}

int bind_type_codes(PyObject* dict) {
#define QX_CODE_NAME(name, code, width, low, high) "QSCLI_ET_" #name,
    static const char* const names[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QX_CODE_NAME)};
#undef QX_CODE_NAME
    for (int code = 0; code < QSCLI_ET_COUNT; ++code) {
        Ref value(PyLong_FromLong(code));
        if (!value || PyDict_SetItemString(dict, names[code], value.get()) < 0) return -1;
    }
    return 0;
}

int bind_function(PyObject* dict, PyMethodDef* def) {
    Ref name(PyUnicode_FromString("pyqivrexdb.qxcore"));
    Ref fn(PyCFunction_NewEx(def, g_module, name.get()));
    if (!fn) return -1;
    return PyDict_SetItemString(dict, def->ml_name, fn.get());
}

int bind_type(PyObject* dict, PyTypeObject* type, const char* name) {
    if (PyType_Ready(type) < 0) return -1;
    return PyDict_SetItemString(dict, name, reinterpret_cast<PyObject*>(type));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pyqivrexdb.qxcore", nullptr, -1, nullptr,
    nullptr, nullptr, nullptr, nullptr};

// The import steps, in their order; the first failure ends the import.
int start_up() {
    PyObject* dict = module_dict();
    {
        Ref datetime(PyImport_ImportModule("datetime"));
        Ref date(datetime ? PyObject_GetAttrString(datetime.get(), "date") : nullptr);
        if (!date) return -1;
    }
    if (bind_type(dict, &ConnectionType, "Connection") < 0) return -1;
    if (bind_type(dict, &FieldType, "Field") < 0) return -1;
    if (bind_type(dict, &CursorType, "Cursor") < 0) return -1;
    install_cursor_finalizer();
    for (const char* name : {"logging", "binascii", "datetime", "collections"})
        if (bind_module(dict, name) < 0) return -1;
    if (bind_errors(dict) < 0) return -1;
    if (bind_settings(dict) < 0) return -1;
    if (bind_logger(dict) < 0) return -1;
    if (bind_type_codes(dict) < 0) return -1;
    if (PyDict_SetItemString(dict, "INITIAL", Py_False) < 0) return -1;
    if (PyDict_SetItemString(dict, "SCALLBACK", Py_None) < 0) return -1;
    if (PyDict_SetItemString(dict, "USCALLBACK", Py_None) < 0) return -1;
    for (PyMethodDef* def : {&srvusersendlog_def, &srvsendlog_def, &initlibrary_def, &freelibrary_def})
        if (bind_function(dict, def) < 0) return -1;
    if (datetime_import() < 0) return -1;
    for (PyMethodDef* def : {&pydate2qxdate_def, &connect_def})
        if (bind_function(dict, def) < 0) return -1;
    if (register_standard_module() < 0) return -1;
#if PY_VERSION_HEX >= 0x030C0000
    // The interpreter has few watchers; when others have taken them all, the
    // names are looked up at every use instead.
    g_watcher_id = PyDict_AddWatcher(on_namespace_event);
    if (g_watcher_id < 0) {
        PyErr_Clear();
    } else if (PyDict_Watch(g_watcher_id, dict) < 0) {
        return -1;
    }
#endif
    return 0;
}

}  // namespace

}  // namespace qx

PyMODINIT_FUNC PyInit_qxcore(void) {
    if (qx::g_module) {  // a second interpreter import: the state is process-wide
        Py_INCREF(qx::g_module);
        return qx::g_module;
    }
    qx::Ref mod(PyModule_Create(&qx::module_def));
    if (!mod) return nullptr;
    qx::g_module = mod.get();
    if (qx::start_up() < 0) {
        qx::g_module = nullptr;
        return nullptr;
    }
    Py_INCREF(qx::g_module);  // the module lives until exit
    return mod.release();
}
