// Loading libpq.so.5 once, on the first PostgreSQL connection.
#include "libpq.h"

#include <dlfcn.h>

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

Loaded load() {
    Loaded l;
    // Kept for the life of the process: connections hold its functions.
    // QSCLI_LIBPQ names another build of libpq.
    const char* name = std::getenv("QSCLI_LIBPQ");
    if (!name || !*name) name = "libpq.so.5";
    void* h = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        l.why = std::string("the PostgreSQL client library cannot be loaded: ") + (e ? e : name);
        return l;
    }
#define QSE_PQ_REQUIRED(name, ret, params)                                                \
    l.api.name = reinterpret_cast<ret(*) params>(dlsym(h, #name));                       \
    if (!l.api.name) {                                                                    \
        l.why = "libpq.so.5 lacks " #name " (a libpq of PostgreSQL 10 or later is needed)"; \
        return l;                                                                         \
    }
#define QSE_PQ_OPTIONAL(name, ret, params) l.api.name = reinterpret_cast<ret(*) params>(dlsym(h, #name));
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
