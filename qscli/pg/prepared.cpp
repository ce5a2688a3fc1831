// Statements that differ only in literals, as the driver's %-formatted ones
// do, share one prepared statement on the server: the literals go as
// parameters, so a repeated point query skips parsing and planning.
#include "../lexer.h"
#include "session.h"

#include <cstring>

namespace qse {
namespace pg {

int Session::prepared_name(const std::string& key, size_t nparams, std::string* name) {
    auto it = prepared_.find(key);
    if (it != prepared_.end()) {
        it->second.used = ++clock_;
        *name = it->second.name;
        return 1;
    }
    if (unpreparable_.count(key)) return 0;
    if (prepared_.size() >= PREPARED_MAX) {
        auto old = prepared_.begin();
        for (auto e = prepared_.begin(); e != prepared_.end(); ++e)
            if (e->second.used < old->second.used) old = e;
        pq::PGresult* r = pq.PQexec(conn, ("deallocate " + old->second.name).c_str());
        if (r) pq.PQclear(r);
        prepared_.erase(old);
    }
    std::string n = "qx" + std::to_string(++prepared_count_);
    pq::PGresult* r = pq.PQprepare(conn, n.c_str(), to_utf8(key.data(), key.size()).c_str(), static_cast<int>(nparams), nullptr);
    bool ok = r && pq.PQresultStatus(r) == pq::PGRES_COMMAND_OK;
    if (r) pq.PQclear(r);
    check_lost();
    if (lost_) return -1;
    if (!ok) {
        // Run as written from now on (its literals may need their own types).
        if (unpreparable_.size() > 256) unpreparable_.clear();
        unpreparable_.insert(key);
        return 0;
    }
    prepared_[key] = {n, ++clock_};
    *name = n;
    return 1;
}

namespace {

// A literal in a VALUES list has no type from its place unless the list
// feeds an INSERT: as a parameter of unstated type it would come back as
// text ('2', not 2), where the server types the literal itself. Such
// statements run as written.
bool values_list_outside_insert(const char* sql, size_t n) {
    Lexer lx(Dialect::Pg, sql, sql + n);
    bool first = true;
    for (Token t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid()) {
        if (t.kind != Tok::Word) {
            first = false;
            continue;
        }
        std::string w(t.b, t.e);
        for (char& ch : w) ch = static_cast<char>(ch | 0x20);
        if (first && w == "insert") return false;
        if (w == "values") return true;
        first = false;
    }
    return false;
}

}  // namespace

bool Session::run_prepared(Stmt* st, const char* sql, size_t n, int* rc) {
    // A failed PREPARE would abort a transaction: only outside one.
    if (!prepare || pq.PQtransactionStatus(conn) != pq::PQTRANS_IDLE) return false;
    std::string key;
    std::vector<Literal> lits;
    if (!parameterize(Dialect::Pg, sql, n, key, lits)) return false;
    if (!lits.empty() && values_list_outside_insert(sql, n)) return false;
    std::string name;
    int got = prepared_name(key, lits.size(), &name);
    if (got < 0) {
        *rc = fail_conn("statement");
        return true;
    }
    if (!got) return false;
    std::vector<std::string> texts(lits.size());
    std::vector<const char*> values(lits.size());
    for (size_t k = 0; k < lits.size(); ++k) {
        if (lits[k].text)
            cp866_to_utf8(reinterpret_cast<const unsigned char*>(lits[k].s.data()), lits[k].s.size(), texts[k]);
        else
            texts[k] = std::to_string(lits[k].i);
        values[k] = texts[k].c_str();
    }
    if (!pq.PQsendQueryPrepared(conn, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                                nullptr, 0)) {
        *rc = fail_conn("cannot send the statement");
        return true;
    }
    *rc = collect(st);
    if (*rc && last_state_ == "26000") {
        // DISCARD ALL (or DEALLOCATE ALL) took the prepared statements.
        prepared_.clear();
        return false;
    }
    if (*rc && last_state_ == "0A000") {
        // The table changed the statement's columns: prepared afresh, and
        // this time run as written.
        pq::PGresult* r = pq.PQexec(conn, ("deallocate " + name).c_str());
        if (r) pq.PQclear(r);
        prepared_.erase(key);
        return false;
    }
    return true;
}

}  // namespace pg
}  // namespace qse
