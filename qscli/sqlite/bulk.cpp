// qcSqlAddRecords: records of a table's layout, each batch inserted whole
// or not at all.
#include "db.h"
#include "named.h"
#include "dates.h"
#include "elemtype.h"
#include "sqltext.h"
#include "text.h"
#include "value.h"

#include <cmath>

namespace qse {

namespace {

// Runs one engine statement from the cache; 0 or the failure's code.
int run_cached(Conn* c, const std::string& sql) {
    StmtCache::Entry* e;
    sqlite3_stmt* s = prepare_cached(db_of(c), sql, &e);
    if (!s) return -1;
    int rc = sqlite3_step(s);
    int code = rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : db_of(c)->fail_sqlite(rc);
    release_cached(db_of(c), s, e);
    return code;
}

// Refuses record `row` for a value of field `f` the table cannot keep (the
// batch is then refused whole). SQLITE_MISMATCH, for bind_field to return.
int refuse_value(Conn* c, uint64_t row, const TableField& f, const std::string& why) {
    c->fail(QSCLI_E_MISMATCH, "record " + std::to_string(row) + ", field " + f.name + ": " + why);
    return SQLITE_MISMATCH;
}

// Binds field `f` of a record at `p` to parameter `k`; text goes through
// `scratch`, which must live until the row is stepped.
int bind_field(Conn* c, sqlite3_stmt* s, int k, const TableField& f, const unsigned char* p,
               std::string& scratch, uint64_t row) {
    Value v;
    std::string why;
    if (!unpack_value(f.type, f.len, p, v, scratch, &why)) return refuse_value(c, row, f, why);
    switch (v.kind) {
    case VKind::Int: return sqlite3_bind_int64(s, k, v.i);
    case VKind::Float:
        // SQLite keeps a NaN as NULL, which would read back as 0.
        if (std::isnan(v.d)) return refuse_value(c, row, f, "NaN is not a number it can keep");
        return sqlite3_bind_double(s, k, v.d);
    case VKind::Text866:
        if (f.type != QSCLI_ET_DATE) {  // a date's ISO text is in scratch already
            scratch.clear();
            cp866_to_utf8(v.p, v.n, scratch);  // v borrows the record, not scratch
        }
        return sqlite3_bind_text(s, k, scratch.data(), static_cast<int>(scratch.size()), SQLITE_STATIC);
    case VKind::Blob: return sqlite3_bind_blob(s, k, v.p, static_cast<int>(v.n), SQLITE_STATIC);
    default: return sqlite3_bind_null(s, k);
    }
}

std::string insert_sql(const std::string& table, const std::vector<TableField>& fields) {
    std::string sql = "insert into " + quote_ident(table) + "(";
    for (size_t k = 0; k < fields.size(); ++k) sql += (k ? "," : "") + quote_ident(fields[k].name);
    sql += ") values (";
    for (size_t k = 0; k < fields.size(); ++k) sql += k ? ",?" : "?";
    return sql + ")";
}

// Binds the fields of one record (null flags at `flags`, or none); 0 or the
// failure's code.
int bind_record(Conn* c, sqlite3_stmt* ins, const std::vector<TableField>& fields, const unsigned char* p,
                const unsigned char* flags, std::vector<std::string>& scratch, uint64_t r) {
    for (size_t k = 0; k < fields.size(); ++k) {
        const int rc = flags && (flags[k >> 3] >> (k & 7) & 1)
                           ? sqlite3_bind_null(ins, static_cast<int>(k) + 1)
                           : bind_field(c, ins, static_cast<int>(k) + 1, fields[k], p, scratch[k], r);
        if (rc == SQLITE_MISMATCH) return QSCLI_E_MISMATCH;
        if (rc != SQLITE_OK) return db_of(c)->fail_sqlite(rc);
        p += fields[k].len;
    }
    return 0;
}

// Inserts the records with `ins`; 0 or the failure's code.
int insert_rows(Conn* c, sqlite3_stmt* ins, const std::vector<TableField>& fields, qc_long count, unsigned rec_size,
                const void* recs, uint64_t flag_bytes) {
    std::vector<std::string> scratch(fields.size());
    const unsigned char* rec = static_cast<const unsigned char*>(recs);
    int code = 0;
    for (qc_long r = 0; r < count && !code; ++r, rec += rec_size) {
        const unsigned char* flags = flag_bytes ? rec + rec_size - flag_bytes : nullptr;
        if ((code = bind_record(c, ins, fields, rec, flags, scratch, r))) break;
        int rc = sqlite3_step(ins);
        if (rc != SQLITE_DONE) {
            const char* msg = sqlite3_errmsg(db_of(c)->db);
            code = c->fail(code_of(rc), "record " + std::to_string(r) + ": " + (msg ? msg : "error"));
        }
        sqlite3_reset(ins);
    }
    sqlite3_clear_bindings(ins);
    return code;
}

// The whole batch or nothing: undoes the rows already inserted, and ends
// the transaction the batch began (SQLite may have ended it already).
void undo_batch(Conn* c, bool outer) {
    std::string saved = c->last_error;
    if (outer) {
        if (!sqlite3_get_autocommit(db_of(c)->db)) run_cached(c, "rollback");
    } else {
        run_cached(c, "rollback to qx_addrecords");
        run_cached(c, "release qx_addrecords");
    }
    c->last_error = saved;
}

}  // namespace

int add_records(Conn* c, const char* table, qc_long count, unsigned rec_size, const void* recs) {
    if (!table || count < 0 || (count > 0 && !recs)) return QSCLI_E_ARGUMENT;
    if (!c->lost.empty()) return refuse_lost(c);
    std::string name;
    cp866_to_utf8(reinterpret_cast<const unsigned char*>(table), std::strlen(table), name);
    std::vector<TableField> fields;
    if (int rc = describe_table(c, name, c->int64, fields)) return rc;
    uint64_t size = 0;
    for (const TableField& f : fields) size += f.len;
    // With the connection's null flags on, a record may end with a bit a field.
    const uint64_t flag_bytes = (fields.size() + 7) / 8;
    const bool flagged = c->null_flags && size + flag_bytes == rec_size;
    if (flagged) size += flag_bytes;
    if (size != rec_size)
        return c->fail(QSCLI_E_RECORD_LENGTH, "records of " + std::to_string(rec_size) + " bytes do not match table " +
                                            name + " (" + std::to_string(size) + " bytes a record)");
    if (count == 0) return 0;

    StmtCache::Entry* e;
    sqlite3_stmt* ins = prepare_cached(db_of(c), insert_sql(name, fields), &e);
    if (!ins) return code_of(sqlite3_errcode(db_of(c)->db));

    // Outside a transaction the savepoint begins one, and its release
    // commits the batch.
    const bool outer = sqlite3_get_autocommit(db_of(c)->db) != 0;
    const bool named = in_named(c);
    int code = run_cached(c, "savepoint qx_addrecords");
    if (code) {
        release_cached(db_of(c), ins, e);
        return code;
    }
    code = insert_rows(c, ins, fields, count, rec_size, recs, flagged ? flag_bytes : 0);
    release_cached(db_of(c), ins, e);
    if (!code) {
        code = run_cached(c, "release qx_addrecords");
        // A commit can still refuse the batch (a deferred foreign key): the
        // transaction then stays open, and must not keep the batch pending.
        if (!code || !outer) return code;
    }
    undo_batch(c, outer);
    return note_lost(c, named, !outer && sqlite3_get_autocommit(db_of(c)->db), code);
}
}  // namespace qse
