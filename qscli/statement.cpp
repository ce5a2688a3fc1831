// Running one statement text: the engine's own statements (err_to_user,
// named transactions, return, QXTBLSTRUCT) and everything SQLite runs. A
// result set is stepped to its end at once and kept as packed records, so
// the record count is exact before the first read and a value that does not
// fit its column fails the statement itself.
#include "engine.h"

#include <array>
#include <cinttypes>
#include <cstdio>

namespace qse {

// ---- statement cache ----

uint64_t StmtCache::hash_of(const char* s, size_t n) {
    // Eight bytes a step; only this process compares the hashes.
    uint64_t h = 1469598103934665603ull ^ n;
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t w;
        std::memcpy(&w, s + k, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, s + k, n - k);
    h = (h ^ tail) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
}

StmtCache::Entry* StmtCache::checkout(const char* s, size_t n, uint64_t h) {
    for (auto& e : entries_) {
        if (e->hash == h && !e->out && e->key.size() == n && std::memcmp(e->key.data(), s, n) == 0) {
            e->out = true;
            e->used = ++clock_;
            return e.get();
        }
    }
    return nullptr;
}

StmtCache::Entry* StmtCache::add(const char* s, size_t n, uint64_t h, sqlite3_stmt* st) {
    Entry* slot = nullptr;
    if (entries_.size() < CAPACITY) {
        entries_.emplace_back(new Entry);
        slot = entries_.back().get();
    } else {
        for (auto& e : entries_)
            if (!e->out && (!slot || e->used < slot->used)) slot = e.get();
        if (!slot) return nullptr;
        sqlite3_finalize(slot->stmt);
        *slot = Entry();
    }
    slot->key.assign(s, n);
    slot->hash = h;
    slot->stmt = st;
    slot->out = true;
    slot->used = ++clock_;
    return slot;
}

void StmtCache::checkin(Entry* e) {
    sqlite3_reset(e->stmt);
    e->out = false;
}

void StmtCache::clear() {
    for (auto& e : entries_) sqlite3_finalize(e->stmt);
    entries_.clear();
}

void Stmt::clear_result() {
    ncols = QSCLI_RES_NONE;
    rows = 0;
    rec_size = 0;
    results = false;
    sab_type = 0;
    desc.clear();
    records.clear();
    rc_type = QSCLI_RES_NONE;
    rc_body.clear();
}

namespace {

enum Kind { K_PLAIN = 0, K_RETURN = 1 };


const char* skip_space(const char* p, const char* e) {
    while (p < e && is_space(*p)) ++p;
    return p;
}

// Case-insensitive keyword at p followed by a non-word character.
bool keyword(const char*& p, const char* e, const char* kw) {
    size_t n = std::strlen(kw);
    if (static_cast<size_t>(e - p) < n || sqlite3_strnicmp(p, kw, static_cast<int>(n)) != 0) return false;
    if (p + n < e && is_word(p[n])) return false;
    p += n;
    return true;
}

std::string quote_literal(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += '\'';
        q += c;
    }
    return q + "'";
}

std::string to_utf8(const char* p, size_t n) {
    std::string out;
    cp866_to_utf8(reinterpret_cast<const unsigned char*>(p), n, out);
    return out;
}

// Text without its trailing blanks and semicolons.
const char* trim_end(const char* b, const char* e) {
    while (e > b && (is_space(e[-1]) || e[-1] == ';')) --e;
    return e;
}

int exec_simple(Conn* c, const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(c->db, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        return c->fail(-(rc & 0xff), msg);
    }
    return 0;
}

// ---- err_to_user(N); ----

int run_err_to_user(Conn* c, const char* p, const char* e) {
    p = skip_space(p, e);
    if (p < e && *p == '(') {
        ++p;
        p = skip_space(p, e);
        bool neg = p < e && *p == '-';
        if (neg) ++p;
        long v = 0;
        const char* d = p;
        while (p < e && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
        p = skip_space(p, e);
        if (p > d && p < e && *p == ')' && trim_end(p + 1, e) == p + 1) {
            c->err_to_user = v != 0;
            (void)neg;
            return 0;
        }
    }
    return c->fail(-SQLITE_ERROR, "syntax: err_to_user(0|1);");
}

// ---- named transactions ----

int forget_finished(Conn* c) {
    // A transaction ended by plain SQL takes its names with it (one that an
    // error rolled back keeps them until they are ended).
    if (sqlite3_get_autocommit(c->db) && c->lost.empty()) c->transactions.clear();
    return 0;
}

bool read_name(const char*& p, const char* e, std::string& name) {
    p = skip_space(p, e);
    const char* s = p;
    while (p < e && !is_space(*p) && *p != ';') ++p;
    name.assign(s, p);
    return !name.empty();
}

int run_begin(Conn* c, const char* p, const char* e) {
    std::string name;
    if (!read_name(p, e, name)) return c->fail(-SQLITE_ERROR, "syntax: begin work NAME table A, B;");
    if (!c->lost.empty()) return refuse_lost(c);
    // The table list names what the transaction works on; the database
    // locks as a whole, so it needs no further handling.
    forget_finished(c);
    std::string uname = to_utf8(name.data(), name.size());
    bool outer = sqlite3_get_autocommit(c->db) != 0;
    int rc = exec_simple(c, outer ? "BEGIN IMMEDIATE" : "SAVEPOINT " + quote_ident(uname));
    if (rc) return rc;
    c->transactions.push_back({uname, outer});
    return 0;
}

int run_end(Conn* c, const char* p, const char* e, bool commit) {
    std::string name;
    if (!read_name(p, e, name))
        return c->fail(-SQLITE_ERROR, commit ? "syntax: commit work NAME;" : "syntax: rollback work NAME;");
    forget_finished(c);
    std::string uname = to_utf8(name.data(), name.size());
    size_t at = c->transactions.size();
    for (size_t k = c->transactions.size(); k-- > 0;) {
        if (sqlite3_stricmp(c->transactions[k].name.c_str(), uname.c_str()) == 0) {
            at = k;
            break;
        }
    }
    if (at == c->transactions.size())
        return c->fail(E_NO_TRANSACTION, "transaction " + uname + " does not exist");
    if (!c->lost.empty()) {
        // Already rolled back: ending it is all that is left; a commit
        // reports that nothing of it was kept.
        c->transactions.resize(at);
        std::string why = c->lost;
        if (c->transactions.empty()) c->lost.clear();
        return commit ? c->fail(-SQLITE_ABORT, "transaction " + uname + " was rolled back: " + why) : 0;
    }
    std::string sql;
    if (c->transactions[at].outer) {
        sql = commit ? "COMMIT" : "ROLLBACK";
    } else {
        std::string q = quote_ident(uname);
        sql = commit ? "RELEASE " + q : "ROLLBACK TO " + q + "; RELEASE " + q;
    }
    int rc = exec_simple(c, sql);
    if (rc) return rc;
    c->transactions.resize(at);
    return 0;
}

// ---- QXTBLSTRUCT("T") ----

// Replaces every QXTBLSTRUCT("T") (or 'T') in `sql` by a query over the
// table's fields: table, field number, name, element type, length, offset
// in the record, declared type. Sets *missing to the first table that does
// not exist.
bool rewrite_tblstruct(sqlite3* db, std::string& sql, std::string* missing) {
    static const char WORD[] = "qxtblstruct";
    const size_t wl = sizeof WORD - 1;
    bool changed = false;
    size_t from = 0;
    for (;;) {
        size_t i = std::string::npos;
        for (size_t k = from; k + wl <= sql.size(); ++k) {
            if (sqlite3_strnicmp(sql.data() + k, WORD, static_cast<int>(wl)) == 0 &&
                (k == 0 || !is_word(sql[k - 1]))) {
                i = k;
                break;
            }
        }
        if (i == std::string::npos) return changed;
        const char* b = sql.data();
        const char* e = b + sql.size();
        const char* p = skip_space(b + i + wl, e);
        from = i + wl;
        if (p >= e || *p != '(') continue;
        p = skip_space(p + 1, e);
        if (p >= e || (*p != '"' && *p != '\'')) continue;
        char q = *p++;
        std::string name;
        bool closed = false;
        while (p < e) {
            if (*p == q) {
                if (p + 1 < e && p[1] == q) {
                    name += q;
                    p += 2;
                    continue;
                }
                closed = true;
                ++p;
                break;
            }
            name += *p++;
        }
        if (!closed) continue;
        p = skip_space(p, e);
        if (p >= e || *p != ')') continue;
        ++p;
        if (missing->empty() &&
            sqlite3_table_column_metadata(db, nullptr, name.c_str(), nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr) != SQLITE_OK)
            *missing = name;
        std::string lit = quote_literal(name);
        std::string sub =
            "(select " + lit +
            " as tbl, cid as fieldno, name as fname, qx_type(type) as type, qx_len(type) as len, "
            "coalesce(sum(qx_len(type)) over (order by cid rows between unbounded preceding and 1 "
            "preceding), 0) as off, type as decl from pragma_table_info(" +
            lit + ") order by cid)";
        size_t end = static_cast<size_t>(p - b);
        sql.replace(i, end - i, sub);
        from = i + sub.size();
        changed = true;
    }
}

// ---- running a prepared statement ----



inline void fetch(sqlite3_stmt* s, int k, Value& v) {
    switch (sqlite3_column_type(s, k)) {
    case SQLITE_INTEGER:
        v.kind = VKind::Int;
        v.i = sqlite3_column_int64(s, k);
        break;
    case SQLITE_FLOAT:
        v.kind = VKind::Float;
        v.d = sqlite3_column_double(s, k);
        break;
    case SQLITE_TEXT:
        v.kind = VKind::Text;
        v.p = sqlite3_column_text(s, k);
        v.n = static_cast<size_t>(sqlite3_column_bytes(s, k));
        break;
    case SQLITE_BLOB:
        v.kind = VKind::Blob;
        v.p = static_cast<const unsigned char*>(sqlite3_column_blob(s, k));
        v.n = static_cast<size_t>(sqlite3_column_bytes(s, k));
        break;
    default: v.kind = VKind::Null;
    }
}

unsigned digits_of(int64_t i) {
    uint64_t u = i < 0 ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
    unsigned n = i < 0 ? 2 : 1;
    while (u >= 10) {
        u /= 10;
        ++n;
    }
    return n;
}

std::string column_label(sqlite3_stmt* s, int k) {
    const char* name = sqlite3_column_name(s, k);
    return std::string("column ") + (name ? name : "?") + ": ";
}

void copy_name(char* dst, const std::string& cp866) {
    // 31 bytes and a NUL at most: CP866 is one byte a character, so the cut
    // never splits one.
    size_t n = cp866.size() < 31 ? cp866.size() : 31;
    std::memcpy(dst, cp866.data(), n);
    dst[n] = 0;
}

class Runner {
public:
    Runner(Conn* c, Stmt* st, sqlite3_stmt* s, StmtCache::Entry* entry = nullptr)
        : c_(c), st_(st), s_(s), entry_(entry), plans_(entry ? entry->plans : own_) {}

    int run();

private:
    int fail_step(int rc) { return c_->fail_sqlite(rc); }
    int fail_value(int k, const std::string& why) {
        return c_->fail(E_MISMATCH, column_label(s_, k) + why);
    }
    int fail_store() { return c_->fail(-SQLITE_IOERR, "cannot keep the result records"); }
    int describe_columns();
    int step_direct(int rc);
    int step_staged(int rc);
    int stage_value(int k, Plan& pl, std::string& row);
    int pack_staged(RecordStore& staged);
    int finish_layout();
    void returned_changes();

    Conn* c_;
    Stmt* st_;
    sqlite3_stmt* s_;
    StmtCache::Entry* entry_;
    std::vector<Plan> own_;
    std::vector<Plan>& plans_;
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
    uint64_t off = 0;
    for (int k = 0; k < ncols_; ++k) {
        Plan& pl = plans_[k];
        if (pl.e.infer) {
            if (pl.any_blob) pl.type = QSCLI_ET_ARRA;
            else if (pl.any_text) pl.type = QSCLI_ET_CHAR;
            else if (pl.any_float || pl.any_big) pl.type = QSCLI_ET_DFLT;
            else pl.type = QSCLI_ET_LONG;
            pl.len = natural_width(pl.type);
        }
        if ((pl.e.var || pl.e.infer) && (pl.type == QSCLI_ET_CHAR || pl.type == QSCLI_ET_ARRA))
            pl.len = pl.max_len ? static_cast<uint32_t>(pl.max_len) : 1;
        pl.off = static_cast<uint32_t>(off);
        off += pl.len;
        if (off > 0x7fffffffu)
            return c_->fail(-SQLITE_TOOBIG, "result records would exceed 2147483647 bytes");
        ColStruct_t& d = st_->desc[k];
        d.type = pl.type;
        d.len = pl.len;
        d.off = pl.off;
    }
    st_->rec_size = static_cast<uint32_t>(off);
    return 0;
}

int Runner::step_direct(int rc) {
    if (finish_layout()) return -1;
    RecordStore& out = st_->records;
    out.reset(st_->rec_size);
    std::string why;
    Value v;
    for (; rc == SQLITE_ROW; rc = sqlite3_step(s_)) {
        unsigned char* rec = out.append();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            const Plan& pl = plans_[k];
            fetch(s_, k, v);
            if (pack_value(pl.type, pl.len, v, rec + pl.off, &why)) return fail_value(k, why);
        }
    }
    if (rc != SQLITE_DONE) return fail_step(rc);
    if (!out.finish()) return fail_store();
    return 0;
}

// Staged rows: per column a tag byte, then 8 bytes of number or a 4-byte
// length and the bytes (text already in CP866).
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
            sqlite3_snprintf(sizeof buf, buf, "%!.15g", v.d);
            size_t w = std::strlen(buf);
            if (w > pl.max_len) pl.max_len = w;
        } else if (v.kind == VKind::Blob) {
            pl.any_blob = true;
            if (v.n > pl.max_len) pl.max_len = v.n;
        }
    }
    row.push_back(static_cast<char>(v.kind));
    switch (v.kind) {
    case VKind::Int: row.append(reinterpret_cast<const char*>(&v.i), 8); break;
    case VKind::Float: row.append(reinterpret_cast<const char*>(&v.d), 8); break;
    case VKind::Text:
    case VKind::Text866:
    case VKind::Blob: {
        uint32_t n = static_cast<uint32_t>(v.n);
        row.append(reinterpret_cast<const char*>(&n), 4);
        if (n) row.append(reinterpret_cast<const char*>(v.p), n);
        break;
    }
    default: break;
    }
    return 0;
}

