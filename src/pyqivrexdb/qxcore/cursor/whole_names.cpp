// A result column's whole name for the standard face: the column record
// holds 31 bytes of it, so a name that fills that room is asked for whole
// (QSCLI_STMT_COL_NAMES); shorter names cost nothing. Without the capability
// the record's name stays.
#include "standard_cursor.h"

#include "../client/calls.h"
#include "../client/loader.h"
#include "../values/field.h"

#include <string>

namespace qx {

namespace {

// The bytes of the name the record gives (asname, else fname); -1 when
// the Field holds no bytes there.
Py_ssize_t record_name_bytes(PyObject* field) {
    PyObject* const* slot = reinterpret_cast<FieldObject*>(field)->slot;
    for (FieldSlot which : {F_ASNAME, F_FNAME}) {
        PyObject* raw = slot[which];
        if (!raw || !PyBytes_CheckExact(raw)) return -1;
        if (PyBytes_GET_SIZE(raw)) return PyBytes_GET_SIZE(raw);
    }
    return 0;
}

// Whether a name of `n` bytes may have been cut: the cut stops at 31 bytes,
// or up to three before them so as not to split a UTF-8 character.
bool fills_record(Py_ssize_t n) { return n >= 31 - 3; }

// The whole names, each ended by a NUL; empty when the library refuses.
std::string read_whole_names(CursorObject* c) {
    const int32_t hstmt = c->stmt_handle;
    std::string names(4096, '\0');
    for (int tries = 0; tries < 2; ++tries) {
        unsigned int length = 0;
        char* into = &names[0];
        const unsigned int size = static_cast<unsigned int>(names.size());
        const int rc = quick_call(c->lock, [&] {
            return qc.qcSqlGetStmtAttr(hstmt, QSCLI_STMT_COL_NAMES, 0, into, size, &length);
        });
        if (rc == 0 && length <= size) return names.substr(0, length);
        if (rc != QSCLI_E_ARGUMENT || length <= size) break;
        names.assign(length, '\0');
    }
    return std::string();
}

}  // namespace

int complete_names(CursorObject* c) {
    PyObject* columns = c->columns;
    if (!columns || !PyList_Check(columns)) return 0;
    const Py_ssize_t n = PyList_GET_SIZE(columns);
    bool any = false;
    for (Py_ssize_t i = 0; i < n && !any; ++i) {
        PyObject* field = PyList_GET_ITEM(columns, i);
        any = is_field(field) && fills_record(record_name_bytes(field));
    }
    if (!any) return 0;
    const std::string names = read_whole_names(c);
    size_t at = 0;
    for (Py_ssize_t i = 0; i < n && at < names.size(); ++i) {
        const size_t end = names.find('\0', at);
        if (end == std::string::npos) break;
        PyObject* field = PyList_GET_ITEM(columns, i);
        const Py_ssize_t cut = is_field(field) ? record_name_bytes(field) : -1;
        if (fills_record(cut) && end - at > static_cast<size_t>(cut)) {
            // The whole name takes the second name's place, which the name reads first.
            PyObject* whole = PyBytes_FromStringAndSize(names.data() + at, static_cast<Py_ssize_t>(end - at));
            if (!whole) return -1;
            replace_field(reinterpret_cast<FieldObject*>(field)->slot[F_ASNAME], whole);
        }
        at = end + 1;
    }
    return 0;
}

}  // namespace qx
