// Running one statement text: the engine's own statements are told apart by
// their first word, everything else goes to SQLite, through the statement
// cache when the text is one statement.
#include "parse.h"
#include "statement.h"

namespace qse {

namespace {

// A real literal's value exactly as SQLite reads one in statement text: the
// same conversion turns a text value into a real.
bool real_of(Db* db, const std::string& text, double* v) {
    StmtCache::Entry* e = nullptr;
    sqlite3_stmt* s = prepare_cached(db, "select ?1", &e);
    if (!s) return false;
    sqlite3_bind_text(s, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    const bool ok = sqlite3_step(s) == SQLITE_ROW;
    if (ok) *v = sqlite3_column_double(s, 0);
    sqlite3_clear_bindings(s);
    release_cached(db, s, e);
    return ok;
}

// Runs a text whose literals became parameters; false when its prepared
// form does not take them (the caller then runs the text as it came).
bool run_parameterized(Conn* c, Stmt* st, const std::string& key, const std::vector<Literal>& lits, int* rc) {
    uint64_t h = StmtCache::hash_of(key.data(), key.size());
    StmtCache::Entry* e = db_of(c)->cache.checkout(key.data(), key.size(), h);
    sqlite3_stmt* s = e ? e->stmt : nullptr;
    if (!e) {
        std::string text = to_utf8(key.data(), key.size());
        if (sqlite3_prepare_v3(db_of(c)->db, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &s,
                               nullptr) != SQLITE_OK)
            return false;  // the error is reported for the text as it came
        if (!s || sqlite3_bind_parameter_count(s) != static_cast<int>(lits.size())) {
            sqlite3_finalize(s);
            return false;
        }
        e = db_of(c)->cache.add(key.data(), key.size(), h, s);
    }
    std::string utf8;
    for (size_t k = 0; k < lits.size(); ++k) {
        int i = static_cast<int>(k) + 1;
        double d;
        if (lits[k].real) {
            if (!real_of(db_of(c), lits[k].s, &d)) {
                sqlite3_clear_bindings(s);
                release_cached(db_of(c), s, e);
                return false;
            }
            sqlite3_bind_double(s, i, d);
        } else if (lits[k].text) {
            utf8.clear();
            cp866_to_utf8(reinterpret_cast<const unsigned char*>(lits[k].s.data()), lits[k].s.size(), utf8);
            sqlite3_bind_text(s, i, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(s, i, lits[k].i);
        }
    }
    *rc = run_prepared(c, st, s, e);
    sqlite3_clear_bindings(e ? e->stmt : s);  // a streamed query keeps `s` and its values
    release_cached(db_of(c), s, e);
    return true;
}

// Prepares and runs every statement of a text that SQLite runs; a text of
// one statement goes through the cache.
int run_sql(Conn* c, Stmt* st, const char* sql, size_t n, const Command& cmd) {
    {
        std::string key;
        std::vector<Literal> lits;
        int rc;
        if (parameterize(Dialect::Engine, sql, n, key, lits) && run_parameterized(c, st, key, lits, &rc)) return rc;
    }
    uint64_t h = StmtCache::hash_of(sql, n);
    StmtCache::Entry* e = db_of(c)->cache.checkout(sql, n, h);
    if (e) {
        int rc = e->kind == K_RETURN ? run_return(c, st, e->stmt, *e) : run_prepared(c, st, e->stmt, e);
        db_of(c)->cache.checkin(e);
        return rc;
    }

    StmtCache::Entry how;
    std::string text;
    if (cmd.kind == Command::RETURN) {
        how.kind = K_RETURN;
        how.ret_typed = cmd.typed;
        how.ret = cmd.type;
        text = "select " + to_utf8(cmd.expr, cmd.expr_len);
    } else {
        text = to_utf8(sql, n);
    }
    std::string missing;
    bool cacheable = !rewrite_tblstruct(db_of(c)->db, text, &missing);
    if (!missing.empty()) return c->fail(QSCLI_E_ERROR, "no such table: " + missing);

    const char* p = text.c_str();
    const char* tail = nullptr;
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(db_of(c)->db, p, static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &s, &tail);
    if (rc != SQLITE_OK) return db_of(c)->fail_sqlite(rc);
    bool more = tail && !only_blank(Dialect::Engine, tail, text.c_str() + text.size());
    if (!more && s && cacheable) {
        e = db_of(c)->cache.add(sql, n, h, s);
        if (e) {
            e->kind = how.kind;
            e->ret = how.ret;
            e->ret_typed = how.ret_typed;
            rc = e->kind == K_RETURN ? run_return(c, st, s, *e) : run_prepared(c, st, s, e);
            db_of(c)->cache.checkin(e);
            return rc;
        }
    }
    // Several statements (or an uncached one): each in turn, the last one's
    // result stays.
    for (;;) {
        if (s) {
            st->clear_result();
            rc = how.kind == K_RETURN ? run_return(c, st, s, how) : run_prepared(c, st, s);
            sqlite3_finalize(s);
            s = nullptr;
            if (rc) return rc;
        }
        if (!tail || only_blank(Dialect::Engine, tail, text.c_str() + text.size())) return 0;
        p = tail;
        rc = sqlite3_prepare_v2(db_of(c)->db, p, -1, &s, &tail);
        if (rc != SQLITE_OK) return db_of(c)->fail_sqlite(rc);
    }
}

int dispatch(Conn* c, Stmt* st, const char* sql) {
    size_t n = std::strlen(sql);
    const Command cmd = parse_command(Dialect::Engine, sql, n);
    switch (cmd.kind) {
    case Command::SYNTAX: return c->fail(QSCLI_E_ERROR, std::string("syntax: ") + cmd.usage);
    case Command::ERR_TO_USER: c->err_to_user = cmd.on; return 0;
    case Command::BEGIN: return run_begin(c, cmd.name);
    case Command::COMMIT:
    case Command::ROLLBACK: return run_end(c, cmd.name, cmd.kind == Command::COMMIT);
    default: break;
    }
    if (!c->lost.empty()) return refuse_lost(c);
    return run_sql(c, st, sql, n, cmd);
}

}  // namespace

int exec_direct(Stmt* st, const char* sql) {
    Conn* c = st->conn;
    st->clear_result();
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    const bool named = in_named(c);
    return note_lost(c, named, dispatch(c, st, sql));
}

}  // namespace qse
