// A server that went away: the error that says which server, whether a
// COMMIT may have gone through, and a forked child letting go of a session
// its parent still uses.
#include "../lexer.h"
#include "session.h"

#include <fcntl.h>
#include <unistd.h>

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

bool commits(const char* sql, size_t n) {
    Lexer lx(Dialect::Pg, sql, sql + n);
    std::string w = lower_word(lx.next_solid());
    if (w != "commit" && w != "end") return false;
    return lower_word(lx.next_solid()) != "prepared";  // two-phase: the server keeps it either way
}

int Session::fail_lost(const std::string& why) {
    lost_ = true;
    std::string where = remote_.empty() ? "" : " at " + remote_;
    return c->fail(E_LOST, "the connection to the server" + where + " was lost: " + one_line(why));
}

int Session::commit_failed(int rc) {
    if (!lost_) return rc;
    std::string where = remote_.empty() ? "" : " at " + remote_;
    return c->fail(QSCLI_E_COMMIT_UNKNOWN, "the connection to the server" + where +
                                               " was lost after COMMIT was sent: the transaction may or may not "
                                               "have committed (" + c->last_text() + ")");
}

void Session::abandon() {
    // PQfinish says goodbye on the socket, which the parent shares: the
    // child's copy becomes /dev/null first, so only the memory goes.
    int fd = pq.PQsocket(conn);
    if (fd < 0) return;
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0 && dup2(null, fd) >= 0) {
        close(null);
        return;
    }
    if (null >= 0) close(null);
    conn = nullptr;  // kept for the life of the process rather than risk a goodbye
}

}  // namespace pg
}  // namespace qse
