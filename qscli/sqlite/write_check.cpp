// Values a read could not return are refused when they are written: SQLite
// keeps whatever a column is given ('lots' in an INTEGER column), and every
// later read of the table would fail. Each connection gives every table of
// its database temporary AFTER INSERT and AFTER UPDATE triggers that pass
// each new value through the packing a read uses; a value that would not
// pack fails the statement with -20 naming the column, and SQLite undoes
// the statement's rows. Temporary triggers live in the connection's own
// temp schema: the file, and other SQLite tools, never see them.
#include "db.h"
#include "lexer.h"

#include <cinttypes>
#include <cmath>
#include <cstring>

namespace qse {

namespace {

// A read takes every bit pattern of an integer type; a write keeps to the
// type's declared range, as the bulk paths do, so both paths store the same.
bool in_write_range(int type, const unsigned char* packed, std::string* why) {
    if (type < 0 || type >= QSCLI_ET_COUNT || kWriteLow[type] == kWriteHigh[type]) return true;
    const uint32_t width = natural_width(type);
    uint64_t u = 0;
    for (uint32_t k = 0; k < width; ++k) u |= static_cast<uint64_t>(packed[k]) << (8 * k);
    int64_t i = static_cast<int64_t>(u);
    if (kWriteLow[type] < 0 && width < 8 && (u >> (8 * width - 1)) & 1) i -= static_cast<int64_t>(1) << (8 * width);
    if (i >= kWriteLow[type] && i <= kWriteHigh[type]) return true;
    *why = std::to_string(i) + " does not fit " + std::to_string(kWriteLow[type]) + ".." + std::to_string(kWriteHigh[type]) +
           " (" + type_name(type) + ")";
    return false;
}

// Whether a stored value reads back through element type `type` of `len`
// bytes; type -1 is a column without a declared type, len 0 one whose
// width follows its values (TEXT, BLOB).
bool readable(int type, uint32_t len, const Value& v, std::string* why) {
    if (v.kind == VKind::Null) return true;
    if (type < 0) {
        // A result column of such values takes its type from them: integers
        // beyond 32 bits and reals become DFLT, texts CHAR, blobs ARRA.
        if (v.kind == VKind::Text) type = QSCLI_ET_CHAR;
        else if (v.kind == VKind::Blob) return true;
        else if (v.kind == VKind::Int && v.i >= INT32_MIN && v.i <= INT32_MAX) return true;
        else type = QSCLI_ET_DFLT;
    }
    // The common cases, answered as packing would answer them: any double
    // for a double column, an integer within an integer column's range.
    if (v.kind == VKind::Float && (type == QSCLI_ET_DFLT || type == QSCLI_ET_CURR)) return true;
    if (v.kind == VKind::Int) {
        if (type == QSCLI_ET_INT64) return true;
        if (type < QSCLI_ET_COUNT && kWriteLow[type] != kWriteHigh[type] && v.i >= kWriteLow[type] &&
            v.i <= kWriteHigh[type])
            return true;
    }
    if (len == 0 && type == QSCLI_ET_ARRA) return true;
    if (len == 0 && type == QSCLI_ET_CHAR) {
        if (v.kind != VKind::Text && v.kind != VKind::Blob) return true;  // numbers read as text
        std::string cp866;
        const TextStatus st = utf8_to_cp866(v.p, v.n, cp866);
        if (st == TextStatus::Ok) return true;
        *why = std::string("text ") + text_problem(st);
        return false;
    }
    if (type == QSCLI_ET_CHAR && boundary_utf8() && (v.kind == VKind::Text || v.kind == VKind::Blob)) {
        // A connection in UTF-8 reads any text; a declared length counts
        // characters.
        const TextStatus st = check_utf8(v.p, v.n, len);
        if (st == TextStatus::Ok) return true;
        *why = refusal(v, type, text_problem(st));
        return false;
    }
    if (len == 0) len = natural_width(type);
    unsigned char small[64];
    std::string large;
    if (len > sizeof small) large.assign(len, '\0');
    unsigned char* packed = len > sizeof small ? reinterpret_cast<unsigned char*>(&large[0]) : small;
    return pack_value(type, len, v, packed, why) == 0 && in_write_range(type, packed, why);
}

// SQLite's affinity of a column declared `decl` (its own rules, in order).
char affinity_of(const char* decl) {
    if (!decl || !*decl) return 'B';
    char aff = 'N';
    uint32_t h = 0;
    for (const char* p = decl; *p; ++p) {
        h = (h << 8) + static_cast<unsigned char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
        if (h == ('c' << 24 | 'h' << 16 | 'a' << 8 | 'r') || h == ('c' << 24 | 'l' << 16 | 'o' << 8 | 'b') ||
            h == ('t' << 24 | 'e' << 16 | 'x' << 8 | 't'))
            aff = 'T';
        else if (h == ('b' << 24 | 'l' << 16 | 'o' << 8 | 'b') && (aff == 'N' || aff == 'R'))
            aff = 'B';
        else if ((h == ('r' << 24 | 'e' << 16 | 'a' << 8 | 'l') || h == ('f' << 24 | 'l' << 16 | 'o' << 8 | 'a') ||
                  h == ('d' << 24 | 'o' << 16 | 'u' << 8 | 'b')) &&
                 aff == 'N')
            aff = 'R';
        else if ((h & 0x00FFFFFF) == ('i' << 16 | 'n' << 8 | 't'))
            return 'I';
    }
    return aff;
}

// Whether numeric affinity certainly leaves text as text: a sign follows a
// digit or a point, as in a date ('2024-01-02'), which no number has.
bool never_numeric(const Value& v) {
    for (size_t k = 1; k < v.n; ++k)
        if ((v.p[k] == '-' || v.p[k] == '+') && ((v.p[k - 1] >= '0' && v.p[k - 1] <= '9') || v.p[k - 1] == '.'))
            return true;
    return false;
}

// qx_fit(column, type, len, value): NULL, or the statement fails.
void fn_fit(sqlite3_context* ctx, int, sqlite3_value** argv) {
    Value v;
    sqlite3_value* x = argv[3];
    switch (sqlite3_value_type(x)) {
    case SQLITE_INTEGER: v.kind = VKind::Int, v.i = sqlite3_value_int64(x); break;
    case SQLITE_FLOAT: v.kind = VKind::Float, v.d = sqlite3_value_double(x); break;
    case SQLITE_TEXT:
        v.kind = VKind::Text;
        v.p = sqlite3_value_text(x);
        v.n = static_cast<size_t>(sqlite3_value_bytes(x));
        break;
    case SQLITE_BLOB:
        v.kind = VKind::Blob;
        v.p = static_cast<const unsigned char*>(sqlite3_value_blob(x));
        v.n = static_cast<size_t>(sqlite3_value_bytes(x));
        break;
    default: break;
    }
    std::string why;
    if (readable(sqlite3_value_int(argv[1]), static_cast<uint32_t>(sqlite3_value_int64(argv[2])), v, &why)) {
        sqlite3_result_null(ctx);
        return;
    }
    const char* name = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    std::string text = std::string("column ") + (name ? name : "?") + ": " + why;
    sqlite3_result_error(ctx, text.c_str(), static_cast<int>(text.size()));
    sqlite3_result_error_code(ctx, SQLITE_MISMATCH);
}

// qx_fit_wanted(): whether an inserted row's values are to be checked.
void fn_fit_wanted(sqlite3_context* ctx, int, sqlite3_value**) {
    sqlite3_result_int(ctx, !static_cast<Db*>(sqlite3_user_data(ctx))->loading_checked);
}

// The schema versions of main and temp; of temp only (out[0] is left
// alone) when `temp_only`.
bool schema_versions(Db* c, int64_t out[2], bool temp_only) {
    static const char* const sql[2] = {"pragma main.schema_version", "pragma temp.schema_version"};
    for (int k = temp_only; k < 2; ++k) {
        StmtCache::Entry* e;
        sqlite3_stmt* s = prepare_cached(c, sql[k], &e);
        if (!s) return false;
        const int rc = sqlite3_step(s);
        out[k] = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
        sqlite3_reset(s);
        release_cached(c, s, e);
        if (rc != SQLITE_ROW) {
            c->fail_sqlite(rc);
            return false;
        }
    }
    return true;
}

// The two triggers of one table of `schema` (main or temp); `n` numbers
// the schema's triggers.
std::string triggers_for(const std::string& schema, const std::string& table, int n, sqlite3* db) {
    std::string checks, changed;
    sqlite3_stmt* s = nullptr;
    // The pragma, not its table-valued form: that one reads main too.
    const std::string info = "pragma " + schema + ".table_info(" + quote_ident(table) + ")";
    if (sqlite3_prepare_v2(db, info.c_str(), -1, &s, nullptr)) return "";
    while (sqlite3_step(s) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        const char* decl = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
        const ElemType e = map_decltype(decl && *decl ? decl : nullptr);
        const std::string col = quote_ident(name ? name : "");
        const std::string call = "qx_fit(" + quote_literal(name ? name : "") + "," +
                                 std::to_string(e.infer ? -1 : e.int64 ? QSCLI_ET_INT64 : e.type) + "," +
                                 std::to_string(e.var || e.infer ? 0 : e.len) + ",NEW." + col + ")";
        checks += (checks.empty() ? "" : ",") + call;
        // An update checks only what it changes: a row stored before (by
        // another tool) must not make every later update of it fail.
        changed += std::string(changed.empty() ? "" : ",") + "CASE WHEN NEW." + col + " IS NOT OLD." + col +
                   " THEN " + call + " END";
    }
    sqlite3_finalize(s);
    if (checks.empty()) return "";
    const std::string on = " ON " + schema + "." + quote_ident(table);
    const std::string id = (schema == "temp" ? "t" : "m") + std::to_string(n);
    // One call a row when a bulk load's checked records go in, not one a
    // column.
    return "CREATE TEMP TRIGGER qx_fit_i" + id + " AFTER INSERT" + on + " WHEN qx_fit_wanted() BEGIN SELECT " +
           checks + "; END;" + "CREATE TEMP TRIGGER qx_fit_u" + id + " AFTER UPDATE" + on + " BEGIN SELECT " +
           changed + "; END;";
}

// Drops this connection's triggers; only those of temp's tables when
// `temp_only`.
int drop_checks(Db* c, bool temp_only) {
    std::vector<std::string> drops;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(c->db,
                           temp_only ? "select 'drop trigger temp.' || name from temp.sqlite_master "
                                       "where type = 'trigger' and name glob 'qx_fit_?t*'"
                                     : "select 'drop trigger temp.' || name from temp.sqlite_master "
                                       "where type = 'trigger' and name glob 'qx_fit_*'",
                           -1, &s, nullptr))
        return c->fail_sqlite(sqlite3_errcode(c->db));
    while (sqlite3_step(s) == SQLITE_ROW) drops.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    for (const std::string& d : drops)
        if (int rc = sqlite3_exec(c->db, d.c_str(), nullptr, nullptr, nullptr)) return c->fail_sqlite(rc);
    return 0;
}

// Drops this connection's triggers and gives every table of the database
// new ones; only those of temp's tables when `temp_only`. Virtual tables
// take none, nor do their shadow tables (an FTS5 index's own writes would
// then open a savepoint that writes them again).
int rebuild(Db* c, bool temp_only) {
    if (int rc = drop_checks(c, temp_only)) return rc;
    std::vector<std::pair<std::string, std::string>> tables;  // schema, name
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(c->db, temp_only ? "pragma temp.table_list" : "pragma table_list", -1, &s, nullptr))
        return c->fail_sqlite(sqlite3_errcode(c->db));
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const std::string schema = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        const char* type = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
        if ((schema == "main" || schema == "temp") && !strcmp(type, "table") && strncmp(name, "sqlite_", 7))
            tables.emplace_back(schema, name);
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) return c->fail_sqlite(rc);
    for (size_t k = 0; k < tables.size(); ++k) {
        const std::string sql = triggers_for(tables[k].first, tables[k].second, static_cast<int>(k), c->db);
        if (!sql.empty()) sqlite3_exec(c->db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    return 0;
}

// Whether `s` writes main: its program opens main (database 0) for
// writing. A copy is explained, not `s`: a statement compiled for EXPLAIN
// lacks what running it needs (the temp database opened).
bool writes_main(sqlite3* db, sqlite3_stmt* s) {
    const char* text = sqlite3_sql(s);
    if (!text) return true;
    const std::string sql = std::string("explain ") + text;
    sqlite3_stmt* e = nullptr;
    bool found = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &e, nullptr) != SQLITE_OK;
    while (!found && sqlite3_step(e) == SQLITE_ROW) {
        const char* op = reinterpret_cast<const char*>(sqlite3_column_text(e, 1));
        found = op && !strcmp(op, "Transaction") && sqlite3_column_int(e, 2) == 0 && sqlite3_column_int(e, 3) != 0;
    }
    sqlite3_finalize(e);
    return found;
}