// Reads staged rows back in order through a window.
class StageReader {
public:
    explicit StageReader(RecordStore& s) : s_(s), total_(s.count()) {}
    const unsigned char* take(size_t n) {
        if (len_ - at_ < n) {
            if (len_ > at_) std::memmove(win_.data(), win_.data() + at_, len_ - at_);
            len_ -= at_;
            at_ = 0;
            uint64_t left_all = total_ - pos_ + len_;
            size_t want = left_all < (1u << 20) ? static_cast<size_t>(left_all) : (1u << 20);
            if (want < n) want = n;
            if (win_.size() < want) win_.resize(want);
            uint64_t left = total_ - pos_;
            size_t room = win_.size() - len_;
            size_t get = left < room ? static_cast<size_t>(left) : room;
            if (get) {
                int64_t got = s_.read(pos_, win_.data() + len_, get);
                if (got != static_cast<int64_t>(get)) return nullptr;
                pos_ += get;
                len_ += get;
            }
            if (len_ < n) return nullptr;
        }
        const unsigned char* p = win_.data() + at_;
        at_ += n;
        return p;
    }

private:
    RecordStore& s_;
    uint64_t total_;
    uint64_t pos_ = 0;
    std::vector<unsigned char> win_;
    size_t at_ = 0, len_ = 0;
};

