// The process-wide entry-point table of the client library and its loader.
// No Python here: the loader returns a result code and the module turns it
// into an exception.
#pragma once

#include "qscli.h"

namespace qx {

// One slot per entry point the module calls, filled by load_library().
struct EntryPoints {
#define QX_SLOT(name, params) int(QSCLI_CALL* name) params = nullptr;
#define QX_NO_SLOT(name)
    QSCLI_ENTRY_POINTS(QX_SLOT, QX_NO_SLOT)
#undef QX_SLOT
#undef QX_NO_SLOT
};

// The table every subsystem calls through: qc.qcSqlExecDirect(...).
extern EntryPoints qc;

// Result codes of load_library() besides qcSqlInit's own.
constexpr int LOAD_NO_LIBRARY = 3001;   // the library file could not be loaded
constexpr int LOAD_MISSING_ENTRY = -3002;  // a kept entry point is not exported

// Loads the library once more, resolves every entry point and calls
// qcSqlInit(0). Returns 0, LOAD_NO_LIBRARY, LOAD_MISSING_ENTRY (with the
// entry point's name in *missing) or qcSqlInit's non-zero result. A library
// without one of the kept entry points is released again and the table keeps
// what it held, so no call is ever made through a null slot.
int load_library(const char** missing);

// Drops one load of the library. The table and the handle are kept.
void free_library();

}  // namespace qx