// Skipping the version reads: they cost more than a small insert. The
// schema stays as it was at the last full check while main's write lock is
// held (no other connection changes it) and no statement of this
// connection could have changed it since: the trace sees every statement
// that starts, and any but the one approved marks the check stale; so does
// preparing anything that could change a schema, and a rollback. When in
// doubt, stale: a stale trigger set lets unreadable values in.
bool schema_table(const char* name) {
    return name && (!sqlite3_stricmp(name, "sqlite_master") || !sqlite3_stricmp(name, "sqlite_schema") ||
                    !sqlite3_stricmp(name, "sqlite_temp_master") || !sqlite3_stricmp(name, "sqlite_temp_schema"));
}

int on_authorize(void* ctx, int action, const char* a1, const char*, const char*, const char*) {
    Db* c = static_cast<Db*>(ctx);
    bool writes = false, other = false;
    switch (action) {
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE: (schema_table(a1) ? other : writes) = true; break;
    case SQLITE_READ:
    case SQLITE_SELECT:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE: break;
    default: other = true;
    }
    if (c->auditing) {
        c->audit_writes |= writes;
        c->audit_other |= other;
    } else if (other) {
        c->check_current = false;
    }
    return SQLITE_OK;
}

// A statement that only reads, by its first word: transaction control,
// ATTACH and DETACH count as reading too, and change a schema.
bool plain_query(sqlite3_stmt* s) {
    // Runs as every statement starts: the first word compared in place.
    const char* text = sqlite3_sql(s);
    if (!text) return false;
    for (int k = 0; k < 6; ++k)
        if ((text[k] | 0x20) != "select"[k]) return false;  // a NUL stops it too
    return sqlite3_stmt_readonly(s);
}

