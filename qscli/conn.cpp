// A connection's session end, its messages to the registered callbacks and
// its error texts.
#include "conn.h"
#include "text.h"

#include <unistd.h>

#include <cstring>
#include <mutex>

namespace qse {

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
