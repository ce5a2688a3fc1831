// The savepoint that lets a failing statement inside a transaction take back
// only itself.
#include "session.h"


namespace qse {
namespace pg {

// Statements that end or mark a transaction themselves run without a
// savepoint of their own.
bool controls_transaction(const std::string& sql) {
    static const char* const words[] = {"begin", "start", "commit", "end", "rollback", "abort", "savepoint",
                                        "release"};
    const std::string first = first_word(Dialect::Pg, sql.data(), sql.data() + sql.size());
    for (const char* w : words)
        if (first == w) return true;
    return false;
}

std::string Session::unguard() {
    bool open = guarded_ && pq.PQtransactionStatus(conn) == pq::PQTRANS_INTRANS;
    guarded_ = false;
    return open ? "release savepoint qx_statement; " : "";
}

// Inside a transaction a failing statement takes back only itself, as on
// SQLite: it runs after a savepoint of its own, which the next statement's
// text releases, so a statement that succeeds costs no round trip more.
int Session::run_guarded(Stmt* st, const std::string& sql) {
    if (pq.PQtransactionStatus(conn) != pq::PQTRANS_INTRANS) {
        guarded_ = false;
        return run_statement(st, sql);
    }
    const bool control = controls_transaction(sql);
    sent_.guarded = !control;
    const std::string release = unguard();
    int code = run_statement(st, release + (control ? "" : "savepoint qx_statement; ") + sql);
    // A text the server cannot parse runs none of its commands, the savepoint
    // neither: the savepoint left is the one before the statement before, and
    // rolling back to it would silently undo that statement too. The
    // transaction stays failed instead, and the error says so.
    if (code && !control && commands_done_ < (release.empty() ? 1 : 2)) {
        sent_.guarded = false;
        c->last_error += "; the transaction failed with it (nothing of it can be committed): roll it back to go on";
    }
    // Rows handed over end the statement when they end.
    return st->source || st->copy ? code : finish_statement(code);
}

void Session::take_back_statement() {
    std::string saved = c->last_error;
    bool quiet = c->err_to_user;
    c->err_to_user = false;  // the statement's own error was delivered
    run("rollback to savepoint qx_statement; release savepoint qx_statement");
    c->err_to_user = quiet;
    c->last_error = saved;
}

}  // namespace pg
}  // namespace qse
