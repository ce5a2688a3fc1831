// Running one statement text on the server: the library's own statements
// (err_to_user, named transactions, return, QXTBLSTRUCT) and everything the
// server runs. Rows arrive one (or a chunk) at a time and are packed into
// the statement's record store at once, so the client holds one row of the
// server's and the store's budget of records; the record count is exact
// before the first read, as on SQLite.
#include "result.h"
#include "session.h"

#include <strings.h>

#include <algorithm>

namespace qse {
namespace pg {

namespace {

// UTF-8 characters in n bytes: a text's width in CP866.
uint64_t chars_of(const char* p, size_t n) {
    uint64_t c = 0;
    for (size_t k = 0; k < n; ++k) c += (static_cast<unsigned char>(p[k]) & 0xC0) != 0x80;
    return c;
}


constexpr uint32_t NULL_LEN = 0xFFFFFFFFu;

// Packs the rows of one result set as they arrive.
class Builder {
public:
    Builder(Session& s, Stmt* st) : s_(s), st_(st), packer_(st) {}
    bool started() const { return started_; }
    int begin(const pq::PGresult* res);
    int add(const pq::PGresult* res);
    int finish();

private:
    int fail_value(int k, const std::string& why) {
        return s_.c->fail(QSCLI_E_MISMATCH, "column " + names_[k] + ": " + why);
    }
    int fail_store() { return s_.c->fail(QSCLI_E_IO, "cannot keep the result records"); }
    int layout();
    int pack(int k, const char* p, size_t n, bool null, unsigned char* rec);
    int stage(const pq::PGresult* res, int r);
    int pack_staged();

