#include "loader.h"

#include "platform.h"

namespace qx {

EntryPoints qc;

namespace {
platform::LibHandle g_library = nullptr;
}

int load_library(const char** missing) {
    g_library = platform::open_library();
    if (!g_library) return LOAD_NO_LIBRARY;

    // Resolve into a scratch table first: the live table changes only when the
    // library has every entry point the module calls.
    EntryPoints found;
    const char* absent = nullptr;
#define QX_RESOLVE(name, params)                                              \
    found.name = reinterpret_cast<decltype(found.name)>(                      \
        platform::find_symbol(g_library, #name));                             \
    if (!found.name && !absent) absent = #name;
#define QX_RESOLVE_DROPPED(name) (void)platform::find_symbol(g_library, #name);
    QSCLI_ENTRY_POINTS(QX_RESOLVE, QX_RESOLVE_DROPPED)
#undef QX_RESOLVE
#undef QX_RESOLVE_DROPPED

    if (absent) {
        platform::close_library(g_library);
        g_library = nullptr;
        if (missing) *missing = absent;
        return LOAD_MISSING_ENTRY;
    }
    qc = found;
    return qc.qcSqlInit(0);
}

void free_library() { platform::close_library(g_library); }

}  // namespace qx
