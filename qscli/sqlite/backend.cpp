// The SQLite file engine behind the common entry points: opening a database
// file and the connection information; statements and bulk loads run in
// statement.cpp and bulk.cpp.
#include "../backend.h"
#include "../engine.h"

#include <unistd.h>

namespace qse {

namespace {

class SqliteBackend final : public Backend {
public:
    explicit SqliteBackend(Conn* c) : c_(c) {}
    int exec(Stmt* st, const char* sql) override { return exec_direct(st, sql); }
    int add_records(const char* table, int32_t count, unsigned rec_size, const void* recs) override {
        return qse::add_records(c_, table, count, rec_size, recs);
    }
    bool info(unsigned attr, std::string& out) override;
    int cancel() override {
        if (c_->db) sqlite3_interrupt(c_->db);
        return 0;
    }

private:
    Conn* c_;
};

bool SqliteBackend::info(unsigned attr, std::string& out) {
    switch (attr) {
    case QSCLI_CONN_SRV_VERS2: out = std::string("SQLite ") + sqlite3_libversion(); return true;
    case QSCLI_CONN_RMTADDR: out = "in-process"; return true;
    case QSCLI_CONN_LCLADDR: out = local_host_pid(); return true;
    default: return false;
    }
}

}  // namespace

std::string local_host_pid() {
    char host[64] = {0};
    if (gethostname(host, sizeof host - 1) != 0 || !*host) std::strcpy(host, "localhost");
    return utf8_to_cp866_lossy(host) + " pid " + std::to_string(getpid());
}

int open_sqlite(Conn* c, const std::string& path, std::unique_ptr<Backend>* out) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
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
            // Pages read through a mapping: no read call per statement.
            sqlite3_exec(db, "pragma mmap_size = 268435456", nullptr, nullptr, nullptr);
        }
    }
    c->db = db;
    if (rc == SQLITE_OK) rc = install_functions(c);
    if (rc != SQLITE_OK) {
        int code = c->fail_sqlite(rc);
        c->close_db();
        return code;
    }
    out->reset(new SqliteBackend(c));
    return 0;
}

}  // namespace qse