    Session& s_;
    Stmt* st_;
    RecordPacker packer_;
    bool started_ = false;
    bool staged_ = false;
    int ncols_ = 0;
    std::vector<Column> cols_;
    std::vector<std::string> names_;  // UTF-8, for messages
    RecordStore stage_;
    uint64_t rows_ = 0;
    std::string scratch_, why_, row_, scratch_text_;
    Value scratch_v_;
};

int Builder::begin(const pq::PGresult* res) {
    started_ = true;
    const pq::Api& pq = s_.pq;
    ncols_ = pq.PQnfields(res);
    cols_.resize(static_cast<size_t>(ncols_));
    names_.resize(static_cast<size_t>(ncols_));
    st_->clear_result();
    st_->desc.assign(static_cast<size_t>(ncols_), ColStruct_t());
    for (int k = 0; k < ncols_; ++k) {
        pq::Oid table = pq.PQftable(res, k);
        Column& c = cols_[k];
        c = map_column(pq.PQftype(res, k), pq.PQfmod(res, k), table != 0, st_->int64);
        if (c.var || c.infer_int) staged_ = true;
        const char* name = pq.PQfname(res, k);
        names_[k] = name ? name : "?";
        ColStruct_t& d = st_->desc[k];
        std::memset(&d, 0, sizeof d);
        copy_name(d.fname, utf8_to_cp866_lossy(names_[k].c_str()));
        copy_name(d.coder, utf8_to_cp866_lossy(type_label(c.oid, c.mod).c_str()));
        d.fieldno = k;
        d.func = table == 0;
    }
    if (staged_) {
        stage_.reset(1);
        return 0;
    }
    return layout();
}

int Builder::layout() {
    for (int k = 0; k < ncols_; ++k) {
        Column& c = cols_[k];
        if (c.infer_int) {
            c.type = c.big ? QSCLI_ET_DFLT : QSCLI_ET_LONG;
            c.len = natural_width(c.type);
        } else if (c.var) {
            c.len = c.max_len > 0x7fffffffu ? 0x7fffffffu : (c.max_len ? static_cast<uint32_t>(c.max_len) : 1);
        }
        ColStruct_t& d = st_->desc[k];
        d.type = c.type;
        d.len = c.len;
    }
    return packer_.lay_out(s_.c);
}

int Builder::pack(int k, const char* p, size_t n, bool null, unsigned char* rec) {
    Value v;
    if (!null && !decode_value(cols_[k], p, n, v, scratch_, &why_)) return fail_value(k, why_);
    return packer_.put(k, v, rec, &why_) ? 0 : fail_value(k, why_);
}

int Builder::stage(const pq::PGresult* res, int r) {
    const pq::Api& pq = s_.pq;
    row_.clear();
    for (int k = 0; k < ncols_; ++k) {
        Column& c = cols_[k];
        if (pq.PQgetisnull(res, r, k)) {
            row_.append(reinterpret_cast<const char*>(&NULL_LEN), 4);
            continue;
        }
        const char* p = pq.PQgetvalue(res, r, k);
        uint32_t n = static_cast<uint32_t>(pq.PQgetlength(res, r, k));
        if (c.var) {
            uint64_t w = c.dec == Decode::Bytea ? (n >= 2 ? (n - 2) / 2 : 0) : chars_of(p, n);
            if (w > c.max_len) c.max_len = w;
        } else if (c.infer_int && !c.big) {
            if (!decode_value(c, p, n, scratch_v_, scratch_, &why_)) return fail_value(k, why_);
            if (scratch_v_.i < INT32_MIN || scratch_v_.i > INT32_MAX) c.big = true;
        }
        row_.append(reinterpret_cast<const char*>(&n), 4);
        row_.append(p, n);
    }
    if (!stage_.append_bytes(row_.data(), row_.size())) return fail_store();
    ++rows_;
    return 0;
}

int Builder::add(const pq::PGresult* res) {
    const pq::Api& pq = s_.pq;
    int n = pq.PQntuples(res);
    for (int r = 0; r < n; ++r) {
        if (staged_) {
            if (int rc = stage(res, r)) return rc;
            continue;
        }
        unsigned char* rec = packer_.new_record();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            bool null = pq.PQgetisnull(res, r, k);
            const char* p = pq.PQgetvalue(res, r, k);
            if (int rc = pack(k, p, static_cast<size_t>(pq.PQgetlength(res, r, k)), null, rec)) return rc;
        }
        ++rows_;
    }
    return 0;
}

int Builder::pack_staged() {
    if (!stage_.finish()) return fail_store();
    if (int rc = layout()) return rc;
    StageReader in(stage_);
    for (uint64_t r = 0; r < rows_; ++r) {
        unsigned char* rec = packer_.new_record();
        if (!rec) return fail_store();
        for (int k = 0; k < ncols_; ++k) {
            const unsigned char* b = in.take(4);
            if (!b) return fail_store();
            uint32_t n;
            std::memcpy(&n, b, 4);
            const unsigned char* p = b;
            if (n != NULL_LEN && n) {
                p = in.take(n);
                if (!p) return fail_store();
            }
            // Values are NUL-terminated for the number parsers.
            scratch_text_.assign(reinterpret_cast<const char*>(p), n == NULL_LEN ? 0 : n);
            if (int rc = pack(k, scratch_text_.c_str(), scratch_text_.size(), n == NULL_LEN, rec)) return rc;
        }
    }
    stage_.clear();
    return 0;
}

int Builder::finish() {
    if (staged_) {
        if (int rc = pack_staged()) return rc;
    }
    if (!st_->records.finish()) return fail_store();
    if (rows_ > static_cast<uint64_t>(INT32_MAX))
        return s_.c->fail(QSCLI_E_TOOBIG, "result has more than 2147483647 records");
    st_->rows = rows_;
    st_->ncols = ncols_;
    st_->results = true;
    st_->sab_type = 1;
    return 0;
}

bool changes_rows(const char* tag) {
    return std::strncmp(tag, "INSERT ", 7) == 0 || std::strncmp(tag, "UPDATE ", 7) == 0 ||
           std::strncmp(tag, "DELETE ", 7) == 0 || std::strncmp(tag, "MERGE ", 6) == 0;
}

void set_changes(Stmt* st, int64_t n) {
    st->changes = n;
    if (n >= INT32_MIN && n <= INT32_MAX) {
        int32_t v = static_cast<int32_t>(n);
        st->rc_type = QSCLI_ET_LONG;
        st->rc_body.assign(reinterpret_cast<unsigned char*>(&v), reinterpret_cast<unsigned char*>(&v) + 4);
    } else {
        double d = static_cast<double>(n);
        st->rc_type = QSCLI_ET_DFLT;
        st->rc_body.assign(reinterpret_cast<unsigned char*>(&d), reinterpret_cast<unsigned char*>(&d) + 8);
    }
}

}  // namespace

int Session::run_statement(Stmt* st, const std::string& sql) {
    if (!pq.PQsendQuery(conn, sql.c_str())) return fail_conn("cannot send the statement");
    return collect(st);
}

void Session::cancel_if_asked() {
    // A cancel that reached the server before the statement did was dropped
    // there (an idle session ignores one): asked again, now it runs.
    if (c->cancel_requested()) cancel();
}

int Session::collect(Stmt* st) {
    cancel_if_asked();
    // Rows a chunk at a time where libpq can, else one at a time: never the
    // whole result in the client.
    if (pq.PQsetChunkedRowsMode) pq.PQsetChunkedRowsMode(conn, 256);
    else pq.PQsetSingleRowMode(conn);
    std::unique_ptr<Builder> b;
    int code = 0;
    while (pq::PGresult* res = pq.PQgetResult(conn)) {
        int status = pq.PQresultStatus(res);
        switch (status) {
        case pq::PGRES_SINGLE_TUPLE:
        case pq::PGRES_TUPLES_CHUNK:
        case pq::PGRES_TUPLES_OK:
            if (!code) {
                if (!b) b.reset(new Builder(*this, st));
                if (!b->started()) code = b->begin(res);
                if (!code) code = b->add(res);
                if (!code && status == pq::PGRES_TUPLES_OK) {
                    code = b->finish();
                    b.reset();
                    const char* tag = pq.PQcmdStatus(res);
                    if (!code && tag && changes_rows(tag)) set_changes(st, std::atoll(pq.PQcmdTuples(res)));
                }
            }
            pq.PQclear(res);
            break;
        case pq::PGRES_COMMAND_OK:
            if (!code) {
                st->clear_result();
                const char* tag = pq.PQcmdStatus(res);
                if (tag && changes_rows(tag)) set_changes(st, std::atoll(pq.PQcmdTuples(res)));
            }
            pq.PQclear(res);
            break;
        case pq::PGRES_COPY_IN:
            pq.PQclear(res);
            pq.PQputCopyEnd(conn, "COPY FROM STDIN is not supported here: use qcSqlAddRecords");
            break;
        case pq::PGRES_COPY_OUT: {
            pq.PQclear(res);
            char* buf = nullptr;
            while (pq.PQgetCopyData(conn, &buf, 0) > 0) pq.PQfreemem(buf);
            if (!code) code = c->fail(QSCLI_E_ERROR, "COPY TO STDOUT is not supported here: select the rows");
            break;
        }
        case pq::PGRES_EMPTY_QUERY: pq.PQclear(res); break;
        default: {
            int rc = fail_result(res);
            if (!code) code = rc;
            break;
        }
        }
    }
    check_lost();
    if (!code && lost_) code = fail_conn("statement");
    if (code) st->clear_result();
    return code;
}

namespace {

// Statements that end or mark a transaction themselves run without a
// savepoint of their own.
bool controls_transaction(const std::string& sql) {
    static const char* const words[] = {"begin", "start", "commit", "end", "rollback", "abort", "savepoint",
                                        "release"};
    const std::string first = first_word(Dialect::Pg, sql.data(), sql.data() + sql.size());
    for (const char* w : words)
        if (first == w) return true;
    return false;
}

}  // namespace

std::string Session::unguard() {
    bool open = guarded_ && pq.PQtransactionStatus(conn) == pq::PQTRANS_INTRANS;
    guarded_ = false;
    return open ? "release savepoint qx_statement; " : "";
}

// Inside a transaction a failing statement takes back only itself, as on
// SQLite: it runs after a savepoint of its own, which the next statement's
// text releases, so a statement that succeeds costs no round trip more.
int Session::run_guarded(Stmt* st, const std::string& sql) {
    if (pq.PQtransactionStatus(conn) != pq::PQTRANS_INTRANS) {
        guarded_ = false;
        return run_statement(st, sql);
    }
    const bool control = controls_transaction(sql);
    int code = run_statement(st, unguard() + (control ? "" : "savepoint qx_statement; ") + sql);
    if (lost_ || control) return code;
    const int status = pq.PQtransactionStatus(conn);
    if (!code) {
        guarded_ = status == pq::PQTRANS_INTRANS;
        return 0;
    }
    if (status != pq::PQTRANS_INERROR) return code;
    std::string saved = c->last_error;
    bool quiet = c->err_to_user;
    c->err_to_user = false;  // the statement's own error was delivered
    run("rollback to savepoint qx_statement; release savepoint qx_statement");
    c->err_to_user = quiet;
    c->last_error = saved;
    return code;
}

int Session::run_begin(const std::string& name) {
    // A transaction ended by plain SQL takes its names with it.
    if (!in_transaction()) names_.clear();
    bool outer = !in_transaction();
    int rc = run(outer ? "begin" : unguard() + "savepoint " + quote_ident(name));
    if (rc) return rc;
    names_.push_back({name, outer});
    return 0;
}

int Session::run_end(const std::string& name, bool commit) {
    if (!in_transaction()) names_.clear();
    size_t at = names_.size();
    for (size_t k = names_.size(); k-- > 0;) {
        if (strcasecmp(names_[k].name.c_str(), name.c_str()) == 0) {
            at = k;
            break;
        }
    }
    if (at == names_.size()) return c->fail(QSCLI_E_NO_TRANSACTION, "transaction " + name + " does not exist");
    std::string sql = unguard();
    if (names_[at].outer) {
        sql += commit ? "commit" : "rollback";
    } else {
        std::string q = quote_ident(name);
        sql += commit ? "release savepoint " + q : "rollback to savepoint " + q + "; release savepoint " + q;
    }
    bool aborted = pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR;
    pq::PGresult* res = nullptr;
    int rc = run(sql, &res);
    // A commit of a transaction an error rolled back answers ROLLBACK.
    bool rolled_back = !rc && commit && names_[at].outer && res && std::strcmp(pq.PQcmdStatus(res), "ROLLBACK") == 0;
    if (res) pq.PQclear(res);
    if (rc && !names_[at].outer && !lost_) return rc;
    names_.resize(at);
    if (rc) return rc;
    if (rolled_back || (aborted && commit))
        return c->fail(QSCLI_E_ABORT, "transaction " + name + " was rolled back by an earlier error");
    return 0;
}

int Session::run_return(Stmt* st, const Command& cmd) {
    std::string sql = "select " + to_utf8(cmd.expr, cmd.expr_len);
    if (int rc = rewrite_tblstruct(sql)) return rc;
    Stmt tmp;
    tmp.null_flags = true;
    int rc = run_guarded(&tmp, sql);
    if (rc) return rc;
    if (!tmp.results || tmp.ncols != 1) return c->fail(QSCLI_E_ERROR, "return takes exactly one value");
    // The value from the statement's one record (its last byte the null flag).
    std::vector<unsigned char> rec(tmp.rec_size);
    const ColStruct_t& d = tmp.desc[0];
    bool have = tmp.rows > 0 && tmp.records.read(0, rec.data(), rec.size()) == static_cast<int64_t>(tmp.rec_size) &&
                !(rec.back() & 1);
    if (!cmd.typed) {
        if (!have) return 0;
        st->rc_type = d.type;
        st->rc_body.assign(rec.begin() + d.off, rec.begin() + d.off + d.len);
        if (d.type == QSCLI_ET_CHAR) {
            // Text and a NUL, without the field's fill.
            auto z = std::find(st->rc_body.begin(), st->rc_body.end(), 0);
            st->rc_body.erase(z, st->rc_body.end());
            st->rc_body.push_back(0);
        }
        return 0;
    }
    // An explicit type: the value again, as that type.
    ElemType t = cmd.type;
    uint32_t len = t.var ? d.len : (t.type == QSCLI_ET_CHAR || t.type == QSCLI_ET_ARRA ? t.len : natural_width(t.type));
    std::vector<unsigned char> body(len ? len : 1);
    Value v;
    std::string text;
    std::string why;
    if (have && !unpack_value(d.type, d.len, rec.data() + d.off, v, text, &why))
        return c->fail(QSCLI_E_MISMATCH, "return value: " + why);
    if (pack_value(t.type, static_cast<uint32_t>(body.size()), v, body.data(), &why))
        return c->fail(QSCLI_E_MISMATCH, "return value: " + why);
    if (t.type == QSCLI_ET_CHAR && t.var) {
        auto z = std::find(body.begin(), body.end(), 0);
        body.erase(z, body.end());
        body.push_back(0);
    }
    st->rc_type = t.type;
    st->rc_body.swap(body);
    return 0;
}

// Replaces every QXTBLSTRUCT("T") (or 'T') by the rows of the table's
// layout: table, field number, name, element type, length, offset,
// declared type.
int Session::rewrite_tblstruct(std::string& sql) {
    const std::vector<TblStruct> found = find_tblstruct(Dialect::Pg, sql);
    // From the last one back, so the places of the others stay.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        const std::string& name = it->name;
        std::vector<Field> fields;
        if (int rc = table_layout(name, fields, nullptr)) return rc;
        std::string rows;
        uint64_t off = 0;
        for (size_t k = 0; k < fields.size(); ++k) {
            const Field& f = fields[k];
            rows += std::string(k ? ", " : "") + "(" + quote_literal(name) + ", " + std::to_string(k) + ", " +
                    quote_literal(f.name) + ", " +
                    std::to_string(c->int64_now ? map_column(f.oid, f.mod, true, true).type : f.type) + ", " +
                    std::to_string(f.len) + ", " +
                    std::to_string(off) + ", " + quote_literal(f.decl) + ")";
            off += f.len;
        }
        // A query of its own, so the caller's alias (or none) applies to it.
        std::string sub = "(select * from (values " + rows +
                          ") as qx_fields(tbl, fieldno, fname, type, len, off, decl))";
        if (!it->aliased) sub += " as qxtblstruct";
        sql.replace(it->at, it->end - it->at, sub);
    }
    return 0;
}

