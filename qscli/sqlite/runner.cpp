// Running a prepared statement. A query's rows go to the common builder
// (rows.h): read to their end before the execute returns, so the record
// count is exact before the first read and a value that does not fit its
// column fails the statement itself, or streamed when asked for.
#include "lexer.h"
#include "record_packer.h"
#include "rows.h"
#include "dispatch.h"

#include <cinttypes>

namespace qse {

namespace {

// Names, declared types and widths of the columns of `s`.
void describe(sqlite3_stmt* s, int ncols, bool int64, ResultColumns& out) {
    out.desc.assign(static_cast<size_t>(ncols), ColStruct_t());
    out.inferred.assign(static_cast<size_t>(ncols), false);
    auto names = std::make_shared<std::vector<std::string>>(static_cast<size_t>(ncols));
    out.declared = true;
    out.plan = BatchPlan();
    for (int k = 0; k < ncols; ++k) {
        const char* decl = sqlite3_column_decltype(s, k);
        const ElemType e = map_decltype(decl);
        ColStruct_t& d = out.desc[k];
        std::memset(&d, 0, sizeof d);
        d.type = e.int64 && int64 ? QSCLI_ET_INT64 : e.infer ? QSCLI_ET_LONG : e.type;
        d.len = e.var || e.infer ? 0 : field_width(e.type, e.len);
        out.inferred[k] = e.infer;
        if (e.infer) out.declared = false;

        const char* name = sqlite3_column_name(s, k);
        const char* origin = sqlite3_column_origin_name(s, k);
        const bool renamed = origin && name && sqlite3_stricmp(name, origin) != 0;
        (*names)[k] = (renamed || !origin) ? (name ? name : "") : origin;
        if (origin) {
            copy_name(d.fname, utf8_to_cp866_lossy(origin));
            if (renamed) copy_name(d.asname, utf8_to_cp866_lossy(name));
        } else {
            copy_name(d.fname, utf8_to_cp866_lossy(name));
            d.func = 1;
        }
        if (decl) copy_name(d.coder, utf8_to_cp866_lossy(decl));
        d.fieldno = k;
    }
    out.names = std::move(names);
}

// Statements that change rows answer with the number of rows changed; a
// cached statement keeps which kind it is.
void returned_changes(Conn* c, Stmt* st, sqlite3_stmt* s, StmtCache::Entry* entry) {
    int kind = entry ? entry->changes_kind : -1;
    if (kind < 0) {
        const char* sql = sqlite3_stmt_readonly(s) ? nullptr : sqlite3_sql(s);
        const std::string first = sql ? first_word(Dialect::Engine, sql, sql + std::strlen(sql)) : std::string();
        kind = first == "insert" || first == "replace"                   ? 1
               : first == "update" || first == "delete" || first == "with" ? 2
                                                                           : 0;
        if (entry) entry->changes_kind = kind;
    }
    if (!kind) return;
    const bool inserts = kind == 1;
    const int64_t n = sqlite3_changes64(db_of(c)->db);
    st->set_changes(n);
    st->last_rowid = inserts && n > 0 ? sqlite3_last_insert_rowid(db_of(c)->db) : 0;
}

// The columns of `s` (stepped once), kept with its cache entry while SQLite
// has not prepared the statement afresh (select * then has other columns).
const ResultColumns& columns_of(sqlite3_stmt* s, int ncols, Stmt* st, StmtCache::Entry* entry,
                                ResultColumns& own) {
    const int prepared = sqlite3_stmt_status(s, SQLITE_STMTSTATUS_REPREPARE, 0);
    if (!entry) {
        describe(s, ncols, st->int64, own);
        return own;
    }
    if (entry->described_at != prepared || entry->described_int64 != st->int64 ||
        entry->columns.desc.size() != static_cast<size_t>(ncols)) {
        describe(s, ncols, st->int64, entry->columns);
        entry->described_at = prepared;
        entry->described_int64 = st->int64;
    }
    return entry->columns;
}

}  // namespace

namespace {

int step_prepared(Conn* c, Stmt* st, sqlite3_stmt* s, StmtCache::Entry* entry) {
    if (!sqlite3_stmt_readonly(s))
        if (int rc = check_writes(db_of(c), s, entry)) return rc;
    // Columns are described after the first step: a cached statement is
    // prepared afresh there when the schema changed since.
    int rc = sqlite3_step(s);
    const int ncols = sqlite3_column_count(s);
    if (ncols == 0) {
        while (rc == SQLITE_ROW) rc = sqlite3_step(s);
        if (rc != SQLITE_DONE) return db_of(c)->fail_sqlite(rc);
        returned_changes(c, st, s, entry);
        return 0;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return db_of(c)->fail_sqlite(rc);
    ResultColumns own;
    const ResultColumns& cols = columns_of(s, ncols, st, entry, own);
    // A read-only query whose column types are all declared streams when
    // asked to; one through the statement cache only, which lets its
    // statement go.
    const bool stream = st->stream && entry && cols.declared && sqlite3_stmt_readonly(s);
    if (int failed = read_rows(c, st, s, rc, cols, stream, entry)) return failed;
    if (!stream) returned_changes(c, st, s, entry);
    return 0;
}

}  // namespace

int run_prepared(Conn* c, Stmt* st, sqlite3_stmt* s, StmtCache::Entry* entry) {
    Db* d = db_of(c);
    const bool open = !sqlite3_get_autocommit(d->db);
    return note_undone(d, open, step_prepared(c, st, s, entry));
}

}  // namespace qse
