// Loading libpq.so.5 once, on the first PostgreSQL connection.
#include "libpq.h"

#include "../platform.h"

#include <cstdlib>
#include <string>

namespace qse {
namespace pq {

namespace {

struct Loaded {
    Api api;
    bool ok = false;
    std::string why;
};

// libpq's file name in the platform's own form.
#if defined(_WIN32)
constexpr const char* LIBPQ = "libpq.dll";
#elif defined(__APPLE__)
constexpr const char* LIBPQ = "libpq.5.dylib";
#else
constexpr const char* LIBPQ = "libpq.so.5";
#endif

Loaded load() {
    Loaded l;
    // Kept for the life of the process: connections hold its functions.
    // QSCLI_LIBPQ names another build of libpq.
    const char* file = std::getenv("QSCLI_LIBPQ");
    if (!file || !*file) file = LIBPQ;
    std::string why;
    void* h = platform::open_library(file, &why);
    if (!h) {
        l.why = "the PostgreSQL client library cannot be loaded: " + why;
        return l;
    }
#define QSE_PQ_REQUIRED(name, ret, params)                                                \
    l.api.name = reinterpret_cast<ret(*) params>(platform::library_symbol(h, #name));     \
    if (!l.api.name) {                                                                    \
        l.why = std::string(file) + " lacks " #name " (a libpq of PostgreSQL 10 or later is needed)"; \
        return l;                                                                         \
    }
#define QSE_PQ_OPTIONAL(name, ret, params) l.api.name = reinterpret_cast<ret(*) params>(platform::library_symbol(h, #name));
    QSE_LIBPQ_FUNCTIONS(QSE_PQ_REQUIRED, QSE_PQ_OPTIONAL)
#undef QSE_PQ_REQUIRED
#undef QSE_PQ_OPTIONAL
    l.ok = true;
    return l;
}

}  // namespace

const Api* api(const char** why) {
    static const Loaded loaded = load();  // thread-safe once
    if (!loaded.ok) {
        if (why) *why = loaded.why.c_str();
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace pq
}  // namespace qse