int Runner::pack_staged(RecordStore& staged) {
    if (finish_layout()) return -1;
    RecordStore& out = st_->records;
    out.reset(st_->rec_size);
    StageReader in(staged);
    std::string why;
    for (uint64_t r = 0; r < st_->rows; ++r) {
        unsigned char* rec = out.append();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            const Plan& pl = plans_[k];
            const unsigned char* t = in.take(1);
            if (!t) return fail_store();
            Value v;
            v.kind = static_cast<VKind>(*t);
            if (v.kind == VKind::Int || v.kind == VKind::Float) {
                const unsigned char* b = in.take(8);
                if (!b) return fail_store();
                if (v.kind == VKind::Int) std::memcpy(&v.i, b, 8);
                else std::memcpy(&v.d, b, 8);
            } else if (v.kind != VKind::Null) {
                const unsigned char* b = in.take(4);
                if (!b) return fail_store();
                uint32_t n;
                std::memcpy(&n, b, 4);
                v.n = n;
                v.p = n ? in.take(n) : b;
                if (!v.p) return fail_store();
            }
            if (pack_value(pl.type, pl.len, v, rec + pl.off, &why)) return fail_value(k, why);
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
            if (stage_value(k, plans_[k], row)) return -1;
        if (!staged.append_bytes(row.data(), row.size())) return fail_store();
        ++rows;
    }
    if (rc != SQLITE_DONE) return fail_step(rc);
    if (!staged.finish()) return fail_store();
    st_->rows = rows;
    return pack_staged(staged);
}