int on_trace(unsigned, void* ctx, void* p, void*) {
    Db* c = static_cast<Db*>(ctx);
    // Outside a transaction's writes the check is stale already: a query
    // in autocommit reads no statement text here.
    if (c->check_current && p != c->approved && !plain_query(static_cast<sqlite3_stmt*>(p)))
        c->check_current = false;
    return 0;
}

void on_rollback(void* ctx) { static_cast<Db*>(ctx)->check_current = false; }

// Whether running `s` can change no schema: it writes rows of tables that
// are not a schema's, and does nothing else but read (a VACUUM, which
// shows no action, is not one). Prepares a copy under the authorizer.
bool schema_safe(Db* c, sqlite3_stmt* s) {
    const char* text = sqlite3_sql(s);
    if (!text) return false;
    c->auditing = true;
    c->audit_writes = c->audit_other = false;
    sqlite3_stmt* copy = nullptr;
    const char* tail = nullptr;
    const bool ok = sqlite3_prepare_v2(c->db, text, -1, &copy, &tail) == SQLITE_OK && copy;
    sqlite3_finalize(copy);
    c->auditing = false;
    return ok && (!tail || !*tail) && c->audit_writes && !c->audit_other;
}

}  // namespace

bool fits_bound(const FitColumn& col, const Value& v) {
    std::string why;
    switch (v.kind) {
    case VKind::Null: return !col.key;  // a rowid key takes one SQLite chooses
    case VKind::Int:
        if (col.affinity == 'T') return false;
        if (col.affinity == 'R') {  // the trigger reads it as a double
            Value d;
            d.kind = VKind::Float;
            d.d = static_cast<double>(v.i);
            return readable(col.type, col.len, d, &why);
        }
        return readable(col.type, col.len, v, &why);
    case VKind::Float:
        return (col.affinity == 'R' || col.affinity == 'B') && !std::isnan(v.d) && readable(col.type, col.len, v, &why);
    case VKind::Text:
        if (col.affinity != 'T' && col.affinity != 'B' && !never_numeric(v)) return false;
        return readable(col.type, col.len, v, &why);
    case VKind::Blob: return readable(col.type, col.len, v, &why);
    default: return false;
    }
}