namespace {

// The table's fields in order and its name as the server spells it; the
// table as written first (a table created with quotes), else as SQL reads
// it (folded to lower case, schema allowed).
const char LAYOUT_SQL[] =
    "select a.attname, a.atttypid, a.atttypmod, format_type(a.atttypid, a.atttypmod), "
    "t.oid::regclass::text from (select coalesce(to_regclass(quote_ident($1)), to_regclass($1)) as oid) t "
    "join pg_attribute a on a.attrelid = t.oid where a.attnum > 0 and not a.attisdropped order by a.attnum";

}  // namespace

std::string layout_query(const std::string& table) {
    std::string sql = LAYOUT_SQL, lit = quote_literal(table);
    for (size_t at; (at = sql.find("$1")) != std::string::npos;) sql.replace(at, 2, lit);
    return sql;
}

void Session::read_layout(const pq::PGresult* res, std::vector<Field>& out, std::string* qualified) {
    int n = pq.PQntuples(res);
    for (int r = 0; r < n; ++r) {
        Field f;
        f.name = pq.PQgetvalue(res, r, 0);
        f.oid = static_cast<pq::Oid>(std::strtoul(pq.PQgetvalue(res, r, 1), nullptr, 10));
        f.mod = std::atoi(pq.PQgetvalue(res, r, 2));
        f.decl = pq.PQgetvalue(res, r, 3);
        Column col = map_column(f.oid, f.mod, true);
        f.type = col.type;
        f.len = col.var ? TABLE_VAR_WIDTH : col.len;
        out.push_back(f);
        if (qualified && r == 0) *qualified = pq.PQgetvalue(res, r, 4);
    }
}

