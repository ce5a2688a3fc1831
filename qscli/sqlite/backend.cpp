// The SQLite file engine behind the common entry points: opening a database
// file and the connection information; statements and bulk loads run in
// dispatch.cpp and bulk.cpp.
#include "backend.h"
#include "db.h"
#include "lexer.h"
#include "named.h"
#include "platform.h"
#include "text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

namespace qse {

namespace {

// Waits for another connection's lock up to the connection's limit in all
// (5 s, or what `pragma busy_timeout` set), as sqlite3_busy_timeout() does,
// but in steps of at most 50 ms, looking for a cancel before each.
// Its context is the Db, not the connection: a wait can come while the
// database opens, before the connection holds its backend.
int busy_wait(void* db, int count) {
    static const int steps[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50};
    static const int before[] = {0, 1, 3, 8, 18, 33, 53, 78, 103, 128};
    constexpr int LAST_STEP = 50;
    const Db* d = static_cast<Db*>(db);
    if (d->conn->cancel_requested()) return 0;
    const int limit = d->busy_limit_ms;
    const int waited = count < 10 ? before[count] : 178 + LAST_STEP * (count - 10);
    if (waited >= limit) return 0;
    const int step = count < 10 ? steps[count] : LAST_STEP;
    sqlite3_sleep(step < limit - waited ? step : limit - waited);
    return 1;
}

// `pragma busy_timeout = N` puts SQLite's own wait in place of busy_wait,
// which no cancel could stop: after a statement that may have been one,
// the limit it set is taken over and busy_wait put back. SQLite reports 0
// while busy_wait is in place, so 0 counts only where the text set it.
// Whether `sql` holds busy_timeout in any case, anywhere: a statement that
// does not pays next to nothing (strchr visits only the underscores) and is
// not lexed.
bool mentions_busy_timeout(const char* sql) {
    static const char name[] = "busy_timeout";
    constexpr size_t before = 4, length = sizeof name - 1;
    for (const char* u = std::strchr(sql, '_'); u; u = std::strchr(u + 1, '_'))
        if (static_cast<size_t>(u - sql) >= before && strncasecmp(u - before, name, length) == 0) return true;
    return false;
}

bool is_busy_timeout(const Token& t) {
    if (t.kind != Tok::Name && t.kind != Tok::Text) return t.word("busy_timeout");
    const std::string name = unquote(t);
    return name.size() == 12 && strncasecmp(name.c_str(), "busy_timeout", 12) == 0;
}

// Among the statements of `sql`, a `pragma [schema.]busy_timeout`: 2 where
// one sets it (`=` or `(` follows), 1 where one only reads it, else 0.
// EXPLAIN before it counts: SQLite sets the pragma as it prepares it.
int busy_timeout_pragma(const char* sql) {
    Lexer lx(Dialect::Engine, sql, sql + std::strlen(sql));
    int found = 0;
    for (Token t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid()) {
        if (t.word("explain") && (t = lx.next_solid()).word("query")) lx.next_solid(), t = lx.next_solid();
        if (t.word("pragma")) {
            Token name = lx.next_solid();
            t = lx.next_solid();
            if (t.is('.')) name = lx.next_solid(), t = lx.next_solid();
            if (is_busy_timeout(name)) found = std::max(found, t.is('=') || t.is('(') ? 2 : 1);
        }
        while (t.kind != Tok::End && t.kind != Tok::Semicolon) t = lx.next_solid();
        if (t.kind == Tok::End) break;
    }
    return found;
}

void keep_busy_wait(Db& d, const char* sql) {
    const int pragma = d.db && mentions_busy_timeout(sql) ? busy_timeout_pragma(sql) : 0;
    if (!pragma) return;
    int ms = 0;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(d.db, "pragma busy_timeout", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        ms = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    if (ms == 0 && pragma == 1) return;  // read, not set
    d.busy_limit_ms = ms;
    sqlite3_busy_handler(d.db, busy_wait, &d);
}

// A cancel stops the call it was made during: its flag is the call's own
// (Conn::begin_call clears it). sqlite3_interrupt() would not do: SQLite
// keeps it pending for later statements while any statement of the
// connection is still active.
int stop_if_cancelled(void* conn) {
    Conn* c = static_cast<Conn*>(conn);
    return c->cancel_requested() && !db_of(c)->cancel_between_statements;
}

class SqliteBackend final : public Backend {
public:
    explicit SqliteBackend(Conn* c) : c_(c), db_(c) {}
    Db& db() { return db_; }
    int exec(Stmt* st, const char* sql) override {
        const int rc = exec_direct(st, sql);
        keep_busy_wait(db_, sql);
        return rc;
    }
    int exec_records(Stmt* st, const char* sql, const RecordLayout& lay, int32_t count, const unsigned char* recs,
                     int32_t* done, int64_t* changes) override {
        return qse::exec_records(st, sql, lay, count, recs, done, changes);
    }
    int add_records(const char* table, int32_t count, unsigned rec_size, const void* recs) override {
        return qse::add_records(c_, table, count, rec_size, recs);
    }
    bool info(unsigned attr, std::string& out) override;
    int dialect() const override { return QSCLI_DIALECT_ENGINE; }
    // The flag cancel_conn() set is all it takes (stop_if_cancelled).
    int cancel() override { return 0; }
    // A forked child keeps the handle open for good: closing it could
    // checkpoint or delete the parent's WAL.
    void abandon() override { db_.db = nullptr; }
    // SQLite ends a transaction that an error rolled back on its own (ON
    // CONFLICT ROLLBACK, a full disk, an interrupted write), and keeps one
    // whose COMMIT failed. One it ended so is failed until it is ended
    // (Conn::lost), as a server holds an aborted one.
    int transaction_state() const override {
        if (!c_->lost.empty()) return QSCLI_TX_FAILED;
        return db_.db && !sqlite3_get_autocommit(db_.db) ? QSCLI_TX_OPEN : QSCLI_TX_IDLE;
    }
    // The database locks as a whole: a transaction takes the write lock
    // as it begins, so it never meets another writer half way.
    int begin() override { return exec_simple(c_, "BEGIN IMMEDIATE"); }
    int commit(bool* rolled_back) override {
        *rolled_back = false;
        return exec_simple(c_, "commit");
    }
    int rollback() override { return exec_simple(c_, "rollback"); }
    int savepoint(const std::string& name) override { return exec_simple(c_, savepoint_sql(name)); }
    int release(const std::string& name) override { return exec_simple(c_, release_sql(name)); }
    int rollback_to(const std::string& name) override { return exec_simple(c_, rollback_to_sql(name)); }
    int describe_table(const std::string& table, FieldForms forms, std::vector<TableColumn>& out) override {
        return qse::describe_table(c_, table, forms.int64, out);
    }

private:
    Conn* c_;
    Db db_;
};

bool SqliteBackend::info(unsigned attr, std::string& out) {
    switch (attr) {
    case QSCLI_CONN_SRV_VERS2: out = std::string("SQLite ") + sqlite3_libversion(); return true;
    case QSCLI_CONN_RMTADDR: out = "in-process"; return true;
    case QSCLI_CONN_LCLADDR: out = local_host_pid(); return true;
    case QSCLI_CONN_TIME_ZONE: out.clear(); return true;  // no session zone
    default: return false;
    }
}

// Pages read through a mapping: no read call per page, which keeps index
// look-ups fast, but every page a statement touches counts as the process's
// own resident memory while the connection is open. QSCLI_MMAP_SIZE (bytes, 0
// for none) lets a program that scans more than it looks up read through
// the page cache instead.
std::string mmap_pragma() {
    unsigned long long size = 256ull << 20;
    if (const char* v = std::getenv("QSCLI_MMAP_SIZE")) {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(v, &end, 10);
        if (end != v && *end == 0) size = n;
    }
    return "pragma mmap_size = " + std::to_string(size);
}

}  // namespace

Db::~Db() {
    cache.clear();
    if (db) sqlite3_close_v2(db);  // rolls back a transaction still open
}

int Db::fail_sqlite(int rc) {
    const char* msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    // A statement that a cancel stopped while it waited for another's lock
    // was interrupted, not refused.
    if ((rc & 0xff) == SQLITE_BUSY && conn->cancel_requested()) return conn->fail(QSCLI_E_INTERRUPTED, "interrupted");
    return conn->fail(code_of(rc), msg ? msg : "error");
}

Db* db_of(Conn* c) { return &static_cast<SqliteBackend*>(c->backend.get())->db(); }

int init_sqlite() {
    // Connections work at the same time: without the allocator's
    // statistics SQLite takes no process-wide lock for each allocation.
    // (Refused, harmlessly, when SQLite is already set up in this process.)
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    const int rc = sqlite3_initialize();
    return rc == SQLITE_OK ? 0 : code_of(rc);
}

int open_sqlite(Conn* c, const std::string& path, std::unique_ptr<Backend>* out) {
    std::unique_ptr<SqliteBackend> b(new SqliteBackend(c));
    sqlite3*& db = b->db().db;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_handler(db, busy_wait, &b->db());
        sqlite3_progress_handler(db, 1000, stop_if_cancelled, c);
        sqlite3_exec(db, "pragma foreign_keys = on", nullptr, nullptr, nullptr);
        // A file that is not a database shows at its first read.
        rc = sqlite3_exec(db, "select count(*) from sqlite_schema", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
        const char* file = sqlite3_db_filename(db, "main");
        if (file && *file && !sqlite3_db_readonly(db, "main")) {
            // Readers and a writer side by side; commits without a sync
            // each (the log is synced at checkpoints).
            sqlite3_exec(db, "pragma journal_mode = wal", nullptr, nullptr, nullptr);
            sqlite3_exec(db, "pragma synchronous = normal", nullptr, nullptr, nullptr);
            sqlite3_exec(db, mmap_pragma().c_str(), nullptr, nullptr, nullptr);
        }
    }
    if (rc == SQLITE_OK) rc = install_functions(&b->db());
    if (rc != SQLITE_OK) return b->db().fail_sqlite(rc);
    *out = std::move(b);
    return 0;
}

}  // namespace qse