bool plan_insert_fit(Conn* conn, const char* sql, size_t n, InsertFit& fit) {
    std::vector<FitColumn>& out = fit.columns;
    out.clear();
    // Without OR ABORT a constraint's own ON CONFLICT could keep part of a
    // statement's rows.
    fit.abort = false;
    Lexer lx(Dialect::Engine, sql, sql + n);
    auto name_of = [](const Token& t, std::string& to) {
        if (t.kind == Tok::Word) to.assign(t.b, t.size());
        else if (t.kind == Tok::Name) to = unquote(t);
        else return false;
        return true;
    };
    Token t = lx.next_solid();
    if (!t.word("insert")) return false;
    t = lx.next_solid();
    if (t.word("or")) {
        t = lx.next_solid();
        if (!t.word("abort") && !t.word("fail") && !t.word("ignore") && !t.word("rollback")) return false;
        fit.abort = t.word("abort");
        t = lx.next_solid();
    }
    if (!t.word("into")) return false;
    std::string schema, table, cp866;
    if (!name_of(lx.next_solid(), cp866)) return false;
    t = lx.next_solid();
    if (t.is('.')) {
        schema = cp866;
        if (!name_of(lx.next_solid(), cp866)) return false;
        t = lx.next_solid();
    }
    std::vector<std::string> listed;
    if (t.is('(')) {
        do {
            std::string col;
            if (!name_of(lx.next_solid(), col)) return false;
            listed.push_back(col);
            t = lx.next_solid();
        } while (t.is(','));
        if (!t.is(')')) return false;
        t = lx.next_solid();
    }
    if (!t.word("values")) return false;
    t = lx.next_solid();
    if (!t.is('(')) return false;
    fit.tuple_b = static_cast<size_t>(t.b - sql);
    size_t marks = 0;
    do {
        // Plain marks only: ?N could bind out of the columns' order.
        t = lx.next_solid();
        if (t.kind != Tok::Param || !t.is('?')) return false;
        ++marks;
        t = lx.next_solid();
    } while (t.is(','));
    if (!t.is(')')) return false;
    fit.tuple_e = static_cast<size_t>(t.e - sql);
    t = lx.next_solid();
    if (t.kind == Tok::Semicolon) t = lx.next_solid();
    if (t.kind != Tok::End) return false;
    if (!schema.empty() && sqlite3_stricmp(schema.c_str(), "main") && sqlite3_stricmp(schema.c_str(), "temp"))
        return false;
    cp866_to_utf8(reinterpret_cast<const unsigned char*>(cp866.data()), cp866.size(), table);
    if (!checked_records_only(conn, table)) return false;
    // Tables of rows only: a virtual table keeps its own rules for undoing
    // a statement.
    sqlite3_stmt* s = nullptr;
    const std::string kind = "pragma table_list(" + quote_ident(table) + ")";
    if (sqlite3_prepare_v2(db_of(conn)->db, kind.c_str(), -1, &s, nullptr)) return false;
    bool plain = true;
    while (plain && sqlite3_step(s) == SQLITE_ROW)
        plain = !strcmp(reinterpret_cast<const char*>(sqlite3_column_text(s, 2)), "table");
    sqlite3_finalize(s);
    if (!plain) return false;

    std::vector<std::string> names;
    std::vector<FitColumn> cols;
    const std::string info = "pragma " + (schema.empty() ? std::string() : schema + ".") + "table_info(" +
                             quote_ident(table) + ")";
    if (sqlite3_prepare_v2(db_of(conn)->db, info.c_str(), -1, &s, nullptr)) return false;
    while (sqlite3_step(s) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        const char* decl = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
        const ElemType e = map_decltype(decl && *decl ? decl : nullptr);
        FitColumn f;
        f.type = e.infer ? -1 : e.int64 ? QSCLI_ET_INT64 : e.type;
        f.len = e.var || e.infer ? 0 : e.len;
        f.affinity = affinity_of(decl);
        f.key = sqlite3_column_int(s, 5) != 0;
        names.emplace_back(name ? name : "");
        cols.push_back(f);
    }
    sqlite3_finalize(s);
    // Every column takes a mark's value: none takes a default.
    if (cols.empty() || marks != cols.size() || (!listed.empty() && listed.size() != cols.size())) return false;
    if (listed.empty()) {
        out = cols;
        return true;
    }
    std::vector<bool> taken(cols.size());
    for (const std::string& l : listed) {
        std::string col;
        cp866_to_utf8(reinterpret_cast<const unsigned char*>(l.data()), l.size(), col);
        size_t k = 0;
        while (k < names.size() && sqlite3_stricmp(names[k].c_str(), col.c_str())) ++k;
        if (k == names.size() || taken[k]) return false;
        taken[k] = true;
        out.push_back(cols[k]);
    }
    return true;
}

