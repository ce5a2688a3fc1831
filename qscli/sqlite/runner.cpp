// Running a prepared statement: a result set is stepped to its end at once
// and kept as packed records, so the record count is exact before the first
// read and a value that does not fit its column fails the statement itself.
// Columns of a variable or unknown width are staged first and packed once
// their widths are known.
#include "lexer.h"
#include "result.h"
#include "rows.h"
#include "stage.h"
#include "statement.h"

#include <cinttypes>

namespace qse {

namespace {

std::string column_label(sqlite3_stmt* s, int k) {
    const char* name = sqlite3_column_name(s, k);
    return std::string("column ") + (name ? name : "?") + ": ";
}

class Runner {
public:
    Runner(Conn* c, Stmt* st, sqlite3_stmt* s, StmtCache::Entry* entry = nullptr)
        : c_(c), st_(st), s_(s), entry_(entry), plans_(entry ? entry->plans : own_), packer_(st) {}

    int run();

private:
    int fail_step(int rc) { return db_of(c_)->fail_sqlite(rc); }
    int fail_value(int k, const std::string& why) {
        return c_->fail(QSCLI_E_MISMATCH, column_label(s_, k) + why);
    }
    int fail_store() { return c_->fail(QSCLI_E_IO, "cannot keep the result records"); }
    int describe_columns();
    int step_direct(int rc);
    int step_staged(int rc);
    int stage_value(int k, Plan& pl, std::string& row);
    int pack_staged(RecordStore& staged);
    int finish_layout();
    bool streams() const;
    int stream(int rc);
    void returned_changes();

