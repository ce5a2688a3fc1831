// The process-wide entry-point table of the client library and its loader.
// No Python here: the loader returns a result code and the module turns it
// into an exception.
#pragma once

#include "qscli.h"

#include <string>

namespace qx {

// What every slot answers while no load of the library is held: calls made
// before initlibrary() or after the last freelibrary() fail with this code at
// their call site instead of jumping through a null or unmapped address.
constexpr int LIBRARY_NOT_LOADED = -3001;

template <class F, int CODE>
struct Answer;
template <class... Args, int CODE>
struct Answer<int(QSCLI_CALL*)(Args...), CODE> {
    static int QSCLI_CALL call(Args...) { return CODE; }
};

// One slot per entry point the module calls, filled by load_library(). An
// optional entry point the library lacks answers QSCLI_E_UNSUPPORTED.
struct EntryPoints {
#define QX_SLOT(name, params) \
    int(QSCLI_CALL* name) params = &Answer<int(QSCLI_CALL*) params, LIBRARY_NOT_LOADED>::call;
#define QX_OPTIONAL_SLOT(name, params) \
    int(QSCLI_CALL* name) params = &Answer<int(QSCLI_CALL*) params, QSCLI_E_UNSUPPORTED>::call;
#define QX_NO_SLOT(name)
    QSCLI_ENTRY_POINTS(QX_SLOT, QX_NO_SLOT)
    QSCLI_OPTIONAL_ENTRY_POINTS(QX_OPTIONAL_SLOT)
#undef QX_SLOT
#undef QX_OPTIONAL_SLOT
#undef QX_NO_SLOT
};

// `qc`: the client library's entry points (every export is named qcSql*),
// the one table every subsystem calls through: qc.qcSqlExecDirect(...).
extern EntryPoints qc;

// What load_library() found.
struct LoadResult {
    enum Outcome {
        OK,             // loaded, qcSqlInit(0) returned 0
        NO_LIBRARY,     // the library file could not be loaded: `reason`
        MISSING_ENTRY,  // a kept entry point is not exported: `missing`
        INIT_FAILED,    // qcSqlInit(0) returned `code`
    } outcome = OK;
    int code = 0;
    const char* missing = nullptr;
    std::string reason;  // the platform loader's own words
};

// Loads the library once more, resolves every entry point and calls
// qcSqlInit(0). A library without one of the kept entry points is released
// again and the table keeps what it held, so no call is ever made through a
// null slot. qcSqlInit's own code is kept apart from the load failures, so
// no code it returns can pass for a missing library.
LoadResult load_library();

// Drops one load of the library; does nothing once every load is dropped.
// With the last load the table goes back to the unloaded answers.
void free_library();

// True while the table holds a loaded library's entry points.
bool library_loaded();

// Whether the library has qcSqlCancel.
inline bool has_cancel() { return qc.qcSqlCancel != EntryPoints().qcSqlCancel; }

}  // namespace qx