int install_write_check(Db* c) {
    c->checked_schema[0] = c->checked_schema[1] = -1;
    // The lock is taken by an incremental vacuum: a no-op unless the file
    // has auto_vacuum = incremental (2), whose free pages stay its owner's
    // to reclaim (there a write after the check fails at once, as before).
    sqlite3_stmt* s = nullptr;
    c->lock_first = !sqlite3_db_readonly(c->db, "main") &&
                    sqlite3_prepare_v2(c->db, "pragma main.auto_vacuum", -1, &s, nullptr) == SQLITE_OK &&
                    sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) != 2;
    sqlite3_finalize(s);
    if (int rc = sqlite3_set_authorizer(c->db, on_authorize, c)) return rc;
    if (int rc = sqlite3_trace_v2(c->db, SQLITE_TRACE_STMT, on_trace, c)) return rc;
    sqlite3_rollback_hook(c->db, on_rollback, c);
    // Not deterministic: SQLite would read it once a statement.
    if (int rc = sqlite3_create_function(c->db, "qx_fit_wanted", 0, SQLITE_UTF8 | SQLITE_DIRECTONLY, c, fn_fit_wanted,
                                         nullptr, nullptr))
        return rc;
    return sqlite3_create_function(c->db, "qx_fit", 4, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, c,
                                   fn_fit, nullptr, nullptr);
}

