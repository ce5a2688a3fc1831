// The savepoint that lets a failing statement inside a transaction take back
// only itself.
#include "session.h"


namespace qse {
namespace pg {

// Statements that end, mark or set up a transaction themselves run without
// a savepoint of their own (the server refuses SET TRANSACTION inside one).
bool controls_transaction(const std::string& sql) {
    static const char* const words[] = {"begin", "start", "commit", "end", "rollback", "abort", "savepoint",
                                        "release"};
    Lexer lx(Dialect::Pg, sql.data(), sql.data() + sql.size());
    const Token first = lx.next_solid();
    for (const char* w : words)
        if (first.word(w)) return true;
    return first.word("set") && lx.next_solid().word("transaction");
}

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
    int code = 0;
    if (controls_transaction(sql)) {
        sent_.guarded = false;
        code = run_statement(st, unguard() + sql);
    } else if (!run_in_flight(st, sql, &code)) {
        code = run(unguard() + "savepoint qx_statement");
        sent_.guarded = true;
        if (!code) code = run_statement(st, sql);
    }
    // Rows handed over end the statement when they end.
    return st->source || st->copy ? code : finish_statement(code);
}

bool Session::run_in_flight(Stmt* st, const std::string& sql, int* code) {
    const char* b = sql.data();
    const char* e = b + sql.size();
    if (!pq.PQenterPipelineMode || !pq.PQexitPipelineMode || !pq.PQpipelineSync || !one_statement(Dialect::Pg, b, e) ||
        first_word(Dialect::Pg, b, e) == "copy" || !pq.PQenterPipelineMode(conn))
        return false;
    int steps = 0;
    const bool sent = send_savepoint(&steps) &&
                      pq.PQsendQueryParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) &&
                      pq.PQpipelineSync(conn);
    sent_.guarded = sent_.pipelined = true;
    bool parsed = true, unparsed = false;
    *code = sent ? read_steps(steps, false, &parsed, &unparsed) : fail_conn("cannot send the statement");
    if (!*code) *code = collect(st);
    return true;
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
