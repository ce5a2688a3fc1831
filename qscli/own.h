// The library's own statements, carried out here once for every backend over
// its primitives (backend.h): err_to_user, named transactions (named.cpp)
// QXTBLSTRUCT (tblstruct.cpp) and the value of `return` (returning.cpp),
// whose select runs on each backend's statement path like any other.
#pragma once

#include "conn.h"
#include "parse.h"
#include "value.h"

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

// The value `v` of a return statement's select as the statement's return
// value: of the `declared` type (null for none), else of `untyped`, which
// each backend chooses its way (SQLite by the value, PostgreSQL by the
// column). Without a declared type a NULL returns nothing.
int set_return(Conn* c, Stmt* st, const ElemType* declared, const Value& v, const ElemType& untyped);

}  // namespace qse