int check_writes(Db* c, sqlite3_stmt* s, StmtCache::Entry* entry) {
    if (entry && entry->schema_safe < 0) entry->schema_safe = schema_safe(c, s);
    const bool safe = entry && entry->stmt == s && entry->schema_safe == 1;
    if (safe && c->check_current && sqlite3_txn_state(c->db, "main") == SQLITE_TXN_WRITE) {
        c->approved = s;
        return 0;
    }
    c->check_current = false;
    // In a transaction that has not touched main yet, reading main's
    // version would open a read transaction, and SQLite never waits (busy
    // handler) to turn one into a write: the statement would fail at once
    // while another connection writes, and later ones once it commits. So
    // a first write to main takes main's write lock first, waiting as the
    // statement itself would (a failure is the statement's to meet); the
    // reads then see the schema it runs on. A write to temporary tables
    // only reads and checks temp alone: main's triggers do not fire.
    const bool first = !sqlite3_get_autocommit(c->db) && sqlite3_txn_state(c->db, "main") == SQLITE_TXN_NONE;
    const bool to_main = !first || writes_main(c->db, s);
    if (first && to_main && c->lock_first) {
        StmtCache::Entry* e;
        sqlite3_stmt* lock = prepare_cached(c, "pragma main.incremental_vacuum", &e);
        if (!lock) return -(sqlite3_errcode(c->db) & 0xff);
        while (sqlite3_step(lock) == SQLITE_ROW) {
        }
        sqlite3_reset(lock);
        release_cached(c, lock, e);
    }
    const bool temp_only = !to_main;
    int64_t now[2] = {c->checked_schema[0], -1};
    if (!schema_versions(c, now, temp_only)) return -(sqlite3_errcode(c->db) & 0xff);
    // The triggers are as old as the schema they were made for: another
    // connection's ALTER TABLE, or a rollback of the transaction that made
    // them, changes one of the two versions.
    if (now[0] != c->checked_schema[0] || now[1] != c->checked_schema[1]) {
        if (int rc = rebuild(c, temp_only)) return rc;
        if (!schema_versions(c, c->checked_schema, temp_only)) return -(sqlite3_errcode(c->db) & 0xff);
        // A rollback may have taken main's tables' triggers too: remade at
        // the next write to main.
        if (temp_only) c->checked_schema[0] = -1;
    }
    // SQLite refuses to drop a column that a trigger names, this
    // connection's own checks too: an ALTER TABLE runs without them, and
    // the next write makes them anew for the schema it leaves.
    if (const char* text = sqlite3_sql(s); text && first_word(Dialect::Engine, text, text + strlen(text)) == "alter") {
        if (int rc = drop_checks(c, false)) return rc;
        c->checked_schema[0] = c->checked_schema[1] = -1;
    }
    // Inside a transaction main's version was read in it: another
    // connection cannot change main's schema before this one commits.
    c->approved = s;
    c->check_current = safe && !temp_only && !sqlite3_get_autocommit(c->db);
    return 0;
}

}  // namespace qse