void Runner::returned_changes() {
    // Statements that change rows answer with the number of rows changed.
    if (sqlite3_stmt_readonly(s_)) return;
    const char* sql = sqlite3_sql(s_);
    if (!sql) return;
    const char* p = skip_space(sql, sql + std::strlen(sql));
    const char* e = p + std::strlen(p);
    const char* q = p;
    if (!(keyword(q, e, "insert") || keyword(q, e, "update") || keyword(q, e, "delete") ||
          keyword(q, e, "replace") || keyword(q, e, "with")))
        return;
    int64_t n = sqlite3_changes64(c_->db);
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
    if (entry_ && entry_->described_at == prepared && plans_.size() == static_cast<size_t>(ncols_)) {
        st_->desc.assign(entry_->desc.begin(), entry_->desc.end());
        staged_ = entry_->staged;
        if (staged_)
            for (Plan& pl : plans_) pl.max_len = 0, pl.any_text = pl.any_blob = pl.any_float = pl.any_big = false;
    } else {
        describe_columns();
        if (entry_) {
            entry_->described_at = prepared;
            entry_->staged = staged_;
            entry_->desc = st_->desc;
        }
    }
    rc = staged_ ? step_staged(rc) : step_direct(rc);
    if (rc) {
        st_->clear_result();
        return rc;
    }
    if (!staged_) st_->rows = st_->records.count();
    if (st_->rows > static_cast<uint64_t>(INT32_MAX)) {
        st_->clear_result();
        return c_->fail(-SQLITE_TOOBIG, "result has more than 2147483647 records");
    }
    st_->ncols = ncols_;
    st_->results = true;
    st_->sab_type = 1;
    returned_changes();
    return 0;
}

