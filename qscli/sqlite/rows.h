// Streamed results on SQLite (rows.cpp).
#pragma once

#include "statement.h"
#include "stream.h"

namespace qse {

// Hands the rows of read-only query `s`, stepped once with `first_rc`, to
// st's stream and makes its first batch; `entry` is the cache entry `s`
// came from, which gets a fresh statement when rows remain. 0 or a code.
int stream_rows(Conn* c, Stmt* st, sqlite3_stmt* s, int first_rc, StmtCache::Entry* entry);

}  // namespace qse
