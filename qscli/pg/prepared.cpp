// Statements that differ only in literals, as the driver's %-formatted ones
// do, share one prepared statement on the server: the literals go as
// parameters, so a repeated point query skips parsing and planning.
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

bool Session::run_prepared(Stmt* st, const char* sql, size_t n, int* rc) {
    if (!prepare) return false;
    // Inside a transaction the statement goes after a savepoint of its own,
    // in the same flight (a pipeline), so a failing one, its PREPARE too,
    // takes back only itself.
    const int status = pq.PQtransactionStatus(conn);
    const bool nested = status == pq::PQTRANS_INTRANS && pq.PQenterPipelineMode && pq.PQexitPipelineMode &&
                        pq.PQpipelineSync && pq.PQsendPrepare;
    if (status != pq::PQTRANS_IDLE && !nested) return false;
    std::string key;
    std::vector<Literal> lits;
    if (!parameterize(Dialect::Pg, sql, n, key, lits)) return false;
    if (nested && controls_transaction(std::string(sql, n))) return false;
    std::string name;
    int got = 0;
    auto known = prepared_.find(key);
    if (nested && known != prepared_.end()) {
        known->second.used = ++clock_;
        name = known->second.name;
        got = 1;
    } else if (nested) {
        // Room for one more would take a DEALLOCATE, which could fail the
        // transaction: the statement runs as written instead.
        if (unpreparable_.count(key) || prepared_.size() >= PREPARED_MAX) return false;
        name = "qx" + std::to_string(++prepared_count_);
    } else {
        got = prepared_name(key, lits.size(), &name);
    }
    if (got < 0) {
        *rc = fail_conn("statement");
        return true;
    }
    if (!got && !nested) return false;
    std::vector<std::string> texts(lits.size());
    std::vector<const char*> values(lits.size());
    for (size_t k = 0; k < lits.size(); ++k) {
        if (lits[k].text)
            cp866_to_utf8(reinterpret_cast<const unsigned char*>(lits[k].s.data()), lits[k].s.size(), texts[k]);
        else
            texts[k] = std::to_string(lits[k].i);
        values[k] = texts[k].c_str();
    }
    if (nested) {
        const std::string parse = got ? std::string() : to_utf8(key.data(), key.size());
        return run_pipelined(st, key, name, got ? nullptr : &parse, values, rc) == 1;
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

int Session::run_pipelined(Stmt* st, const std::string& key, const std::string& name, const std::string* parse,
                           const std::vector<const char*>& values, int* rc) {
    if (!pq.PQenterPipelineMode(conn)) return 0;
    const std::string release = unguard();
    const int nparams = static_cast<int>(values.size());
    int steps = 0;  // results before the statement's own
    auto command = [&](const char* sql) {
        ++steps;
        return pq.PQsendQueryParams(conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0);
    };
    bool sent = (release.empty() || command("release savepoint qx_statement")) && command("savepoint qx_statement");
    if (sent && parse) sent = pq.PQsendPrepare(conn, name.c_str(), parse->c_str(), nparams, nullptr), ++steps;
    sent = sent && pq.PQsendQueryPrepared(conn, name.c_str(), nparams, values.data(), nullptr, nullptr, 0) &&
           pq.PQpipelineSync(conn);
    int code = sent ? 0 : fail_conn("cannot send the statement");
    bool parsed = !parse, unparsed = false;
    for (int k = 0; k < steps && !code; ++k) {
        pq::PGresult* res = pq.PQgetResult(conn);
        const bool ok = res && pq.PQresultStatus(res) == pq::PGRES_COMMAND_OK;
        const bool parse_step = parse && k == steps - 1;
        if (ok && parse_step) parsed = true;
        if (ok || (parse_step && res)) {
            unparsed = !ok;  // its literals may need their own types: run as written
            if (res) pq.PQclear(res);
        } else {
            code = res ? fail_result(res) : fail_conn("statement");
        }
        while (pq::PGresult* more = pq.PQgetResult(conn)) pq.PQclear(more);
    }
    if (!code && !unparsed) code = collect(st);
    // What is left up to the end of the flight (skipped results, the sync).
    for (int nulls = 0; nulls < 2 && !lost_;) {
        pq::PGresult* res = pq.PQgetResult(conn);
        if (!res) {
            ++nulls;
            check_lost();
            continue;
        }
        const bool sync = pq.PQresultStatus(res) == pq::PGRES_PIPELINE_SYNC;
        pq.PQclear(res);
        if (sync) break;
        nulls = 0;
    }
    if (!lost_) pq.PQexitPipelineMode(conn);
    check_lost();
    if (lost_) {
        *rc = code ? code : fail_conn("statement");
        return 1;
    }
    if (parsed && parse) prepared_[key] = {name, ++clock_};
    if (unparsed) {
        if (unpreparable_.size() > 256) unpreparable_.clear();
        unpreparable_.insert(key);
    }
    const int status = pq.PQtransactionStatus(conn);
    if (status == pq::PQTRANS_INERROR) take_back_statement();
    else guarded_ = status == pq::PQTRANS_INTRANS;
    if (unparsed || (code && (last_state_ == "26000" || last_state_ == "0A000"))) {
        // Prepared statements gone (DISCARD ALL) or a table that changed the
        // statement's columns: run as written, after its own savepoint again.
        if (code && last_state_ == "26000") prepared_.clear();
        else if (code) prepared_.erase(key);
        return 0;
    }
    *rc = code;
    return 1;
}

}  // namespace pg
}  // namespace qse