    Conn* c_;
    Stmt* st_;
    sqlite3_stmt* s_;
    StmtCache::Entry* entry_;
    std::vector<Plan> own_;
    std::vector<Plan>& plans_;
    RecordPacker packer_;
    int ncols_ = 0;
    bool staged_ = false;
};

int Runner::describe_columns() {
    plans_.assign(static_cast<size_t>(ncols_), Plan());
    st_->desc.assign(static_cast<size_t>(ncols_), ColStruct_t());
    for (int k = 0; k < ncols_; ++k) {
        Plan& pl = plans_[k];
        const char* decl = sqlite3_column_decltype(s_, k);
        pl.e = map_decltype(decl);
        if (pl.e.int64 && st_->int64) pl.e.type = QSCLI_ET_INT64;
        pl.type = pl.e.infer ? QSCLI_ET_LONG : pl.e.type;
        pl.len = pl.e.len;
        if (pl.e.var || pl.e.infer) staged_ = true;

        ColStruct_t& d = st_->desc[k];
        std::memset(&d, 0, sizeof d);
        const char* name = sqlite3_column_name(s_, k);
        const char* origin = sqlite3_column_origin_name(s_, k);
        if (origin) {
            copy_name(d.fname, utf8_to_cp866_lossy(origin));
            if (name && sqlite3_stricmp(name, origin) != 0) copy_name(d.asname, utf8_to_cp866_lossy(name));
        } else {
            copy_name(d.fname, utf8_to_cp866_lossy(name));
            d.func = 1;
        }
        if (decl) copy_name(d.coder, utf8_to_cp866_lossy(decl));
        d.fieldno = k;
    }
    return 0;
}

int Runner::finish_layout() {
    for (int k = 0; k < ncols_; ++k) {
        Plan& pl = plans_[k];
        if (pl.e.infer) {
            if (pl.any_blob) pl.type = QSCLI_ET_ARRA;
            else if (pl.any_text) pl.type = QSCLI_ET_CHAR;
            else if (pl.any_big && !pl.any_float && st_->int64) pl.type = QSCLI_ET_INT64;
            else if (pl.any_float || pl.any_big) pl.type = QSCLI_ET_DFLT;
            else pl.type = QSCLI_ET_LONG;
            pl.len = natural_width(pl.type);
        }
        if ((pl.e.var || pl.e.infer) && (pl.type == QSCLI_ET_CHAR || pl.type == QSCLI_ET_ARRA))
            pl.len = pl.max_len > 0x7fffffffu ? 0x7fffffffu : (pl.max_len ? static_cast<uint32_t>(pl.max_len) : 1);
        ColStruct_t& d = st_->desc[k];
        d.type = pl.type;
        d.len = pl.len;
    }
    return packer_.lay_out(c_);
}

int Runner::step_direct(int rc) {
    if (int rc = finish_layout()) return rc;
    RecordStore& out = st_->records;
    std::string why;
    Value v;
    for (; rc == SQLITE_ROW; rc = sqlite3_step(s_)) {
        unsigned char* rec = packer_.new_record();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            fetch(s_, k, v);
            if (!packer_.put(k, v, rec, &why)) return fail_value(k, why);
        }
    }
    if (rc != SQLITE_DONE) return fail_step(rc);
    if (!out.finish()) return fail_store();
    return 0;
}

// Staged rows (stage.h): text of variable width already in CP866.
int Runner::stage_value(int k, Plan& pl, std::string& row) {
    Value v;
    fetch(s_, k, v);
    const bool var_char = pl.e.var && pl.e.type == QSCLI_ET_CHAR;
    if (v.kind != VKind::Null && (var_char || (pl.e.infer && v.kind == VKind::Text))) {
        // Text of a variable CHAR column (numbers as the database shows
        // them) or of an inferred one goes in as CP866: its width is what it
        // takes there.
        const unsigned char* p = sqlite3_column_text(s_, k);
        size_t n = static_cast<size_t>(sqlite3_column_bytes(s_, k));
        row.push_back(static_cast<char>(VKind::Text866));
        size_t at = row.size();
        row.append(4, '\0');
        TextStatus ts = utf8_to_cp866(p, n, row);
        if (ts != TextStatus::Ok) return fail_value(k, std::string("text ") + text_problem(ts));
        uint32_t len = static_cast<uint32_t>(row.size() - at - 4);
        std::memcpy(&row[at], &len, 4);
        if (len > pl.max_len) pl.max_len = len;
        pl.any_text = true;
        return 0;
    }
    if (v.kind != VKind::Null && pl.e.var) {  // variable ARRA: the bytes
        v.kind = VKind::Blob;
        v.p = static_cast<const unsigned char*>(sqlite3_column_blob(s_, k));
        v.n = static_cast<size_t>(sqlite3_column_bytes(s_, k));
        if (v.n > pl.max_len) pl.max_len = v.n;
    } else if (pl.e.infer) {
        if (v.kind == VKind::Int) {
            if (v.i < INT32_MIN || v.i > INT32_MAX) pl.any_big = true;
            unsigned w = digits_of(v.i);
            if (w > pl.max_len) pl.max_len = w;
        } else if (v.kind == VKind::Float) {
            pl.any_float = true;
            char buf[40];
            size_t w = render_number(v, buf, sizeof buf);
            if (w > pl.max_len) pl.max_len = w;
        } else if (v.kind == VKind::Blob) {
            pl.any_blob = true;
            if (v.n > pl.max_len) pl.max_len = v.n;
        }
    }
    qse::stage_value(v, row);
    return 0;
}


int Runner::pack_staged(RecordStore& staged) {
    if (int rc = finish_layout()) return rc;
    RecordStore& out = st_->records;
    StageReader in(staged);
    std::string why;
    for (uint64_t r = 0; r < st_->rows; ++r) {
        // SQLite is done here, so its interrupt no longer reaches this pass.
        if ((r & 1023) == 0 && c_->cancel_requested()) return c_->fail(QSCLI_E_INTERRUPTED, "interrupted");
        unsigned char* rec = packer_.new_record();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            Value v;
            if (!unstage_value(in, v)) return fail_store();
            if (!packer_.put(k, v, rec, &why)) return fail_value(k, why);
        }
    }
    if (!out.finish()) return fail_store();
    return 0;
}

int Runner::step_staged(int rc) {
    RecordStore staged;
    staged.reset(1);
    std::string row;
    uint64_t rows = 0;
    for (; rc == SQLITE_ROW; rc = sqlite3_step(s_)) {
        row.clear();
        for (int k = 0; k < ncols_; ++k)
            if (int rc = stage_value(k, plans_[k], row)) return rc;
        if (!staged.append_bytes(row.data(), row.size())) return fail_store();
        ++rows;
    }
    if (rc != SQLITE_DONE) return fail_step(rc);
    if (!staged.finish()) return fail_store();
    st_->rows = rows;
    return pack_staged(staged);
}

