// Transactions on the server: the named ones, and the savepoint that lets a
// failing statement inside a transaction take back only itself.
#include "session.h"

#include <strings.h>

namespace qse {
namespace pg {

namespace {

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

}  // namespace

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
    int code = run_statement(st, unguard() + (control ? "" : "savepoint qx_statement; ") + sql);
    if (lost_ || control) return code;
    const int status = pq.PQtransactionStatus(conn);
    if (!code) {
        guarded_ = status == pq::PQTRANS_INTRANS;
        return 0;
    }
    if (status != pq::PQTRANS_INERROR) return code;
    std::string saved = c->last_error;
    bool quiet = c->err_to_user;
    c->err_to_user = false;  // the statement's own error was delivered
    run("rollback to savepoint qx_statement; release savepoint qx_statement");
    c->err_to_user = quiet;
    c->last_error = saved;
    return code;
}

int Session::run_begin(const std::string& name) {
    // A transaction ended by plain SQL takes its names with it.
    if (!in_transaction()) names_.clear();
    bool outer = !in_transaction();
    int rc = run(outer ? "begin" : unguard() + "savepoint " + quote_ident(name));
    if (rc) return rc;
    names_.push_back({name, outer});
    return 0;
}

int Session::run_end(const std::string& name, bool commit) {
    if (!in_transaction()) names_.clear();
    size_t at = names_.size();
    for (size_t k = names_.size(); k-- > 0;) {
        if (strcasecmp(names_[k].name.c_str(), name.c_str()) == 0) {
            at = k;
            break;
        }
    }
    if (at == names_.size()) return c->fail(QSCLI_E_NO_TRANSACTION, "transaction " + name + " does not exist");
    std::string sql = unguard();
    if (names_[at].outer) {
        sql += commit ? "commit" : "rollback";
    } else {
        std::string q = quote_ident(name);
        sql += commit ? "release savepoint " + q : "rollback to savepoint " + q + "; release savepoint " + q;
    }
    bool aborted = pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR;
    pq::PGresult* res = nullptr;
    int rc = run(sql, &res);
    // A commit of a transaction an error rolled back answers ROLLBACK.
    bool rolled_back = !rc && commit && names_[at].outer && res && std::strcmp(pq.PQcmdStatus(res), "ROLLBACK") == 0;
    if (res) pq.PQclear(res);
    if (rc && !names_[at].outer && !lost_) return rc;
    names_.resize(at);
    if (rc) return rc;
    if (rolled_back || (aborted && commit))
        return c->fail(QSCLI_E_ABORT, "transaction " + name + " was rolled back by an earlier error");
    return 0;
}

}  // namespace pg
}  // namespace qse
