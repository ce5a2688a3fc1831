// A query's rows on SQLite, handed to the common builder (stream.h): read
// whole before the execute returns, or streamed (QSCLI_ATTR_STREAM).
#pragma once

#include "dispatch.h"
#include "stream.h"

namespace qse {

// The rows of query `s`, stepped once with `first_rc`, described by `cols`,
// into st's result: streamed when `stream` (then `entry`, the cache entry `s`
// came from, gets a fresh statement while rows remain), else read to their
// end. 0 or a code.
int read_rows(Conn* c, Stmt* st, sqlite3_stmt* s, int first_rc, const ResultColumns& cols, bool stream,
              StmtCache::Entry* entry);

}  // namespace qse