// ---- return EXPR [as TYPE]; ----

// Splits "EXPR as TYPE" at a trailing type; false when there is none.
bool split_return_type(const char* b, const char* e, const char** expr_end, ElemType* type) {
    const char* t = e;
    if (t > b && t[-1] == ')') {
        const char* q = t - 1;
        while (q > b && q[-1] != '(') {
            if (!(is_space(q[-1]) || (q[-1] >= '0' && q[-1] <= '9'))) return false;
            --q;
        }
        if (q == b) return false;
        t = q - 1;
        while (t > b && is_space(t[-1])) --t;
    }
    const char* w = t;
    while (w > b && is_word(w[-1])) --w;
    if (w == t) return false;
    const char* a = w;
    if (a == b || !is_space(a[-1])) return false;
    while (a > b && is_space(a[-1])) --a;
    if (a - b < 2 || sqlite3_strnicmp(a - 2, "as", 2) != 0) return false;
    const char* x = a - 2;
    if (x == b || !is_space(x[-1])) return false;
    if (!parse_type_name(w, static_cast<size_t>(e - w), type)) return false;
    *expr_end = x;
    return true;
}

int run_return(Conn* c, Stmt* st, sqlite3_stmt* s, const StmtCache::Entry& how) {
    if (sqlite3_column_count(s) != 1) return c->fail(-SQLITE_ERROR, "return takes exactly one value");
    int rc = sqlite3_step(s);
    Value v;
    if (rc == SQLITE_ROW) fetch(s, 0, v);
    else if (rc != SQLITE_DONE) return c->fail_sqlite(rc);
    int type;
    uint32_t len = 0;
    bool var = true;
    if (how.ret_typed) {
        type = how.ret.type;
        var = how.ret.var;
        len = how.ret.len;
    } else {
        switch (v.kind) {
        case VKind::Null: return 0;  // no value to return
        case VKind::Int: type = (v.i >= INT32_MIN && v.i <= INT32_MAX) ? QSCLI_ET_LONG : QSCLI_ET_DFLT; break;
        case VKind::Float: type = QSCLI_ET_DFLT; break;
        case VKind::Text: type = QSCLI_ET_CHAR; break;
        default: type = QSCLI_ET_ARRA; break;
        }
    }
    std::string why;
    std::vector<unsigned char> body;
    if (type == QSCLI_ET_CHAR) {
        // Text and a NUL; a declared length only bounds it.
        std::string text;
        if (v.kind == VKind::Text || v.kind == VKind::Blob) {
            TextStatus ts = utf8_to_cp866(v.p, v.n, text);
            if (ts != TextStatus::Ok) return c->fail(E_MISMATCH, std::string("return value: text ") + text_problem(ts));
        } else if (v.kind != VKind::Null) {
            const unsigned char* p = sqlite3_column_text(s, 0);
            text.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(s, 0)));
        }
        if (!var && text.size() > len)
            return c->fail(E_MISMATCH, "return value: text is longer than CHAR(" + std::to_string(len) + ")");
        body.assign(text.begin(), text.end());
        body.push_back(0);
    } else if (type == QSCLI_ET_ARRA) {
        size_t n = 0;
        const unsigned char* p = nullptr;
        if (v.kind != VKind::Null) {
            p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 0));
            n = static_cast<size_t>(sqlite3_column_bytes(s, 0));
        }
        if (!var && n > len)
            return c->fail(E_MISMATCH, "return value: bytes are longer than BINARY(" + std::to_string(len) + ")");
        body.assign(p, p + n);
        if (!var) body.resize(len, 0);
        if (body.empty()) body.push_back(0);
    } else {
        body.resize(natural_width(type));
        if (pack_value(type, static_cast<uint32_t>(body.size()), v, body.data(), &why))
            return c->fail(E_MISMATCH, "return value: " + why);
    }
    st->rc_type = type;
    st->rc_body.swap(body);
    return 0;
}

