// The standard face's cursor: the core's Cursor with bound parameters,
// tuples, NULLs and errors by cause. pyqivrexdb.dbapi.Cursor derives from it.
#pragma once

#include "cursor.h"

namespace qx {

struct StandardCursorObject {
    CursorObject base;
    int null_flags;        // the QSCLI_ATTR_NULL_FLAGS setting the statement accepted (0: none)
    long long rowcount;    // changed rows, records of a result, or -1
    long long lastrowid;   // the last inserted row's id
    int has_lastrowid;     // 0: lastrowid reads None
};

extern PyTypeObject StandardCursorType;

}  // namespace qx
