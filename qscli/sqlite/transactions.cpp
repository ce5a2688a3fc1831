// SQLite's side of the library's own statements: engine SQL run whole (the
// transaction primitives) and a table's description.
#include "db.h"

namespace qse {

int exec_simple(Conn* c, const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_of(c)->db, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        return c->fail(code_of(rc), msg);
    }
    return 0;
}

int describe_table(Conn* c, const std::string& table, bool int64, std::vector<TableColumn>& out) {
    StmtCache::Entry* e;
    sqlite3_stmt* s = prepare_cached(db_of(c), "select name, type from pragma_table_info(?1) order by cid", &e);
    if (!s) return db_of(c)->fail_sqlite(sqlite3_errcode(db_of(c)->db));
    sqlite3_bind_text(s, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        const char* decl = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
        ElemType t = map_decltype(decl && *decl ? decl : nullptr);
        out.push_back({name ? name : "", t.int64 && int64 ? QSCLI_ET_INT64 : table_type(t), table_width(t),
                       decl ? decl : "", t.type == QSCLI_ET_CHAR && !t.var && !t.infer ? t.len : 0});
    }
    int code = rc == SQLITE_DONE ? 0 : db_of(c)->fail_sqlite(rc);
    sqlite3_clear_bindings(s);
    release_cached(db_of(c), s, e);
    if (!code && out.empty()) code = c->fail(QSCLI_E_ERROR, "no such table: " + table);
    return code;
}

}  // namespace qse
