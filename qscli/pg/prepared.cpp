// Statements that differ only in literals, as the driver's %-formatted ones
// do, share one prepared statement on the server: the literals go as
// parameters, so a repeated point query skips parsing and planning.
#include "session.h"

#include <cstdint>
#include <cstring>

namespace qse {
namespace pg {

namespace {

constexpr pq::Oid INT4 = 23, INT8 = 20, NUMERIC = 1700;

// The type the server gives a literal as written (an integer is int4 when it
// fits, else int8; a number with a point is numeric), stated in the PREPARE:
// a parameter of unstated type in a place that gives none, as in a VALUES
// list, would come back as text. (Strings are never parameters.)
pq::Oid literal_type(const Literal& l) {
    if (l.real) return NUMERIC;
    return l.i >= INT32_MIN && l.i <= INT32_MAX ? INT4 : INT8;
}

}  // namespace

// The literals of one statement as parameters: the text to prepare, the
// cache key (the text and the stated types, as the same text with an int8
// where an int4 was is another statement), the types and the values.
struct Session::Bound {
    std::string sql;  // CP866
    std::string key;
    std::vector<pq::Oid> types;
    std::vector<std::string> texts;
    std::vector<const char*> values;

    Bound(std::string text, const std::vector<Literal>& lits)
        : sql(std::move(text)), key(sql), types(lits.size()), texts(lits.size()), values(lits.size()) {
        key += '\0';
        for (size_t k = 0; k < lits.size(); ++k) {
            const Literal& l = lits[k];
            types[k] = literal_type(l);
            key += types[k] == INT4 ? '4' : types[k] == INT8 ? '8' : 'n';
            texts[k] = l.real ? l.s : std::to_string(l.i);
            values[k] = texts[k].c_str();
        }
    }
    int count() const { return static_cast<int>(values.size()); }
};

void Session::remember_unpreparable(const std::string& key) {
    if (unpreparable_.size() > 256) unpreparable_.clear();
    unpreparable_.insert(key);
}

int Session::prepared_name(const Bound& b, std::string* name) {
    auto it = prepared_.find(b.key);
    if (it != prepared_.end()) {
        it->second.used = ++clock_;
        *name = it->second.name;
        return 1;
    }
    if (unpreparable_.count(b.key)) return 0;
    if (prepared_.size() >= PREPARED_MAX) {
        auto old = prepared_.begin();
        for (auto e = prepared_.begin(); e != prepared_.end(); ++e)
            if (e->second.used < old->second.used) old = e;
        pq::PGresult* r = pq.PQexec(conn, ("deallocate " + old->second.name).c_str());
        if (r) pq.PQclear(r);
        prepared_.erase(old);
    }
    std::string n = "qx" + std::to_string(++prepared_count_);
    pq::PGresult* r = pq.PQprepare(conn, n.c_str(), to_utf8(b.sql.data(), b.sql.size()).c_str(), b.count(),
                                   b.types.data());
    bool ok = r && pq.PQresultStatus(r) == pq::PGRES_COMMAND_OK;
    if (r) pq.PQclear(r);
    check_lost();
    if (lost_) return -1;
    if (!ok) {
        // Run as written from now on.
        remember_unpreparable(b.key);
        return 0;
    }
    prepared_[b.key] = {n, ++clock_};
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
    std::string text;
    std::vector<Literal> lits;
    if (!parameterize(Dialect::Pg, sql, n, text, lits)) return false;
    // A string takes the type of its place when the statement is prepared,
    // and keeps it: after the table is made again (by any session) with
    // another type there, the old type would still read the value, so a
    // time of day could silently go. Such statements run as written.
    for (const Literal& l : lits)
        if (l.text) return false;
    if (nested && controls_transaction(std::string(sql, n))) return false;
    const Bound b(std::move(text), lits);
    if (nested) return run_pipelined(st, b, rc) == 1;
    std::string name;
    int got = prepared_name(b, &name);
    if (got < 0) {
        *rc = fail_conn("statement");
        return true;
    }
    if (!got) return false;
    if (!pq.PQsendQueryPrepared(conn, name.c_str(), b.count(), b.values.data(), nullptr, nullptr, 0)) {
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
        prepared_.erase(b.key);
        return false;
    }
    return true;
}

// The name `b` runs under in a pipeline, and whether it must be prepared
// first; false when it runs as written instead.
bool Session::pipeline_name(const Bound& b, std::string* name, bool* parse) {
    auto known = prepared_.find(b.key);
    *parse = known == prepared_.end();
    if (!*parse) {
        known->second.used = ++clock_;
        *name = known->second.name;
        return true;
    }
    // Room for one more would take a DEALLOCATE, which could fail the
    // transaction: the statement runs as written instead.
    if (unpreparable_.count(b.key) || prepared_.size() >= PREPARED_MAX) return false;
    *name = "qx" + std::to_string(++prepared_count_);
    return true;
}

// Sends the release of the last statement's savepoint, the new savepoint,
// the PREPARE when `parse`, the execute and a sync; the count of results
// before the statement's own in *steps. False when it could not be sent.
bool Session::send_pipeline(const Bound& b, const std::string& name, bool parse, int* steps) {
    bool sent = send_savepoint(steps);
    if (sent && parse) {
        ++*steps;
        sent = pq.PQsendPrepare(conn, name.c_str(), to_utf8(b.sql.data(), b.sql.size()).c_str(), b.count(),
                                b.types.data());
    }
    return sent && pq.PQsendQueryPrepared(conn, name.c_str(), b.count(), b.values.data(), nullptr, nullptr, 0) &&
           pq.PQpipelineSync(conn);
}

// Reads the results of the steps before the statement's own: 0 or the code
// of the first that failed; *unparsed when the server would not prepare it.
int Session::read_steps(int steps, bool parse, bool* parsed, bool* unparsed) {
    for (int k = 0; k < steps; ++k) {
        pq::PGresult* res = pq.PQgetResult(conn);
        const bool ok = res && pq.PQresultStatus(res) == pq::PGRES_COMMAND_OK;
        const bool parse_step = parse && k == steps - 1;
        if (ok && parse_step) *parsed = true;
        int code = 0;
        if (ok || (parse_step && res)) {
            *unparsed = !ok;  // run as written instead
            if (res) pq.PQclear(res);
        } else {
            code = res ? fail_result(res) : fail_conn("statement");
        }
        while (pq::PGresult* more = pq.PQgetResult(conn)) pq.PQclear(more);
        if (code) return code;
    }
    return 0;
}

int Session::run_pipelined(Stmt* st, const Bound& b, int* rc) {
    std::string name;
    bool parse = false;
    if (!pipeline_name(b, &name, &parse) || !pq.PQenterPipelineMode(conn)) return 0;
    int steps = 0;
    bool parsed = !parse, unparsed = false;
    int code = 0;
    bool stepped = false;
    {
        const bool sent = send_pipeline(b, name, parse, &steps);
        code = sent ? 0 : fail_conn("cannot send the statement");
        stepped = !code;
        if (!code) code = read_steps(steps, parse, &parsed, &unparsed);
    }
    if (parsed && parse) prepared_[b.key] = {name, ++clock_};
    if (unparsed) remember_unpreparable(b.key);
    sent_.guarded = sent_.pipelined = true;
    if (code && stepped) keep_failed();  // a savepoint step failed
    if (!code && !unparsed) code = collect(st);
    if (st->source) {
        *rc = 0;  // its rows' end ends the flight
        return 1;
    }
    code = finish_statement(code);
    if (lost_) {
        *rc = code;
        return 1;
    }
    if (unparsed || (code && (last_state_ == "26000" || last_state_ == "0A000"))) {
        // Prepared statements gone (DEALLOCATE ALL) or a table that changed
        // the statement's columns: run as written, after its own savepoint.
        if (code && last_state_ == "26000") prepared_.clear();
        else if (code) prepared_.erase(b.key);
        return 0;
    }
    *rc = code;
    return 1;
}

}  // namespace pg
}  // namespace qse
