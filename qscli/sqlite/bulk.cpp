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
int refuse_value(Conn* c, uint64_t row, const TableColumn& f, const std::string& why) {
    c->fail(QSCLI_E_MISMATCH, "record " + std::to_string(row) + ", field " + f.name + ": " + why);
    return SQLITE_MISMATCH;
}

// Binds field j of record `rec` to parameter `k`; text goes through
// `scratch`, or in UTF-8 straight from the record: both must live until the
// row is stepped (the records do for the whole load).
int bind_field(Conn* c, sqlite3_stmt* s, int k, const TableColumn& f, const RecordLayout& lay, const unsigned char* rec,
               size_t j, std::string& scratch, uint64_t row) {
    Value v;
    std::string why;
    if (!lay.value(rec, j, v, scratch, &why)) return refuse_value(c, row, f, why);
    switch (v.kind) {
    case VKind::Int:
        // A load keeps to each integer type's write range, as every other
        // write does (the patterns left out read as NULL): a record is judged
        // the same wherever it stands, whether or not the write checks run.
        if (f.type < QSCLI_ET_COUNT && kWriteLow[f.type] != kWriteHigh[f.type] &&
            (v.i < kWriteLow[f.type] || v.i > kWriteHigh[f.type]))
            return refuse_value(c, row, f,
                                std::to_string(v.i) + " does not fit " + std::to_string(kWriteLow[f.type]) + ".." +
                                    std::to_string(kWriteHigh[f.type]) + " (" + type_name(f.type) + ")");
        return sqlite3_bind_int64(s, k, v.i);
    case VKind::Float:
        // SQLite keeps a NaN as NULL, which would read back as 0.
        if (std::isnan(v.d)) return refuse_value(c, row, f, "NaN is not a number it can keep");
        return sqlite3_bind_double(s, k, v.d);
    case VKind::Text866:
        if (f.type != QSCLI_ET_DATE && c->text_utf8) {
            // The insert's own check is off for a load: the text is checked
            // here, its declared length in characters, and bound where the
            // record holds it, as a blob is.
            const TextStatus st = check_utf8(v.p, v.n, f.chars);
            if (st != TextStatus::Ok) {
                Value text = v;
                text.kind = VKind::Text;
                return refuse_value(c, row, f, refusal(text, QSCLI_ET_CHAR, text_problem(st)));
            }
            return sqlite3_bind_text(s, k, reinterpret_cast<const char*>(v.p), static_cast<int>(v.n), SQLITE_STATIC);
        }
        if (f.type != QSCLI_ET_DATE) {  // a date's ISO text is in scratch already
            scratch.clear();
            cp866_to_utf8(v.p, v.n, scratch);  // v borrows the record, not scratch
        }
        return sqlite3_bind_text(s, k, scratch.data(), static_cast<int>(scratch.size()), SQLITE_STATIC);
    case VKind::Blob: return sqlite3_bind_blob(s, k, v.p, static_cast<int>(v.n), SQLITE_STATIC);
    default: return sqlite3_bind_null(s, k);
    }
}

// Records a statement: a chunk runs as one statement, so what each run of
// a statement costs (starting and ending it, and, on a table whose values
// are checked on the way in, copying every page it changes so that the
// statement alone can be undone) is paid once a chunk, not once a record.
constexpr qc_long CHUNK = 64;

std::string insert_sql(const std::string& table, const std::vector<TableColumn>& fields, qc_long records) {
    std::string sql = "insert into " + quote_ident(table) + "(";
    for (size_t k = 0; k < fields.size(); ++k) sql += (k ? "," : "") + quote_ident(fields[k].name);
    sql += ") values ";
    for (qc_long r = 0; r < records; ++r) {
        sql += r ? ",(" : "(";
        for (size_t k = 0; k < fields.size(); ++k) sql += k ? ",?" : "?";
        sql += ")";
    }
    return sql;
}

// Binds the fields of one record from parameter `first` on; 0 or the
// failure's code.
int bind_record(Conn* c, sqlite3_stmt* ins, int first, const std::vector<TableColumn>& fields, const RecordLayout& lay,
                const unsigned char* rec, std::string* scratch, uint64_t r) {
    for (size_t k = 0; k < fields.size(); ++k) {
        const int rc = bind_field(c, ins, first + static_cast<int>(k), fields[k], lay, rec, k, scratch[k], r);
        if (rc == SQLITE_MISMATCH) return QSCLI_E_MISMATCH;
        if (rc != SQLITE_OK) return db_of(c)->fail_sqlite(rc);
    }
    return 0;
}

// The statement that inserts `records` records at a time.
struct Inserter {
    Conn* c;
    sqlite3_stmt* s = nullptr;
    StmtCache::Entry* e = nullptr;
    Inserter(Conn* conn, const std::string& table, const std::vector<TableColumn>& fields, qc_long records) : c(conn) {
        s = prepare_cached(db_of(c), insert_sql(table, fields, records), &e);
    }
    ~Inserter() {
        if (!s) return;
        sqlite3_clear_bindings(s);  // the texts bound live no longer than the load
        release_cached(db_of(c), s, e);
    }
};

// A load's records and where they stand.
struct Records {
    const std::vector<TableColumn>& fields;
    const RecordLayout& lay;
    const unsigned char* base;
    std::vector<std::string> scratch;  // a field's text until its statement has run

    const unsigned char* at(qc_long r) const { return base + static_cast<uint64_t>(r) * lay.rec_size; }
};

