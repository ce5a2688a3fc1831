// A server that went away: the error that says which server, whether a
// COMMIT may have gone through, and a forked child letting go of a session
// its parent still uses.
#include "../lexer.h"
#include "session.h"

#include "../platform.h"

namespace qse {
namespace pg {

namespace {

// libpq's lines as one.
std::string one_line(const std::string& s) {
    std::string out;
    for (char ch : s) {
        if (ch == '\n' || ch == '\t') ch = ' ';
        if (ch == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += ch;
    }
    return out;
}

std::string lower_word(const Token& t) {
    std::string w;
    if (t.kind == Tok::Word)
        for (const char* p = t.b; p < t.e; ++p) w += static_cast<char>(*p | 0x20);
    return w;
}

}  // namespace

Commits commits(bool in_transaction, const char* sql, size_t n) {
    // Statements that change nothing when they run on their own.
    static const char* const READS[] = {"select", "show", "values", "table", "fetch", "move", "set", "reset",
                                        "begin", "start", "rollback", "abort", "commit", "end", "savepoint",
                                        "release", "listen", "unlisten", "declare", "close", "deallocate",
                                        "prepare", "discard"};
    Lexer lx(Dialect::Pg, sql, sql + n);
    std::string w = lower_word(lx.next_solid());
    if (in_transaction) {
        if (w != "commit" && w != "end") return Commits::NOTHING;
        // Two-phase: COMMIT PREPARED, which the server keeps either way.
        return lower_word(lx.next_solid()) == "prepared" ? Commits::NOTHING : Commits::TRANSACTION;
    }
    for (const char* r : READS)
        if (w == r) return Commits::NOTHING;
    return Commits::ITSELF;
}

int Session::fail_lost(const std::string& why) {
    lost_ = true;
    std::string where = remote_.empty() ? "" : " at " + remote_;
    return c->fail(QSCLI_E_IO, "the connection to the server" + where + " was lost: " + one_line(why));
}

int Session::commit_failed(int rc, Commits what) {
    if (!lost_ || what == Commits::NOTHING) return rc;
    std::string where = remote_.empty() ? "" : " at " + remote_;
    const char* sent = what == Commits::TRANSACTION
                           ? " was lost after COMMIT was sent: the transaction may or may not have committed ("
                           : " was lost after the statement was sent outside a transaction: it may or may not "
                             "have committed (";
    return c->fail(QSCLI_E_COMMIT_UNKNOWN, "the connection to the server" + where + sent + c->last_text() + ")");
}

void Session::abandon() {
    detach_rows();
    // PQfinish says goodbye on the socket, which the parent shares: the
    // child's copy becomes /dev/null first, so only the memory goes.
    int fd = pq.PQsocket(conn);
    if (fd < 0 || platform::silence_socket(fd)) return;
    conn = nullptr;  // kept for the life of the process rather than risk a goodbye
}

}  // namespace pg
}  // namespace qse
