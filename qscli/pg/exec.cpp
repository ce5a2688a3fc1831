// Running one statement text on the server: the library's own statements
// (err_to_user, named transactions, return, QXTBLSTRUCT) are told apart here
// and everything else goes to the server (server_results.cpp).
#include "../own.h"
#include "session.h"
#include "../lexer.h"
#include "../platform.h"

#include <cstring>

namespace qse {
namespace pg {

namespace {

// Whether a statement of the text begins with RESET or DISCARD (sql ends
// in a NUL): the settings may be back at the role's defaults.
bool resets(const char* sql, size_t n) {
    if (!platform::contains_nocase(sql, "reset") && !platform::contains_nocase(sql, "discard")) return false;
    Lexer lx(Dialect::Pg, sql, sql + n);
    bool first = true;
    for (Token t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid()) {
        if (first && (t.word("reset") || t.word("discard"))) return true;
        first = t.kind == Tok::Semicolon;
    }
    return false;
}

}  // namespace

int Session::exec(Stmt* st, const char* sql) {
    st->clear_result();
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    // Messages go out once the results are read: a receiver may then run a
    // statement of its own on this connection, as on SQLite.
    MessageHold held(c);
    if (lost_) return c->fail(QSCLI_E_IO, "server connection lost");
    // Notifications that arrived since the last call come first.
    if (!pq.PQconsumeInput(conn)) return fail_conn("server connection");
    deliver_notifications();
    if (int rc = keep_settings()) return rc;
    size_t n = std::strlen(sql);
    std::string spelled;
    if (server_dialect(sql, n, spelled)) sql = spelled.c_str(), n = spelled.size();
    if (int rc = refuse_standard_strings_off(c, sql, n)) return rc;
    Command cmd = parse_command(Dialect::Pg, sql, n);
    int rc = 0;
    switch (cmd.kind) {
    case Command::SYNTAX:
    case Command::ERR_TO_USER:
    case Command::BEGIN:
    case Command::COMMIT:
    case Command::ROLLBACK: rc = run_own(c, cmd); break;
    case Command::RETURN: rc = run_return(st, cmd); break;
    default: {
        const int before = pq.PQtransactionStatus(conn);
        sent_ = Sent();
        state_before_ = transaction_state();
        may_stream_ = st->stream && streams_rows(sql, n);
        const Commits ending = before == pq::PQTRANS_INERROR ? Commits::NOTHING
                                                             : commits(before != pq::PQTRANS_IDLE, sql, n);
        const bool defining = defines_columns(sql, n);
        // A U&"..." name may spell it with escapes.
        floats_named_ = platform::contains_nocase(sql, "extra_float_digits") || platform::contains_nocase(sql, "u&");
        if (resets(sql, n)) resets_ = true;  // forgotten once the settings are set again
        if (defining || !run_prepared(st, sql, n, &rc)) {
            std::string text = to_utf8(sql, n);
            rc = rewrite_tblstruct(text);
            if (!rc) rc = defining ? run_defining(st, text) : run_guarded(st, text);
        }
        may_stream_ = false;
        if (rc) rc = commit_failed(rc, ending);
        else if (!open_rows && !(rc = standard_strings_on(false)) && !(rc = utf8_kept()))  // streamed rows: before the next text
            rc = float_digits_kept();
    }
    }
    if (!lost_) deliver_notifications();
    return rc;
}

}  // namespace pg
}  // namespace qse
