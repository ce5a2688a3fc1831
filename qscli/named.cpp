// Named transactions: one transaction of the database, savepoints inside it,
// and what happens to them when the engine rolls back alone.
#include "named.h"
#include "sqltext.h"

#include <strings.h>

namespace qse {

namespace {

bool in_transaction(Conn* c) {
    const int state = c->backend->transaction_state();
    return state == QSCLI_TX_OPEN || state == QSCLI_TX_FAILED;
}

// A transaction ended by plain SQL takes its names with it (one that an
// error rolled back keeps them until they are ended).
void forget_finished(Conn* c) {
    if (!in_transaction(c) && c->lost.empty()) c->transactions.clear();
}

// The innermost transaction called `name` (case aside), or
// transactions.size() when none is.
size_t find_named(const Conn* c, const std::string& name) {
    for (size_t k = c->transactions.size(); k-- > 0;)
        if (strcasecmp(c->transactions[k].name.c_str(), name.c_str()) == 0) return k;
    return c->transactions.size();
}

// Ending transaction `at` once the engine rolled back alone: all that is
// left is to forget it; a commit reports that nothing of it was kept.
int end_lost(Conn* c, size_t at, bool commit) {
    const std::string name = c->transactions[at].name;
    c->transactions.resize(at);
    const std::string why = c->lost;
    if (c->transactions.empty()) c->lost.clear();
    return commit ? c->fail(QSCLI_E_ABORT, "transaction " + name + " was rolled back: " + why) : 0;
}

}  // namespace

int run_begin(Conn* c, const std::string& name) {
    if (!c->lost.empty()) return refuse_lost(c);
    forget_finished(c);
    const bool outer = !in_transaction(c);
    if (int rc = outer ? c->backend->begin() : c->backend->savepoint(name)) return rc;
    c->transactions.push_back({name, outer});
    return 0;
}

int run_end(Conn* c, const std::string& name, bool commit) {
    forget_finished(c);
    const size_t at = find_named(c, name);
    if (at == c->transactions.size())
        return c->fail(QSCLI_E_NO_TRANSACTION, "transaction " + name + " does not exist");
    if (!c->lost.empty()) return end_lost(c, at, commit);
    const Conn::Txn t = c->transactions[at];
    Backend& b = *c->backend;
    bool rolled_back = false;
    int rc = t.outer ? (commit ? b.commit(&rolled_back) : b.rollback())
                     : (commit ? b.release(t.name) : b.rollback_to(t.name));
    // A failed end leaves the names while their transaction goes on.
    if (rc && in_transaction(c)) return rc;
    c->transactions.resize(at);
    if (rc) return rc;
    if (rolled_back) return c->fail(QSCLI_E_ABORT, "transaction " + name + " was rolled back by an earlier error");
    return 0;
}

bool in_named(Conn* c) { return !c->transactions.empty() && in_transaction(c); }

int note_lost(Conn* c, bool named, bool undone, int code) {
    if (!code || !c->lost.empty() || !(undone || (named && !c->transactions.empty() && !in_transaction(c))))
        return code;
    c->lost = c->last_error;
    c->last_error += "; the engine rolled back the whole transaction with it (nothing of the transaction is kept): " +
                     std::string(c->transactions.empty() ? "roll it back" : "rollback work " + c->transactions.front().name) +
                     " to go on";
    return code;
}

int refuse_lost(Conn* c) {
    if (c->transactions.empty())
        return c->fail(QSCLI_E_ABORT, "the transaction was rolled back (" + c->lost + "); rollback ends it");
    const std::string& name = c->transactions.front().name;
    return c->fail(QSCLI_E_ABORT, "transaction " + name + " was rolled back (" + c->lost + "); rollback work " +
                                      name + " ends it");
}

int end_lost_plain(Conn* c, bool commit) {
    const std::string why = c->lost;
    c->lost.clear();
    return commit ? c->fail(QSCLI_E_ABORT, "the transaction was rolled back (" + why + "): nothing of it was committed")
                  : 0;
}

std::string savepoint_sql(const std::string& name) { return "savepoint " + quote_ident(name); }

std::string release_sql(const std::string& name) { return "release savepoint " + quote_ident(name); }

std::string rollback_to_sql(const std::string& name) {
    return "rollback to savepoint " + quote_ident(name) + "; " + release_sql(name);
}

}  // namespace qse
