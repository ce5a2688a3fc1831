// Connections: the handle registry, closing a session, messages to the
// registered callbacks.
#include "handles.h"
#include "text.h"

#include <cstring>
#include <mutex>
#include <unistd.h>
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

}  // namespace

Conn* find_conn(int h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.conns.find(h);
    return it == r.conns.end() ? nullptr : it->second.get();
}

Stmt* find_stmt(int h) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.stmts.find(h);
    return it == r.stmts.end() ? nullptr : it->second.get();
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
    c->stmts.push_back(s.get());
    r.stmts.emplace(h, std::move(s));
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
    c->cancelled.store(true);
    return c->backend ? c->backend->cancel() : 0;
}

void Conn::close_db() {
    // Statements of the connection stay known (a cursor may still close them)
    // but are closed: their results go now.
    for (Stmt* s : stmts) {
        s->clear_result();
        s->conn = nullptr;
    }
    stmts.clear();
    transactions.clear();
    lost.clear();
    std::lock_guard<std::mutex> d(db_lock);
    backend.reset();  // rolls back a transaction still open
    err_to_user = false;
}

void Conn::deliver(const std::string& text_cp866, int usertype, bool user) {
    if (hold) {
        held.push_back(Message{text_cp866, 0, usertype, user});
        return;
    }
    Message m;
    m.text = text_cp866;
    Message* outer = msg;  // a message from inside a callback's own statement
    msg = &m;
    if (user) {
        if (user_cb) user_cb(handle, usertype);
    } else if (srv_cb) {
        srv_cb(handle, 0);
    }
    msg = outer;
}

void Conn::release_messages() {
    std::vector<Message> due;
    due.swap(held);
    for (const Message& m : due) deliver(m.text, m.usertype, m.user);
}

int Conn::fail(int code, const std::string& text_utf8) {
    last_error = "error " + std::to_string(code) + ": " + text_utf8;
    if (err_to_user && srv_cb) deliver(utf8_to_cp866_lossy(last_error.c_str()), 0, false);
    return code;
}


std::string local_host_pid() {
    char host[64] = {0};
    if (gethostname(host, sizeof host - 1) != 0 || !*host) std::strcpy(host, "localhost");
    return utf8_to_cp866_lossy(host) + " pid " + std::to_string(getpid());
}

}  // namespace qse