// A read-only query whose column types are all declared streams when asked
// to; one through the statement cache only, which lets its statement go.
bool Runner::streams() const {
    if (!st_->stream || !entry_ || !sqlite3_stmt_readonly(s_)) return false;
    for (const Plan& pl : plans_)
        if (pl.e.infer) return false;
    return true;
}

int Runner::stream(int rc) {
    for (int k = 0; k < ncols_; ++k) {
        const Plan& pl = plans_[k];
        ColStruct_t& d = st_->desc[k];
        d.type = pl.type;
        d.len = pl.e.var && (pl.type == QSCLI_ET_CHAR || pl.type == QSCLI_ET_ARRA) ? 0 : pl.len;
    }
    return stream_rows(c_, st_, s_, rc, entry_);
}

void Runner::returned_changes() {
    // Statements that change rows answer with the number of rows changed;
    // a cached statement keeps which kind it is.
    int kind = entry_ ? entry_->changes_kind : -1;
    if (kind < 0) {
        const char* sql = sqlite3_stmt_readonly(s_) ? nullptr : sqlite3_sql(s_);
        const std::string first = sql ? first_word(Dialect::Engine, sql, sql + std::strlen(sql)) : std::string();
        kind = first == "insert" || first == "replace"                   ? 1
               : first == "update" || first == "delete" || first == "with" ? 2
                                                                           : 0;
        if (entry_) entry_->changes_kind = kind;
    }
    if (!kind) return;
    const bool inserts = kind == 1;
    int64_t n = sqlite3_changes64(db_of(c_)->db);
    st_->changes = n;
    st_->last_rowid = inserts && n > 0 ? sqlite3_last_insert_rowid(db_of(c_)->db) : 0;
    if (n >= INT32_MIN && n <= INT32_MAX) {
        int32_t v = static_cast<int32_t>(n);
        st_->rc_type = QSCLI_ET_LONG;
        st_->rc_body.assign(reinterpret_cast<unsigned char*>(&v), reinterpret_cast<unsigned char*>(&v) + 4);
    } else {
        double d = static_cast<double>(n);
        st_->rc_type = QSCLI_ET_DFLT;
        st_->rc_body.assign(reinterpret_cast<unsigned char*>(&d), reinterpret_cast<unsigned char*>(&d) + 8);
    }
}

int Runner::run() {
    // Columns are described after the first step: a cached statement is
    // prepared afresh there when the schema changed since (select * then
    // has other columns).
    int rc = sqlite3_step(s_);
    ncols_ = sqlite3_column_count(s_);
    if (ncols_ == 0) {
        while (rc == SQLITE_ROW) rc = sqlite3_step(s_);
        if (rc != SQLITE_DONE) return fail_step(rc);
        returned_changes();
        return 0;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail_step(rc);
    const int prepared = sqlite3_stmt_status(s_, SQLITE_STMTSTATUS_REPREPARE, 0);
    if (entry_ && entry_->described_at == prepared && entry_->described_int64 == st_->int64 &&
        plans_.size() == static_cast<size_t>(ncols_)) {
        st_->desc.assign(entry_->desc.begin(), entry_->desc.end());
        staged_ = entry_->staged;
        if (staged_)
            for (Plan& pl : plans_) pl.max_len = 0, pl.any_text = pl.any_blob = pl.any_float = pl.any_big = false;
    } else {
        describe_columns();
        if (entry_) {
            entry_->described_at = prepared;
            entry_->described_int64 = st_->int64;
            entry_->staged = staged_;
            entry_->desc = st_->desc;
        }
    }
    if (streams()) return stream(rc);
    rc = staged_ ? step_staged(rc) : step_direct(rc);
    if (rc) {
        st_->clear_result();
        return rc;
    }
    if (!staged_) st_->rows = st_->records.count();
    if (st_->rows > static_cast<uint64_t>(INT32_MAX)) {
        st_->clear_result();
        return c_->fail(QSCLI_E_TOOBIG, "result has more than 2147483647 records");
    }
    st_->ncols = ncols_;
    st_->results = true;
    st_->sab_type = 1;
    returned_changes();
    return 0;
}

}  // namespace

int run_prepared(Conn* c, Stmt* st, sqlite3_stmt* s, StmtCache::Entry* entry) {
    if (!sqlite3_stmt_readonly(s))
        if (int rc = check_writes(db_of(c), s, entry)) return rc;
    return Runner(c, st, s, entry).run();
}

}  // namespace qse