int Session::table_layout(const std::string& table, std::vector<Field>& out, std::string* qualified) {
    const char* values[1] = {table.c_str()};
    pq::PGresult* res = nullptr;
    if (int rc = run_params("qx_layout", LAYOUT_SQL, 1, values, &res)) return rc;
    read_layout(res, out, qualified);
    pq.PQclear(res);
    if (out.empty()) return c->fail(QSCLI_E_ERROR, "no such table: " + table);
    return 0;
}

int Session::exec(Stmt* st, const char* sql) {
    st->clear_result();
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    // Messages go out once the results are read: a receiver may then run a
    // statement of its own on this connection, as on SQLite.
    MessageHold held(c);
    if (lost_) return c->fail(QSCLI_E_IO, "server connection lost");
    // Notifications that arrived since the last call come first.
    if (!pq.PQconsumeInput(conn)) return fail_conn("server connection");
    deliver_notifications();
    if (int rc = keep_settings()) return rc;
    size_t n = std::strlen(sql);
    std::string spelled;
    if (server_dialect(sql, n, spelled)) sql = spelled.c_str(), n = spelled.size();
    Command cmd = parse_command(Dialect::Pg, sql, n);
    int rc = 0;
    switch (cmd.kind) {
    case Command::SYNTAX: rc = c->fail(QSCLI_E_ERROR, std::string("syntax: ") + cmd.usage); break;
    case Command::ERR_TO_USER: c->err_to_user = cmd.on; break;
    case Command::BEGIN: rc = run_begin(to_utf8(cmd.name.data(), cmd.name.size())); break;
    case Command::COMMIT:
    case Command::ROLLBACK:
        rc = run_end(to_utf8(cmd.name.data(), cmd.name.size()), cmd.kind == Command::COMMIT);
        break;
    case Command::RETURN: rc = run_return(st, cmd); break;
    default: {
        if (run_prepared(st, sql, n, &rc)) break;
        std::string text = to_utf8(sql, n);
        rc = rewrite_tblstruct(text);
        if (!rc) rc = run_guarded(st, text);
    }
    }
    if (!lost_) deliver_notifications();
    return rc;
}

}  // namespace pg
}  // namespace qse