// Runs a text whose literals became parameters; false when its prepared
// form does not take them (the caller then runs the text as it came).
bool run_parameterized(Conn* c, Stmt* st, const std::string& key, const std::vector<Literal>& lits, int* rc) {
    uint64_t h = StmtCache::hash_of(key.data(), key.size());
    StmtCache::Entry* e = c->cache.checkout(key.data(), key.size(), h);
    sqlite3_stmt* s = e ? e->stmt : nullptr;
    if (!e) {
        std::string text = to_utf8(key.data(), key.size());
        if (sqlite3_prepare_v3(c->db, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &s,
                               nullptr) != SQLITE_OK)
            return false;  // the error is reported for the text as it came
        if (!s || sqlite3_bind_parameter_count(s) != static_cast<int>(lits.size())) {
            sqlite3_finalize(s);
            return false;
        }
        e = c->cache.add(key.data(), key.size(), h, s);
    }
    std::string utf8;
    for (size_t k = 0; k < lits.size(); ++k) {
        int i = static_cast<int>(k) + 1;
        if (lits[k].text) {
            utf8.clear();
            cp866_to_utf8(reinterpret_cast<const unsigned char*>(lits[k].s.data()), lits[k].s.size(), utf8);
            sqlite3_bind_text(s, i, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(s, i, lits[k].i);
        }
    }
    *rc = Runner(c, st, s, e).run();
    sqlite3_clear_bindings(s);
    release_cached(c, s, e);
    return true;
}

// Prepares and runs every statement of a text that SQLite runs; a text of
// one statement goes through the cache.
int run_sql(Conn* c, Stmt* st, const char* sql, size_t n) {
    {
        std::string key;
        std::vector<Literal> lits;
        int rc;
        if (parameterize(sql, n, key, lits) && run_parameterized(c, st, key, lits, &rc)) return rc;
    }
    uint64_t h = StmtCache::hash_of(sql, n);
    StmtCache::Entry* e = c->cache.checkout(sql, n, h);
    if (e) {
        int rc = e->kind == K_RETURN ? run_return(c, st, e->stmt, *e) : Runner(c, st, e->stmt, e).run();
        c->cache.checkin(e);
        return rc;
    }

    StmtCache::Entry how;
    const char* b = skip_space(sql, sql + n);
    const char* end = sql + n;
    std::string text;
    const char* q = b;
    if (keyword(q, end, "return")) {
        const char* xe = trim_end(q, end);
        const char* expr_end = xe;
        how.kind = K_RETURN;
        how.ret_typed = split_return_type(q, xe, &expr_end, &how.ret);
        text = "select " + to_utf8(q, static_cast<size_t>(expr_end - q));
    } else {
        text = to_utf8(sql, n);
    }
    std::string missing;
    bool cacheable = !rewrite_tblstruct(c->db, text, &missing);
    if (!missing.empty()) return c->fail(-SQLITE_ERROR, "no such table: " + missing);

    const char* p = text.c_str();
    const char* tail = nullptr;
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(c->db, p, static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT, &s, &tail);
    if (rc != SQLITE_OK) return c->fail_sqlite(rc);
    bool more = tail && *skip_space(tail, text.c_str() + text.size());
    if (!more && s && cacheable) {
        e = c->cache.add(sql, n, h, s);
        if (e) {
            e->kind = how.kind;
            e->ret = how.ret;
            e->ret_typed = how.ret_typed;
            rc = e->kind == K_RETURN ? run_return(c, st, s, *e) : Runner(c, st, s, e).run();
            c->cache.checkin(e);
            return rc;
        }
    }
    // Several statements (or an uncached one): each in turn, the last one's
    // result stays.
    for (;;) {
        if (s) {
            st->clear_result();
            rc = how.kind == K_RETURN ? run_return(c, st, s, how) : Runner(c, st, s).run();
            sqlite3_finalize(s);
            s = nullptr;
            if (rc) return rc;
        }
        if (!tail || !*skip_space(tail, text.c_str() + text.size())) return 0;
        p = tail;
        rc = sqlite3_prepare_v2(c->db, p, -1, &s, &tail);
        if (rc != SQLITE_OK) return c->fail_sqlite(rc);
    }
}

}  // namespace

