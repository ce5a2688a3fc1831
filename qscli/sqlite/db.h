// The SQLite backend's own state and the functions its files share; nothing
// above sqlite/ sees it.
#pragma once

#include "conn.h"
#include "dates.h"
#include "elemtype.h"
#include "qscli_api.h"
#include "sqltext.h"
#include "stmt_cache.h"
#include "text.h"
#include "value.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qse {

// One connection's SQLite database and what belongs to it. The connection's
// backend owns it from log-on to log-off.
struct Db {
    explicit Db(Conn* c) : conn(c) {}
    ~Db();  // finalizes the cached statements and closes (an open transaction rolls back)
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    Conn* const conn;
    sqlite3* db = nullptr;
    StmtCache cache;
    // The main and temp schema versions the write checks were made for.
    int64_t checked_schema[2] = {-1, -1};
    // Whether the triggers still fit the schema with no reading: no
    // statement but `approved` has run, nor one that could change a schema
    // been prepared, since the last full check (write_check.cpp).
    bool check_current = false;
    sqlite3_stmt* approved = nullptr;
    // What the authorizer has seen since `auditing` was set.
    bool auditing = false, audit_writes = false, audit_other = false;
    // Whether a transaction's first write takes main's write lock before
    // the write check reads (write_check.cpp).
    bool lock_first = false;
    // A bulk load is inserting records it has checked itself into a table
    // no trigger but the checks' own writes from: the insert checks pass
    // them by (write_check.cpp).
    bool loading_checked = false;
    // A bulk load takes a cancel between its statements, never inside one:
    // SQLite answers a write stopped inside a transaction by rolling the
    // whole transaction back, which would take the rows loaded before the
    // call with it (bulk.cpp).
    bool cancel_between_statements = false;
    // How long a statement waits for another connection's lock (ms).
    int busy_limit_ms = 5000;
    // Set when a statement failed and SQLite rolled back the transaction it
    // ran in (an interrupt of a write, ON CONFLICT ROLLBACK, a full disk):
    // a savepoint cannot keep the rest, SQLite ends the whole transaction.
    bool undone = false;

    // Reports SQLite's result code `rc` with its message through the
    // connection. Returns the library's code.
    int fail_sqlite(int rc);
};

// A statement's outcome `rc`, noted in Db::undone when it failed and took
// the transaction that was open before it (`open`) with it.
inline int note_undone(Db* d, bool open, int rc) {
    if (rc && open && sqlite3_get_autocommit(d->db)) d->undone = true;
    return rc;
}

// The database of a connection this backend serves.
Db* db_of(Conn* c);
// The library's code for SQLite's result code `rc` (its primary code).
inline int code_of(int rc) { return -(rc & 0xff); }

// Runs `sql` (CP866, NUL-terminated) on `st`.
int exec_direct(Stmt* st, const char* sql);
// qcSqlExecRecords (backend.h).
int exec_records(Stmt* st, const char* sql, const RecordLayout& lay, qc_long count, const unsigned char* recs,
                 qc_long* done, int64_t* changes);
// Runs engine SQL (UTF-8), every statement of it, to its end. 0 or the
// failure's code.
int exec_simple(Conn* c, const std::string& sql);
// Backend::describe_table.
int describe_table(Conn* c, const std::string& table, bool int64, std::vector<TableColumn>& out);
// A cached prepared statement for engine-made SQL (UTF-8); null after
// reporting the failure. Give it back with release_cached().
sqlite3_stmt* prepare_cached(Db* c, const std::string& sql, StmtCache::Entry** entry);
void release_cached(Db* c, sqlite3_stmt* s, StmtCache::Entry* entry);
// Installs the engine's SQL functions on a new database connection.
int install_functions(Db* d);
// Values a read could not return are refused when written (write_check.cpp):
// install once per database connection, and check before each statement
// that writes (`s`, reset; `entry` its cache entry or null). 0 or the
// failure's code.
int install_write_check(Db* c);
int check_writes(Db* c, sqlite3_stmt* s, StmtCache::Entry* entry);
// Whether the write checks may pass checked values for `table` by: it is a
// table of main or temp on which no trigger but the checks' own fires (a
// user's trigger could write other values elsewhere). Read under main's
// write lock (bulk.cpp).
bool checked_records_only(Conn* c, const std::string& table);
// A column an INSERT of records fills, as its write check reads it: the
// element type (-1 none declared) and len the check packs into, SQLite's
// affinity for the column ('B'lob, 'T'ext, 'N'umeric, 'I'nteger, 'R'eal),
// and whether it is part of the primary key.
struct FitColumn {
    int type = -1;
    uint32_t len = 0;
    char affinity = 'B';
    bool key = false;
};
// An INSERT of records whose values the library checks itself.
struct InsertFit {
    std::vector<FitColumn> columns;  // the column each mark fills, in mark order
    size_t tuple_b = 0, tuple_e = 0;  // where its VALUES tuple is in the text
    bool abort = false;               // OR ABORT: a failure undoes the statement alone
};
// For `sql` (CP866) of exec_records, when the text is `INSERT [OR
// ABORT|FAIL|IGNORE|ROLLBACK] INTO t [(columns)] VALUES (?, ...)` filling
// every column of t, and t has no trigger of its own; false otherwise
// (write_check.cpp).
bool plan_insert_fit(Conn* c, const char* sql, size_t n, InsertFit& out);
// Whether the insert check passes `v` as bound to such a column (Text as
// UTF-8): false when it would refuse it, and when the value SQLite stores
// could differ from `v` (an affinity converting it, a rowid chosen).
bool fits_bound(const FitColumn& col, const Value& v);
// Bulk insert of `count` records of `rec_size` bytes into `table`.
int add_records(Conn* c, const char* table, qc_long count, unsigned rec_size, const void* recs);

}  // namespace qse