// Runs `s` over records first..first+n-1 bound in order; 0 or the failure's
// code, naming record `first`.
int run_records(Conn* c, sqlite3_stmt* s, Records& recs, qc_long first, qc_long n) {
    const size_t nf = recs.fields.size();
    for (qc_long j = 0; j < n; ++j)
        if (int code = bind_record(c, s, static_cast<int>(j * nf) + 1, recs.fields, recs.lay, recs.at(first + j),
                                   &recs.scratch[j * nf], first + j))
            return code;
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc == SQLITE_DONE) return 0;
    const char* msg = sqlite3_errmsg(db_of(c)->db);
    return c->fail(code_of(rc), "record " + std::to_string(first) + ": " + (msg ? msg : "error"));
}

// Keeps a cancel for the loop between statements while a load runs.
struct CancelBetween {
    Db* d;
    explicit CancelBetween(Db* db) : d(db) { d->cancel_between_statements = true; }
    ~CancelBetween() { d->cancel_between_statements = false; }
};

// Inserts the records with `one`, CHUNK at a time with a statement of
// their own where SQLite takes one, and what is left after the last whole
// chunk (a batch of records rarely holds a multiple of CHUNK) with one
// statement of its own too; 0 or the failure's code. The first
// statement's rows are checked by the write checks too; it takes main's
// write lock, under which no other connection can add a trigger, so only
// then is it known whether the others' may be passed by.
int insert_rows(Conn* c, const std::string& table, sqlite3_stmt* one, Records& recs, qc_long count) {
    recs.scratch.resize(recs.fields.size() * static_cast<size_t>(count < CHUNK ? count : CHUNK));
    Db* d = db_of(c);
    CancelBetween between(d);
    qc_long r = 0;
    auto after_first = [&] {
        if (r == 0) d->loading_checked = checked_records_only(c, table);
    };
    // Runs records r.. with `many` (n records a statement) while n remain;
    // false when it stopped at a failure (*code).
    auto run_many = [&](sqlite3_stmt* many, qc_long n, int* code) {
        for (; many && r + n <= count; r += n) {
            if (c->cancel_requested()) {
                *code = c->fail(QSCLI_E_INTERRUPTED, "interrupted");
                return false;
            }
            *code = run_records(c, many, recs, r, n);
            if (!*code) {
                after_first();
                continue;
            }
            // While the transaction stands, the batch is run again from its
            // start one record a statement, which names the record at fault
            // and leaves what a refusal of it alone leaves.
            if (sqlite3_get_autocommit(d->db) || run_cached(c, "rollback to qx_addrecords")) return false;
            d->loading_checked = false;
            for (qc_long k = 0, end = r + n; k < end; ++k)
                if (int failed = run_records(c, one, recs, k, 1)) {
                    *code = failed;
                    return false;
                }
            return false;
        }
        return true;
    };
    int code = 0;
    if (count >= CHUNK) {
        Inserter chunk(c, table, recs.fields, CHUNK);
        if (!run_many(chunk.s, CHUNK, &code)) return code;
    }
    if (count - r > 1 && count - r < CHUNK) {
        Inserter rest(c, table, recs.fields, count - r);
        if (!run_many(rest.s, count - r, &code)) return code;
    }
    for (; r < count; ++r) {
        if (c->cancel_requested()) return c->fail(QSCLI_E_INTERRUPTED, "interrupted");
        if (int failed = run_records(c, one, recs, r, 1)) return failed;
        after_first();
    }
    return 0;
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

// Whether the write checks may pass the records of `table` by: it is a
// table of main or temp, and no trigger but the checks' own fires on it (a
// user's trigger could write other values elsewhere). Every record a load
// binds reads back as it was given. Read under main's write lock.
bool checked_records_only(Conn* c, const std::string& table) {
    StmtCache::Entry* e;
    sqlite3_stmt* s = prepare_cached(
        db_of(c),
        "select exists (select 1 from temp.sqlite_master where type = 'table' and name = ?1 collate nocase"
        " union all select 1 from main.sqlite_master where type = 'table' and name = ?1 collate nocase)"
        " and not exists (select 1 from temp.sqlite_master where type = 'trigger' and tbl_name = ?1 collate nocase"
        " and name not glob 'qx_fit_*' union all select 1 from main.sqlite_master where type = 'trigger'"
        " and tbl_name = ?1 collate nocase)",
        &e);
    if (!s) return false;
    sqlite3_bind_text(s, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
    const bool only = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == 1;
    sqlite3_clear_bindings(s);
    release_cached(db_of(c), s, e);
    return only;
}

int add_records(Conn* c, const char* table, qc_long count, unsigned rec_size, const void* recs) {
    if (!table || count < 0 || (count > 0 && !recs)) return QSCLI_E_ARGUMENT;
    if (!c->lost.empty()) return refuse_lost(c);
    std::string name;
    cp866_to_utf8(reinterpret_cast<const unsigned char*>(table), std::strlen(table), name);
    std::vector<TableColumn> fields;
    if (int rc = describe_table(c, name, c->loads.int64, fields)) return rc;
    // With the connection's null flags on, a record may end with a bit a field.
    RecordLayout lay;
    if (!lay.of_table(fields, c->null_flags, rec_size))
        return c->fail(QSCLI_E_RECORD_LENGTH, record_size_refusal(rec_size, name, lay.flags_at));
    if (count == 0) return 0;

    Inserter one(c, name, fields, 1);
    if (!one.s) return code_of(sqlite3_errcode(db_of(c)->db));

    // Outside a transaction the savepoint begins one, and its release
    // commits the batch.
    const bool outer = sqlite3_get_autocommit(db_of(c)->db) != 0;
    const bool named = in_named(c);
    int code = run_cached(c, "savepoint qx_addrecords");
    if (code) return code;
    Records records{fields, lay, static_cast<const unsigned char*>(recs), {}};
    code = insert_rows(c, name, one.s, records, count);
    db_of(c)->loading_checked = false;
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
