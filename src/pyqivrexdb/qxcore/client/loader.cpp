#include "loader.h"

#include "platform.h"

#include <cstring>

namespace qx {

EntryPoints qc;

namespace {
platform::LibHandle g_library = nullptr;
// Loads obtained and not yet dropped. freelibrary() called more often than
// the library was loaded must not hand the platform a handle that no longer
// names a loaded library: on Windows the address may belong to another DLL by
// then, and dlclose() of a stale handle reads freed memory.
int g_loads = 0;
}

LoadResult load_library() {
    LoadResult result;
    g_library = platform::open_library();
    if (!g_library) {
        result.outcome = LoadResult::NO_LIBRARY;
        result.reason = platform::load_error();
        return result;
    }
    ++g_loads;

    // Resolve into a scratch table first: the live table changes only when the
    // library has every entry point the module calls.
    EntryPoints found;
    const char* absent = nullptr;
#define QX_RESOLVE(name, params)                                              \
    found.name = reinterpret_cast<decltype(found.name)>(                      \
        platform::find_symbol(g_library, #name));                             \
    if (!found.name && !absent) absent = #name;
#define QX_RESOLVE_DROPPED(name) (void)platform::find_symbol(g_library, #name);
#define QX_RESOLVE_OPTIONAL(name, params)                                      \
    if (void* address = platform::find_symbol(g_library, #name))              \
        found.name = reinterpret_cast<decltype(found.name)>(address);
    QSCLI_ENTRY_POINTS(QX_RESOLVE, QX_RESOLVE_DROPPED)
    QSCLI_OPTIONAL_ENTRY_POINTS(QX_RESOLVE_OPTIONAL)
#undef QX_RESOLVE
#undef QX_RESOLVE_DROPPED
#undef QX_RESOLVE_OPTIONAL

    if (absent) {
        platform::close_library(g_library);
        if (--g_loads == 0) g_library = nullptr;
        result.outcome = LoadResult::MISSING_ENTRY;
        result.missing = absent;
        return result;
    }
    // Calls on other threads read the table while a connection loads the
    // library again: the same library leaves it untouched.
    if (std::memcmp(&qc, &found, sizeof qc) != 0) qc = found;
    result.code = qc.qcSqlInit(0);
    if (result.code != 0) result.outcome = LoadResult::INIT_FAILED;
    return result;
}

void free_library() {
    if (!g_library || g_loads == 0) return;
    platform::close_library(g_library);
    if (--g_loads == 0) {
        g_library = nullptr;
        qc = EntryPoints{};  // the addresses may name unmapped code now
    }
}

bool library_loaded() { return g_loads > 0; }

}  // namespace qx
