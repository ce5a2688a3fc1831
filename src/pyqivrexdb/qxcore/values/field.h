// Field: one result column (or one table field for bulk loading).
#pragma once

#include "../client/qscli.h"
#include "../base/ref.h"

#include <cstdint>

namespace qx {

// The eleven slots, in the order of the column record.
enum FieldSlot {
    F_ALIASNO, F_FIELDNO, F_TYPE, F_LEN, F_OFF, F_CODER, F_FNAME, F_FUNC,
    F_ASNAME, F_KEY, F_RESNO, F_COUNT
};

struct FieldObject {
    PyObject_HEAD
    PyObject* slot[F_COUNT];  // owned; None when unset
};

extern PyTypeObject FieldType;

// Bumped by every write to any Field attribute: a cached ColumnLayout built from
// Fields is current only while this has not moved.
extern uint64_t field_version;

inline bool is_field(PyObject* obj) { return PyObject_TypeCheck(obj, &FieldType); }

// A new Field filled from a 128-byte column record.
PyObject* field_from_colstruct(const ColStruct_t* rec);

// Cursor.description for a list of Fields (None when the list is false).
PyObject* description_of(PyObject* columns);

}  // namespace qx
