// The named transactions (begin work, commit work, rollback work) on
// SQLite, with what happens to them when SQLite rolls back alone.
#include "named.h"
#include "statement.h"

namespace qse {

namespace {

int exec_simple(Conn* c, const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_of(c)->db, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        return c->fail(code_of(rc), msg);
    }
    return 0;
}

int forget_finished(Conn* c) {
    // A transaction ended by plain SQL takes its names with it (one that an
    // error rolled back keeps them until they are ended).
    if (sqlite3_get_autocommit(db_of(c)->db) && c->lost.empty()) c->transactions.clear();
    return 0;
}

}  // namespace

int run_begin(Conn* c, const std::string& name) {
    if (!c->lost.empty()) return refuse_lost(c);
    // The table list names what the transaction works on; the database
    // locks as a whole, so it needs no further handling.
    forget_finished(c);
    std::string uname = to_utf8(name.data(), name.size());
    bool outer = sqlite3_get_autocommit(db_of(c)->db) != 0;
    int rc = exec_simple(c, outer ? "BEGIN IMMEDIATE" : begin_inner_sql(uname));
    if (rc) return rc;
    c->transactions.push_back({uname, outer});
    return 0;
}

int run_end(Conn* c, const std::string& name, bool commit) {
    forget_finished(c);
    std::string uname = to_utf8(name.data(), name.size());
    const size_t at = find_named(c->transactions, uname);
    if (at == c->transactions.size()) return no_such_named(c, uname);
    if (!c->lost.empty()) {
        // Already rolled back: ending it is all that is left; a commit
        // reports that nothing of it was kept.
        c->transactions.resize(at);
        std::string why = c->lost;
        if (c->transactions.empty()) c->lost.clear();
        return commit ? c->fail(QSCLI_E_ABORT, "transaction " + uname + " was rolled back: " + why) : 0;
    }
    int rc = exec_simple(c, end_named_sql(c->transactions[at], commit));
    if (rc) return rc;
    c->transactions.resize(at);
    return 0;
}

int note_lost(Conn* c, bool named, int code) {
    if (code && named && sqlite3_get_autocommit(db_of(c)->db)) c->lost = c->last_error;
    return code;
}

int refuse_lost(Conn* c) {
    const std::string& name = c->transactions.front().name;
    return c->fail(QSCLI_E_ABORT, "transaction " + name + " was rolled back (" + c->lost + "); rollback work " +
                                      name + " ends it");
}

}  // namespace qse
