// Transactions on the server: the named ones, and the savepoint that lets a
// failing statement inside a transaction take back only itself.
#include "named.h"
#include "session.h"

#include <strings.h>

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
    int code = run_statement(st, unguard() + (control ? "" : "savepoint qx_statement; ") + sql);
    // Rows handed over end the statement when they end.
    return st->source ? code : finish_statement(code);
}

void Session::take_back_statement() {
    std::string saved = c->last_error;
    bool quiet = c->err_to_user;
    c->err_to_user = false;  // the statement's own error was delivered
    run("rollback to savepoint qx_statement; release savepoint qx_statement");
    c->err_to_user = quiet;
    c->last_error = saved;
}

int Session::run_begin(const std::string& name) {
    // A transaction ended by plain SQL takes its names with it.
    NamedList& names = c->transactions;
    if (!in_transaction()) names.clear();
    bool outer = !in_transaction();
    int rc = run(outer ? "begin" : unguard() + begin_inner_sql(name));
    if (rc) return rc;
    names.push_back({name, outer});
    return 0;
}

int Session::run_end(const std::string& name, bool commit) {
    NamedList& names = c->transactions;
    if (!in_transaction()) names.clear();
    const size_t at = find_named(names, name);
    if (at == names.size()) return no_such_named(c, name);
    const bool outer = names[at].outer;
    std::string sql = unguard() + end_named_sql(names[at], commit);
    bool aborted = pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR;
    // A server found gone before the COMMIT went out (exec() reads what waits
    // first) rolled back; one gone after it may have committed.
    const bool ending = commit && outer && !aborted;
    pq::PGresult* res = nullptr;
    int rc = run(sql, &res);
    if (rc && ending) rc = commit_failed(rc, Commits::TRANSACTION);
    // A commit of a transaction an error rolled back answers ROLLBACK.
    bool rolled_back = !rc && commit && outer && res && std::strcmp(pq.PQcmdStatus(res), "ROLLBACK") == 0;
    if (res) pq.PQclear(res);
    if (rc && !outer && !lost_) return rc;
    names.resize(at);
    if (rc) return rc;
    if (rolled_back || (aborted && commit))
        return c->fail(QSCLI_E_ABORT, "transaction " + name + " was rolled back by an earlier error");
    return 0;
}

}  // namespace pg
}  // namespace qse
