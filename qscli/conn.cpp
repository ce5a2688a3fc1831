// A connection's session end, its messages to the registered callbacks and
// its error texts.
#include "conn.h"
#include "platform.h"
#include "text.h"

#include <cstring>
#include <mutex>

namespace qse {

void Conn::close_db() {
    // A child's close could end the parent's session or its streamed query,
    // or checkpoint or delete its WAL: the backend lets go without a word,
    // before a stream's end could cancel or read anything.
    if (backend && inherited()) backend->abandon();
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

bool Conn::inherited() const { return pid != platform::process_id(); }

int Conn::forked() {
    if (!backend || !inherited()) return 0;
    return fail(QSCLI_E_MISUSE, "this connection was opened by process " + std::to_string(pid) +
                                    "; a forked process cannot use it and must open its own");
}

void Conn::deliver(const std::string& text_utf8, int usertype, bool user, const std::string& channel_utf8) {
    if (hold) {
        held.push_back(Message{text_utf8, 0, usertype, user, channel_utf8});
        return;
    }
    Message m;
    const bool utf8 = msg_utf8 || this->text_utf8;
    m.text = utf8 ? text_utf8 : utf8_to_cp866_lossy(text_utf8.c_str());
    m.channel = utf8 ? channel_utf8 : utf8_to_cp866_lossy(channel_utf8.c_str());
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
    for (const Message& m : due) deliver(m.text, m.usertype, m.user, m.channel);
}

int Conn::fail(int code, const std::string& text_utf8) {
    last_error = "error " + std::to_string(code) + ": " + text_utf8;
    if (err_to_user && srv_cb) deliver(last_error, 0, false);
    return code;
}


std::string local_host_pid() {
    std::string host = platform::host_name();
    if (host.empty()) host = "localhost";
    return utf8_to_cp866_lossy(host.c_str()) + " pid " + std::to_string(platform::process_id());
}

}  // namespace qse
