// return EXPR [as TYPE] on SQLite: the value of the select the statement
// became; without a declared type the value's own (SQLite's columns have
// none of their own).
#include "own.h"
#include "dispatch.h"

namespace qse {

namespace {

ElemType type_of(const Value& v) {
    ElemType t;
    t.var = true;
    switch (v.kind) {
    case VKind::Int: t.type = (v.i >= INT32_MIN && v.i <= INT32_MAX) ? QSCLI_ET_LONG : QSCLI_ET_DFLT; break;
    case VKind::Float: t.type = QSCLI_ET_DFLT; break;
    case VKind::Blob: t.type = QSCLI_ET_ARRA; break;
    default: t.type = QSCLI_ET_CHAR; break;
    }
    return t;
}

}  // namespace

int run_return(Conn* c, Stmt* st, sqlite3_stmt* s, const StmtCache::Entry& how) {
    if (sqlite3_column_count(s) != 1) return c->fail(QSCLI_E_ERROR, "return takes exactly one value");
    const bool open = !sqlite3_get_autocommit(db_of(c)->db);
    int rc = sqlite3_step(s);
    Value v;
    if (rc == SQLITE_ROW) fetch(s, 0, v);
    else if (rc != SQLITE_DONE) return note_undone(db_of(c), open, db_of(c)->fail_sqlite(rc));
    return set_return(c, st, how.ret_typed ? &how.ret : nullptr, v, type_of(v));
}

}  // namespace qse
