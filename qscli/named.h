// The named transactions (begin work NAME, commit work NAME, rollback work
// NAME): one database transaction, savepoints inside it, carried out over
// the backend's transaction primitives the same way on every backend.
#pragma once

#include "conn.h"

#include <string>

namespace qse {

// Names in UTF-8.
int run_begin(Conn* c, const std::string& name);
int run_end(Conn* c, const std::string& name, bool commit);

// True when named transactions are open in a database transaction.
bool in_named(Conn* c);
// After a failure `code`: notes that the engine rolled back the whole
// transaction with it (`undone`, or the named transactions that were open
// before, `named` from in_named(), are gone), so that nothing meant to be
// part of it commits alone. Returns code.
int note_lost(Conn* c, bool named, bool undone, int code);
// The refusal of a statement while the transaction is lost.
int refuse_lost(Conn* c);
// A plain ROLLBACK (commit false) or COMMIT of a lost transaction that had
// no names: it is forgotten; a commit reports that nothing was kept.
int end_lost_plain(Conn* c, bool commit);

// The statements of a savepoint, as every backend spells them.
std::string savepoint_sql(const std::string& name);
std::string release_sql(const std::string& name);
std::string rollback_to_sql(const std::string& name);

}  // namespace qse