int note_lost(Conn* c, bool named, int code) {
    if (code && named && sqlite3_get_autocommit(c->db)) c->lost = c->last_error;
    return code;
}

int refuse_lost(Conn* c) {
    const std::string& name = c->transactions.front().name;
    return c->fail(-SQLITE_ABORT, "transaction " + name + " was rolled back (" + c->lost + "); rollback work " +
                                      name + " ends it");
}

namespace {

int dispatch(Conn* c, Stmt* st, const char* sql) {
    size_t n = std::strlen(sql);
    const char* e = sql + n;
    const char* p = skip_space(sql, e);
    // The engine's own statements are told apart by their first word.
    switch (p < e ? *p | 0x20 : 0) {
    case 'e': {
        const char* q = p;
        if (keyword(q, e, "err_to_user")) return run_err_to_user(c, q, e);
        break;
    }
    case 'b': case 'c': case 'r': {
        const char* q = p;
        int which = keyword(q, e, "begin") ? 0 : keyword(q, e, "commit") ? 1 : keyword(q, e, "rollback") ? 2 : -1;
        if (which >= 0) {
            const char* w = skip_space(q, e);
            if (keyword(w, e, "work")) {
                if (which == 0) return run_begin(c, w, e);
                return run_end(c, w, e, which == 1);
            }
        }
        break;
    }
    default: break;
    }
    if (!c->lost.empty()) return refuse_lost(c);
    return run_sql(c, st, sql, n);
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

namespace qse {

sqlite3_stmt* prepare_cached(Conn* c, const std::string& sql, StmtCache::Entry** entry) {
    uint64_t h = StmtCache::hash_of(sql.data(), sql.size());
    *entry = c->cache.checkout(sql.data(), sql.size(), h);
    if (*entry) return (*entry)->stmt;
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(c->db, sql.c_str(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
        c->fail_sqlite(rc);
        return nullptr;
    }
    *entry = c->cache.add(sql.data(), sql.size(), h, s);
    return s;
}

void release_cached(Conn* c, sqlite3_stmt* s, StmtCache::Entry* entry) {
    if (entry) c->cache.checkin(entry);
    else sqlite3_finalize(s);
}

}  // namespace qse
