// The handle registry: handles are numbers the caller holds; what they name
// lives here until released.
#include "handles.h"
#include "platform.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace qse {

namespace {

// Handles are never reused, so a released handle stays unknown for good.
struct Registry {
    std::mutex lock;
    int next = 1;
    std::unordered_map<int, std::unique_ptr<Conn>> conns;
    std::unordered_map<int, std::unique_ptr<Stmt>> stmts;
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives every static destructor
    return *r;
}

// Past the direct ones, the statement this thread found last, good while no
// statement has been released since: the calls of a loop on one statement
// skip the registry's lock. (A statement released while another thread
// works on it was never safe: the lock only guards the registry itself.)
std::atomic<uint64_t> g_stmts_released{0};
struct LastFound {
    int handle = 0;
    Stmt* stmt = nullptr;
    uint64_t released = 0;
};
thread_local LastFound t_last;

}  // namespace

Conn* find_conn(int h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.conns.find(h);
    return it == r.conns.end() ? nullptr : it->second.get();
}

std::atomic<Stmt*> g_direct_stmts[DIRECT_STMTS];

Stmt* find_later_stmt(int h) {
    const uint64_t released = g_stmts_released.load(std::memory_order_acquire);
    LastFound& last = t_last;
    if (last.handle == h && last.released == released && h != 0) return last.stmt;
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.stmts.find(h);
    if (it == r.stmts.end()) return nullptr;
    last = LastFound{h, it->second.get(), released};
    return last.stmt;
}

int new_conn() {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    int h = r.next++;
    std::unique_ptr<Conn> c(new Conn);
    c->handle = h;
    r.conns.emplace(h, std::move(c));
    return h;
}

int new_stmt(Conn* c) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    int h = r.next++;
    std::unique_ptr<Stmt> s(new Stmt);
    s->handle = h;
    s->conn = c;
    s->text_utf8 = c->text_utf8;
    c->stmts.push_back(s.get());
    Stmt* found = s.get();
    r.stmts.emplace(h, std::move(s));
    if (direct_stmt(h)) g_direct_stmts[h].store(found, std::memory_order_release);
    return h;
}

void drop_conn(int h) {
    Registry& r = registry();
    std::unique_ptr<Conn> gone;
    {
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.conns.find(h);
        if (it == r.conns.end()) return;
        gone = std::move(it->second);
        r.conns.erase(it);
    }
    // A cancel that found the connection before it left the registry ends first.
    std::lock_guard<std::mutex> d(gone->db_lock);
}

void drop_stmt(int h) {
    Registry& r = registry();
    std::unique_ptr<Stmt> gone;
    {
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.stmts.find(h);
        if (it == r.stmts.end()) return;
        gone = std::move(it->second);
        r.stmts.erase(it);
        if (direct_stmt(h)) g_direct_stmts[h].store(nullptr, std::memory_order_release);
        g_stmts_released.fetch_add(1, std::memory_order_release);
    }
    if (Conn* c = gone->conn) {
        auto& v = c->stmts;
        for (size_t k = 0; k < v.size(); ++k)
            if (v[k] == gone.get()) {
                v[k] = v.back();
                v.pop_back();
                break;
            }
    }
}

int cancel_conn(int h) {
    Registry& r = registry();
    Conn* c = nullptr;
    std::unique_lock<std::mutex> d;
    {
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.conns.find(h);
        if (it == r.conns.end()) return QSCLI_E_CONNECTION;
        c = it->second.get();
        d = std::unique_lock<std::mutex>(c->db_lock);
    }
    // The registry is free again while the cancel goes out (on PostgreSQL a
    // network round trip): only this connection waits. drop_conn() takes
    // db_lock before the connection goes, so it outlives this.
    // A child's cancel would stop the parent's statement.
    if (c->pid != platform::process_id()) return 0;
    c->cancelled.store(true);
    return c->backend ? c->backend->cancel() : 0;
}

}  // namespace qse
