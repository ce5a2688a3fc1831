// A query's rows on SQLite as a RowSource: stepped as the common builder
// reads them, whether it reads them all at once or a batch at a time.
#include "rows.h"

namespace qse {

namespace {

class SqliteRows : public RowSource {
public:
    SqliteRows(Conn* c, sqlite3_stmt* s, int first_rc) : c_(c), s_(s), first_rc_(first_rc) {}
    ~SqliteRows() override { close(); }

    int next(std::vector<Value>& row) override {
        if (!s_) return 0;
        const int rc = stepped_ ? sqlite3_step(s_) : first_rc_;
        stepped_ = true;
        if (rc == SQLITE_DONE) return 0;
        if (rc != SQLITE_ROW) return db_of(c_)->fail_sqlite(rc);
        for (size_t k = 0; k < row.size(); ++k) fetch(s_, static_cast<int>(k), row[k]);
        return 1;
    }
    // A statement still in the cache is reset by the cache as the execute
    // ends; one taken from it goes now (its read transaction with it).
    void close() override {
        if (s_ && owned_) sqlite3_finalize(s_);
        s_ = nullptr;
    }
    bool take_over(StmtCache::Entry* e) {
        sqlite3_stmt* fresh = nullptr;
        if (sqlite3_prepare_v3(db_of(c_)->db, sqlite3_sql(s_), -1, SQLITE_PREPARE_PERSISTENT, &fresh, nullptr) !=
                SQLITE_OK ||
            !fresh) {
            sqlite3_finalize(fresh);
            return false;
        }
        e->stmt = fresh;
        e->described_at = -1;
        owned_ = true;
        return true;
    }

private:
    Conn* c_;
    sqlite3_stmt* s_;
    int first_rc_;
    bool stepped_ = false;
    bool owned_ = false;
};

}  // namespace

int read_rows(Conn* c, Stmt* st, sqlite3_stmt* s, int first_rc, const ResultColumns& cols, bool stream,
              StmtCache::Entry* entry) {
    st->names = cols.names;
    if (!stream) {
        SqliteRows rows(c, s, first_rc);
        return read_result(c, st, rows, cols.desc, cols.inferred);
    }
    std::unique_ptr<SqliteRows> rows(new SqliteRows(c, s, first_rc));
    st->desc = cols.desc;
    SqliteRows* held = rows.get();
    st->source = std::move(rows);
    if (int rc = stream_start(c, st)) return rc;
    // Rows still to come keep the running statement; the cache gets a fresh
    // one. Should that fail, the rest is read now, as without streaming.
    if (st->source && !held->take_over(entry)) stream_drain(c, st);
    return 0;
}

}  // namespace qse
