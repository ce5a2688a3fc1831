// The library's own statements, carried out here once for every backend over
// its primitives (backend.h): err_to_user, named transactions (named.cpp)
// and QXTBLSTRUCT (tblstruct.cpp). `return` runs on each backend's
// statement path (its select is a statement like any other).
#pragma once

#include "conn.h"
#include "parse.h"

#include <string>

namespace qse {

// Carries out a SYNTAX, ERR_TO_USER, BEGIN, COMMIT or ROLLBACK command.
// 0 or the failure's code.
int run_own(Conn* c, const Command& cmd);

// Replaces every QXTBLSTRUCT("T") (or 'T') in `sql` (UTF-8) by a query over
// the table's fields: table, field number, name, element type, length,
// offset in the record, declared type. *found (may be null): anything was
// replaced. 0, or the failure's code (a table that does not exist).
int rewrite_tblstruct(Conn* c, std::string& sql, bool* found = nullptr);

}  // namespace qse
