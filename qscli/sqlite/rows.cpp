// A query's rows on SQLite as a RowSource: stepped as the common builder
// reads them, whether it reads them all at once or a batch at a time.
#include "rows.h"

#include "arrow.h"

#include <algorithm>

namespace qse {

namespace {

class SqliteRows : public RowSource {
public:
    // `st`: the streamed result's statement, whose rows may also go as
    // Arrow arrays; null for a result read whole.
    SqliteRows(Conn* c, sqlite3_stmt* s, int first_rc, const Stmt* st = nullptr)
        : c_(c), s_(s), first_rc_(first_rc), st_(st) {}
    ~SqliteRows() override { close(); }
    // The rows still to come, for the stream to hold.
    SqliteRows(SqliteRows&& from) noexcept
        : c_(from.c_), s_(from.s_), first_rc_(from.first_rc_), st_(from.st_), stepped_(from.stepped_),
          owned_(from.owned_), arrow_(std::move(from.arrow_)) {
        from.s_ = nullptr;
    }
    // Whether rows may remain: not ended, not failed.
    bool open() const { return s_ != nullptr; }

    int next(std::vector<Value>& row) override {
        const int rc = step();
        if (rc <= 0) return rc;
        for (size_t k = 0; k < row.size(); ++k) fetch(s_, static_cast<int>(k), row[k]);
        return 1;
    }
    // A statement still in the cache is reset by the cache as the execute
    // ends; one taken from it goes now (its read transaction with it).
    void close() override {
        if (s_ && owned_) sqlite3_finalize(s_);
        s_ = nullptr;
    }
    int arrow_schema(ArrowSchema* out) override {
        if (!s_ || !arrow()) return QSCLI_E_UNSUPPORTED;
        return arrow_->schema(out);
    }
    int arrow_batch(ArrowArray* out, uint64_t max_rows, uint64_t max_bytes, uint64_t* rows) override {
        out->release = nullptr;
        *rows = 0;
        if (!s_) return 0;
        if (!arrow()) return QSCLI_E_UNSUPPORTED;
        if (arrow_->begin(static_cast<int64_t>(std::min<uint64_t>(max_rows, 1u << 20))))
            return c_->fail(QSCLI_E_NOMEM, "out of memory");
        std::string why;
        while (static_cast<uint64_t>(arrow_->rows()) < max_rows && arrow_->bytes() < max_bytes) {
            const int rc = step();
            if (rc == 0) break;
            if (rc < 0) return rc;
            if (int code = arrow_->add(s_, &why)) return c_->fail(code, code == QSCLI_E_NOMEM ? "out of memory" : why);
        }
        *rows = static_cast<uint64_t>(arrow_->rows());
        if (*rows == 0) return 0;
        if (arrow_->finish(out)) return c_->fail(QSCLI_E_NOMEM, "out of memory");
        return 0;
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
    // 1 with a row current, 0 at the end (the statement let go: a step
    // after its end would run it again), or a code already reported.
    int step() {
        if (!s_) return 0;
        const int rc = stepped_ ? sqlite3_step(s_) : first_rc_;
        stepped_ = true;
        if (rc == SQLITE_ROW) return 1;
        if (rc != SQLITE_DONE) return db_of(c_)->fail_sqlite(rc);
        close();
        return 0;
    }
    // The Arrow form of the rows, for a statement whose records carry null
    // flags and the lengths of binary values (their NULLs and bytes are
    // then the same both ways); null without.
    SqliteArrow* arrow() {
        if (!st_ || st_->null_flags != 2 || !st_->names) return nullptr;
        if (!arrow_) arrow_.reset(new SqliteArrow(st_->streamed.columns, *st_->names));
        return arrow_.get();
    }

    Conn* c_;
    sqlite3_stmt* s_;
    int first_rc_;
    const Stmt* st_;
    bool stepped_ = false;
    bool owned_ = false;
    std::unique_ptr<SqliteArrow> arrow_;  // made when the rows are first asked for as Arrow
};

}  // namespace

int read_rows(Conn* c, Stmt* st, sqlite3_stmt* s, int first_rc, const ResultColumns& cols, bool stream,
              StmtCache::Entry* entry) {
    st->names = cols.names;
    if (!stream) {
        SqliteRows rows(c, s, first_rc);
        return read_result(c, st, rows, cols.desc, cols.inferred);
    }
    // The first batch is made from rows on the stack: a result that ends
    // there (every point query) makes no source to let go.
    SqliteRows rows(c, s, first_rc, st);
    if (int rc = stream_start(c, st, rows, cols.desc, entry->columns.plan)) return rc;
    if (!rows.open()) return 0;
    // Rows still to come keep the running statement; the cache gets a fresh
    // one (and fresh columns with it). Should that fail, the rest is read
    // now, as without streaming.
    st->streamed.columns = cols.desc;
    std::unique_ptr<SqliteRows> held(new SqliteRows(std::move(rows)));
    const bool taken = held->take_over(entry);
    st->source = std::move(held);
    if (!taken) stream_drain(c, st);
    return 0;
}

}  // namespace qse
