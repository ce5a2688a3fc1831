// What the files that run a statement text share: return (returning.cpp)
// and the runner of a prepared statement (runner.cpp). dispatch.cpp tells
// them apart, hands the library's other statements to the common layer
// (own.h), and each text to its runner.
#pragma once

#include "db.h"
#include "elemtype.h"
#include "sqltext.h"
#include "text.h"
#include "value.h"

namespace qse {

// What a cached statement text turned into.
enum Kind { K_PLAIN = 0, K_RETURN = 1 };

// Steps prepared statement `s` to its end and keeps its result set and
// return value on `st`; `entry` (may be null) keeps its columns' description for the
// next run. 0 or the failure's code.
int run_prepared(Conn* c, Stmt* st, sqlite3_stmt* s, StmtCache::Entry* entry = nullptr);

// return EXPR [as TYPE]; (parse.cpp recognises the statement).
// Runs the select the return statement became; `how` holds its type.
int run_return(Conn* c, Stmt* st, sqlite3_stmt* s, const StmtCache::Entry& how);

// Column k of the current row of `s` as a Value (text and blobs borrowed
// from SQLite until the next step).
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

}  // namespace qse
