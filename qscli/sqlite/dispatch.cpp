// Running one statement text: the engine's own statements are told apart by
// their first word, everything else goes to SQLite, through the statement
// cache when the text is one statement.
#include "exact_real.h"
#include "lexer.h"
#include "named.h"
#include "own.h"
#include "dispatch.h"

#include <cmath>

namespace qse {

namespace {

// A real literal's value, the nearest double, as SQLite reads one in
// statement text (exact_real.h); beyond a double's range as SQLite has it.
bool real_of(Db* db, const std::string& text, double* v) {
    if (exact_real(text.data(), text.data() + text.size(), v)) return true;
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
bool run_parameterized(Conn* c, Stmt* st, const std::string& key, uint64_t h, const std::vector<Literal>& lits,
                       int* rc) {
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

// A text run as it came binds no values: SQLite would run a parameter mark
// in it as NULL.
int refuse_marks(Conn* c, sqlite3_stmt* s) {
    const int n = sqlite3_bind_parameter_count(s);
    if (n == 0) return 0;
    const char* name = sqlite3_bind_parameter_name(s, 1);
    return c->fail(QSCLI_E_ERROR, "no value for parameter " + std::string(name ? name : "?") + " (the statement has " +
                                      std::to_string(n) + " parameter mark" + (n > 1 ? "s" : "") +
                                      " and none is given a value)");
}

// Prepares and runs every statement of a text that SQLite runs; a text of
// one statement goes through the cache.
int run_sql(Conn* c, Stmt* st, const char* sql, size_t n, const Command& cmd) {
    {
        StmtCache& cache = db_of(c)->cache;
        const std::string* key;
        uint64_t h;
        int rc;
        if (cache.parameterized(sql, n, &key, &h) && run_parameterized(c, st, *key, h, cache.lits_room, &rc))
            return rc;
    }
    uint64_t h = StmtCache::hash_of(sql, n);
    StmtCache::Entry* e = db_of(c)->cache.checkout(sql, n, h);
    if (e) {
        int rc = refuse_marks(c, e->stmt);
        if (!rc) rc = e->kind == K_RETURN ? run_return(c, st, e->stmt, *e) : run_prepared(c, st, e->stmt, e);
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
    bool rewritten = false;
    if (int rc = rewrite_tblstruct(c, text, &rewritten)) return rc;
    const bool cacheable = !rewritten;

    const char* p = text.c_str();
    const char* tail = nullptr;
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(db_of(c)->db, p, static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &s, &tail);
    if (rc != SQLITE_OK) return db_of(c)->fail_sqlite(rc);
    if (s && (rc = refuse_marks(c, s))) {
        sqlite3_finalize(s);
        return rc;
    }
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
        if (s && (rc = refuse_marks(c, s))) {
            sqlite3_finalize(s);
            return rc;
        }
    }
}

// A transaction SQLite rolled back whole under a statement that failed
// takes nothing but its end: ROLLBACK forgets it, COMMIT reports that
// nothing was kept, every other text is refused. So the statements after
// the failure never commit on their own, as they would in autocommit.
int run_lost(Conn* c, const char* sql, size_t n) {
    Lexer lx(Dialect::Engine, sql, sql + n);
    const Token verb = lx.next_solid();
    Token t = lx.next_solid();
    if (t.word("transaction")) t = lx.next_solid();
    while (t.kind == Tok::Semicolon) t = lx.next_solid();
    if (t.kind == Tok::End && verb.word("rollback")) return end_lost_plain(c, false);
    if (t.kind == Tok::End && (verb.word("commit") || verb.word("end"))) return end_lost_plain(c, true);
    return refuse_lost(c);
}

int dispatch(Conn* c, Stmt* st, const char* sql) {
    size_t n = std::strlen(sql);
    const Command cmd = parse_command(Dialect::Engine, sql, n);
    switch (cmd.kind) {
    case Command::SYNTAX:
    case Command::ERR_TO_USER:
    case Command::BEGIN:
    case Command::COMMIT:
    case Command::ROLLBACK: return run_own(c, cmd);
    default: break;
    }
    if (!c->lost.empty()) return c->transactions.empty() ? run_lost(c, sql, n) : refuse_lost(c);
    return run_sql(c, st, sql, n, cmd);
}

// A statement exec_records runs: a change of rows giving none, one
// statement whose marks all stand for values. Prepared through the cache
// under its own text; null when it is not one to run so.
sqlite3_stmt* prepare_marked(Conn* c, const char* sql, size_t n, int fields, StmtCache::Entry** entry) {
    const std::string first = first_word(Dialect::Engine, sql, sql + n);
    if (first != "insert" && first != "update" && first != "delete" && first != "replace") return nullptr;
    if (parse_command(Dialect::Engine, sql, n).kind != Command::PLAIN) return nullptr;
    if (!marks_take_values(Dialect::Engine, sql, n, static_cast<size_t>(fields))) return nullptr;
    const uint64_t h = StmtCache::hash_of(sql, n);
    if ((*entry = db_of(c)->cache.checkout(sql, n, h))) {
        if ((*entry)->kind == K_PLAIN && sqlite3_column_count((*entry)->stmt) == 0) return (*entry)->stmt;
        db_of(c)->cache.checkin(*entry);
        return nullptr;
    }
    const std::string text = to_utf8(sql, n);
    sqlite3_stmt* s = nullptr;
    const char* tail = nullptr;
    // A text SQLite refuses is run record by record, so that its error
    // names the text with the values in it.
    if (sqlite3_prepare_v3(db_of(c)->db, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &s,
                           &tail) != SQLITE_OK ||
        !s || (tail && !only_blank(Dialect::Engine, tail, text.c_str() + text.size())) ||
        sqlite3_bind_parameter_count(s) != fields || sqlite3_column_count(s) != 0 ||
        !(*entry = db_of(c)->cache.add(sql, n, h, s))) {
        sqlite3_finalize(s);
        return nullptr;
    }
    return s;
}

// Binds field k of record r to parameter i, leaving in `v` the value bound
// (text as UTF-8); text goes through `scratch`, which must live until the
// record has run.
int bind_field(Conn* c, sqlite3_stmt* s, const RecordLayout& lay, size_t k, const unsigned char* rec,
               std::string& scratch, qc_long r, int i, Value& v) {
    std::string why;
    if (!lay.value(rec, k, v, scratch, &why))
        return c->fail(QSCLI_E_MISMATCH,
                       "record " + std::to_string(r) + ", field " + std::to_string(k + 1) + ": " + why);
    switch (v.kind) {
    case VKind::Int: return sqlite3_bind_int64(s, i, v.i);
    case VKind::Float:
        if (std::isnan(v.d)) return c->fail(QSCLI_E_MISMATCH, "record " + std::to_string(r) + ": NaN is not a number");
        return sqlite3_bind_double(s, i, v.d);
    case VKind::Text866: {
        v.kind = VKind::Text;  // as bound: UTF-8
        if (lay.fields[k].type == QSCLI_ET_DATE) {  // its ISO text is in scratch already
            v.p = reinterpret_cast<const unsigned char*>(scratch.data()), v.n = scratch.size();
            return sqlite3_bind_text(s, i, scratch.data(), static_cast<int>(scratch.size()), SQLITE_STATIC);
        }
        // ASCII is the same in UTF-8: bound where the record holds it.
        size_t ascii = 0;
        while (ascii < v.n && v.p[ascii] < 0x80) ++ascii;
        if (ascii == v.n)
            return sqlite3_bind_text(s, i, reinterpret_cast<const char*>(v.p), static_cast<int>(v.n), SQLITE_STATIC);
        scratch.clear();
        cp866_to_utf8(v.p, v.n, scratch);
        v.p = reinterpret_cast<const unsigned char*>(scratch.data()), v.n = scratch.size();
        return sqlite3_bind_text(s, i, scratch.data(), static_cast<int>(scratch.size()), SQLITE_STATIC);
    }
    case VKind::Blob: return sqlite3_bind_blob(s, i, v.p, static_cast<int>(v.n), SQLITE_STATIC);
    default: return sqlite3_bind_null(s, i);
    }
}

// The records of an insert run this many a statement, their VALUES tuple
// repeated: the statement's own costs (its journal among them) are paid
// once a chunk.
constexpr qc_long CHUNK = 64;

// Runs records of exec_records, `n` a statement.
struct RecordRun {
    Conn* c;
    Stmt* st;
    const RecordLayout& lay;
    const unsigned char* recs;
    const InsertFit* fit = nullptr;  // set when the library checks the values
    std::vector<std::string> scratch;

    // Records [first, first + n) through `s`; 0 or the failure's code.
    int run(sqlite3_stmt* s, StmtCache::Entry* e, qc_long first, qc_long n) {
        const size_t nf = lay.fields.size();
        bool fits = fit != nullptr;
        Value v;
        int rc = 0;
        st->clear_result();
        for (qc_long j = 0; j < n && !rc; ++j) {
            const unsigned char* rec = recs + static_cast<size_t>(first + j) * lay.rec_size;
            for (size_t k = 0; k < nf && !rc; ++k) {
                const size_t at = static_cast<size_t>(j) * nf + k;
                const int b = bind_field(c, s, lay, k, rec, scratch[at], first + j, static_cast<int>(at) + 1, v);
                if (b < 0) rc = b;
                else if (b != SQLITE_OK) rc = db_of(c)->fail_sqlite(b);
                else if (fits) fits = fits_bound(fit->columns[k], v);
            }
        }
        // Values the library found readable pass the insert checks by.
        db_of(c)->loading_checked = fits;
        if (!rc) rc = run_prepared(c, st, s, e);
        db_of(c)->loading_checked = false;
        sqlite3_reset(s);
        return rc;
    }
};

// The insert `sql` with its VALUES tuple `n` times, prepared through the
// cache; null when SQLite takes no such statement.
sqlite3_stmt* prepare_chunk(Conn* c, const char* sql, const InsertFit& fit, qc_long n, size_t fields,
                            StmtCache::Entry** e) {
    std::string text(sql, fit.tuple_e);
    const std::string tuple(sql + fit.tuple_b, fit.tuple_e - fit.tuple_b);
    for (qc_long j = 1; j < n; ++j) text += "," + tuple;
    return prepare_marked(c, text.data(), text.size(), static_cast<int>(fields * static_cast<size_t>(n)), e);
}

}  // namespace

int exec_records(Stmt* st, const char* sql, const RecordLayout& lay, qc_long count, const unsigned char* recs,
                 qc_long* done, int64_t* changes) {
    Conn* c = st->conn;
    Db* d = db_of(c);
    st->clear_result();
    d->undone = false;
    const size_t n = std::strlen(sql), nf = lay.fields.size();
    StmtCache::Entry* e = nullptr;
    sqlite3_stmt* s = prepare_marked(c, sql, n, static_cast<int>(nf), &e);
    if (!s) return QSCLI_E_UNSUPPORTED;
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    const bool named = in_named(c);
    RecordRun run{c, st, lay, recs};
    run.scratch.resize(nf);
    // Once the first record has run in a transaction (main's write lock
    // held: no other connection adds a trigger), an insert of values the
    // library can check runs its records in chunks, the checks passed by
    // where the library found every value readable. A chunk that fails
    // undoes itself alone (OR ABORT): its records run again one a
    // statement, which names the record at fault and keeps those before.
    InsertFit fit;
    StmtCache::Entry* ce = nullptr;
    sqlite3_stmt* cs = nullptr;
    qc_long chunk = 0, single_until = 0;
    int rc = 0;
    for (qc_long r = 0; r < count;) {
        if (!c->lost.empty()) {
            rc = refuse_lost(c);
            break;
        }
        if (r == 1 && !sqlite3_get_autocommit(d->db) && sqlite3_txn_state(d->db, "main") == SQLITE_TXN_WRITE &&
            plan_insert_fit(c, sql, n, fit) && fit.columns.size() == nf) {
            run.fit = &fit;
            chunk = fit.abort ? std::min<qc_long>(CHUNK, 32766 / static_cast<qc_long>(nf)) : 0;
            if (chunk > 1 && count - r >= chunk && (cs = prepare_chunk(c, sql, fit, chunk, nf, &ce)))
                run.scratch.resize(nf * static_cast<size_t>(chunk));
        }
        const bool whole = cs && r >= single_until && count - r >= chunk;
        const qc_long step = whole ? chunk : 1;
        rc = whole ? run.run(cs, ce, r, chunk) : run.run(s, e, r, 1);
        if (rc && whole && rc != code_of(SQLITE_INTERRUPT) && !sqlite3_get_autocommit(d->db)) {
            single_until = r + chunk;
            rc = 0;
            continue;
        }
        if (rc) {
            rc = note_lost(c, named, d->undone, rc);
            break;
        }
        r += step;
        *done += step;
        if (st->changes > 0) *changes += st->changes;
    }
    if (cs) {
        sqlite3_clear_bindings(cs);
        d->cache.checkin(ce);
    }
    sqlite3_clear_bindings(s);
    d->cache.checkin(e);
    return rc;
}

int exec_direct(Stmt* st, const char* sql) {
    Conn* c = st->conn;
    // qcSqlExecDirect has cleared the statement's last result.
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    const bool named = in_named(c);
    db_of(c)->undone = false;
    const int rc = dispatch(c, st, sql);
    return note_lost(c, named, db_of(c)->undone, rc);
}

}  // namespace qse
