// A connection handle: its backend, callbacks, messages and named
// transactions.
#pragma once

#include "backend.h"
#include "qscli_api.h"
#include "stmt_handle.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qse {

struct Message {
    std::string text;  // as the connection reads it: CP866, or UTF-8 (msg_utf8)
    size_t pos = 0;
    int usertype = 0;
    bool user = false;
    std::string channel;  // a notification's channel, as `text`; empty otherwise
};

// Calls on one connection come one at a time; calls on different
// connections may run at the same time, so what connections share (the
// handle registry, the memory budget) is guarded. Only qcSqlCancel reaches a
// connection from another thread while it works: through `cancelled` and
// Backend::cancel(), under `db_lock`, which also guards `backend` changing.
struct Conn {
    int handle = 0;
    int pid = 0;  // the process that connected: a forked child only drops it
    std::unique_ptr<Backend> backend;  // set while connected
    std::mutex db_lock;
    std::atomic<bool> cancelled{false};  // qcSqlCancel asked the running call to stop
    std::string server, user;
    bool err_to_user = false;
    qcSqlCbkSrvMsgT srv_cb = nullptr;
    qcSqlCbkSrvUserSendT user_cb = nullptr;
    int busy = 0;
    Message* msg = nullptr;  // the message being delivered
    // While held (a PostgreSQL statement is on the wire, where a receiver
    // could run nothing of its own), messages wait here in order.
    int hold = 0;
    std::vector<Message> held;
    struct Txn {
        std::string name;
        bool outer;  // began the database transaction (else a savepoint in one)
    };
    std::vector<Txn> transactions;  // named transactions, outermost first
    // Set when an error made the engine roll back the transaction the named ones
    // lived in (ON CONFLICT ROLLBACK, a full disk ...): why. Their names stay
    // and every other statement is refused until commit work or rollback
    // work ends them, so nothing meant to be part of them commits alone.
    std::string lost;
    std::vector<Stmt*> stmts;
    std::string last_error;
    bool null_flags = false;  // qcSqlAddRecords also takes records with null flags
    FieldForms loads;         // the forms qcSqlAddRecords takes fields in
    FieldForms asked;         // the forms the statement running asked for (QXTBLSTRUCT)
    bool msg_utf8 = false;    // QSCLI_ATTR_MSG_UTF8: messages are read in UTF-8
    bool text_utf8 = false;   // QSCLI_ATTR_TEXT_UTF8: every text crosses the boundary in UTF-8

    // The text of last_error without its "error CODE: " prefix.
    std::string last_text() const {
        size_t at = last_error.find(": ");
        return at == std::string::npos ? last_error : last_error.substr(at + 2);
    }

    // A message (UTF-8) to the callbacks, in the encoding the connection reads.
    void deliver(const std::string& text_utf8, int usertype, bool user, const std::string& channel_utf8 = {});
    // Delivers the messages held back.
    void release_messages();
    // Sets last_error and, when asked for, hands it to the server-message
    // callback. Returns code.
    int fail(int code, const std::string& text_utf8);
    // Ends the session: closes its statements and drops the backend.
    void close_db();
    // A forked child's use of a connection its parent opened: the error, else 0.
    int forked();
    // Whether this process is a forked child of the one that connected: then
    // nothing of the connection may reach the server or its file.
    bool inherited() const;
    // A new call begins: a cancel meant for an earlier one is forgotten.
    void begin_call() { cancelled.store(false, std::memory_order_relaxed); }
    bool cancel_requested() const { return cancelled.load(std::memory_order_relaxed); }
};

// Sets a connection's `busy` for the lifetime of a call.
struct BusyGuard {
    int& n;
    explicit BusyGuard(int& c) : n(c) { ++n; }
    ~BusyGuard() { --n; }
};

// Holds a connection's messages for the lifetime of a call; the outermost
// delivers them as it ends.
struct MessageHold {
    Conn* c;
    explicit MessageHold(Conn* conn) : c(conn) { ++c->hold; }
    ~MessageHold() {
        if (--c->hold == 0 && !c->held.empty()) c->release_messages();
    }
    MessageHold(const MessageHold&) = delete;
    MessageHold& operator=(const MessageHold&) = delete;
};

// "HOST pid N": the client's address when there is no network between.
std::string local_host_pid();

}  // namespace qse
