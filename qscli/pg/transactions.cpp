// The savepoint that lets a failing statement inside a transaction take back
// only itself.
#include "session.h"


namespace qse {
namespace pg {

namespace {
const char kTransactionFailed[] = " (the transaction failed with it: nothing of it can be committed; roll it back to go on)";
}  // namespace

// How a statement that ends, marks or sets up a transaction runs.
Control control_of(const std::string& sql) {
    static const char* const outside[] = {"begin", "start", "commit", "end", "abort", "savepoint"};
    Lexer lx(Dialect::Pg, sql.data(), sql.data() + sql.size());
    const Token first = lx.next_solid();
    for (const char* w : outside)
        if (first.word(w)) return Control::Outside;
    if (first.word("release")) return Control::Undoes;
    if (first.word("set")) return lx.next_solid().word("transaction") ? Control::Setting : Control::None;
    if (!first.word("rollback")) return Control::None;
    Token next = lx.next_solid();
    if (next.word("work") || next.word("transaction")) next = lx.next_solid();
    return next.word("to") ? Control::Undoes : Control::Outside;
}

bool controls_transaction(const std::string& sql) { return control_of(sql) != Control::None; }

std::string Session::unguard() {
    bool open = guarded_ && pq.PQtransactionStatus(conn) == pq::PQTRANS_INTRANS;
    guarded_ = false;
    return open ? "release savepoint qx_statement; " : "";
}

bool Session::send_savepoint(int* steps) {
    const bool release = !unguard().empty();
    auto command = [&](const char* sql) {
        ++*steps;
        return pq.PQsendQueryParams(conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0);
    };
    return (!release || command("release savepoint qx_statement")) && command("savepoint qx_statement");
}

// Inside a transaction a failing statement takes back only itself, as on
// SQLite: it runs after a savepoint of its own, which the next statement
// releases. The savepoint never shares a text with the statement: the
// server parses a text whole before it runs any of it, so a statement it
// cannot parse would keep the savepoint from moving, and taking it back
// would undo the statement before it too. One statement goes in the same
// flight as its savepoint (a pipeline), so one that succeeds costs no round
// trip more; a text of several, or a COPY, which a pipeline cannot carry,
// goes after a round trip of its own.
int Session::run_guarded(Stmt* st, const std::string& sql) {
    if (pq.PQtransactionStatus(conn) != pq::PQTRANS_INTRANS) {
        guarded_ = false;
        return run_statement(st, sql);
    }
    // A SAVEPOINT of the user's must not be one inside ours, and the server
    // refuses SET TRANSACTION inside one (only before any query, when no
    // statement has left a savepoint open yet).
    const Control control = control_of(sql);
    int code = 0;
    const bool sent_guarded = !(control == Control::Outside || (control == Control::Setting && !guarded_));
    if (!sent_guarded) {
        sent_.guarded = false;
        code = run_statement(st, unguard() + sql);
    } else if (!run_in_flight(st, sql, &code)) {
        code = run(unguard() + "savepoint qx_statement");
        sent_.guarded = true;
        if (code) keep_failed();
        else code = run_statement(st, sql);
    }
    // Rows handed over end the statement when they end.
    if (st->source || st->copy) return code;
    code = finish_statement(code);
    // A RELEASE or ROLLBACK TO of a savepoint made before ours took ours too.
    if (!code && control == Control::Undoes) guarded_ = false;
    // One that failed without a savepoint failed the transaction: say so.
    if (code && !sent_guarded && !lost_ && pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR)
        c->last_error += kTransactionFailed;
    return code;
}

// The release of the last statement's savepoint, or the new one, failed (a
// cancel that landed on it): the failure aborted the savepoint that holds
// the statement before, so rolling back to it would silently undo that
// statement. The transaction stays failed instead, and the error says so.
// So does a take-back that failed (a cancel that landed on it in turn).
void Session::keep_failed() {
    sent_.guarded = false;
    if (!lost_) c->last_error += kTransactionFailed;
}

bool Session::run_in_flight(Stmt* st, const std::string& sql, int* code) {
    const char* b = sql.data();
    const char* e = b + sql.size();
    if (!pq.PQenterPipelineMode || !pq.PQexitPipelineMode || !pq.PQpipelineSync || !one_statement(Dialect::Pg, b, e) ||
        first_word(Dialect::Pg, b, e) == "copy" || !pq.PQenterPipelineMode(conn))
        return false;
    int steps = 0;
    bool parsed = true, unparsed = false;
    {
        const bool sent = send_savepoint(&steps) &&
                          pq.PQsendQueryParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) &&
                          pq.PQpipelineSync(conn);
        *code = sent ? read_steps(steps, false, &parsed, &unparsed) : fail_conn("cannot send the statement");
    }
    sent_.guarded = sent_.pipelined = true;
    if (*code) keep_failed();
    else *code = collect(st);
    return true;
}

void Session::take_back_statement() {
    if (run_quietly("rollback to savepoint qx_statement; release savepoint qx_statement")) keep_failed();
}

}  // namespace pg
}  // namespace qse
