// The engine's own SQL functions: message() and user_message() reach the
// connection's callbacks; qx_type() and qx_len() give QXTBLSTRUCT its element
// types.
#include "db.h"
#include "elemtype.h"
#include "text.h"

#include <cstdint>
#include <string>

namespace qse {

namespace {

Conn* conn_of(sqlite3_context* ctx) { return static_cast<Conn*>(sqlite3_user_data(ctx)); }

std::string arg_text(sqlite3_value* v) {
    const char* t = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return utf8_to_cp866_lossy(t ? t : "");
}

void fn_message(sqlite3_context* ctx, int, sqlite3_value** argv) {
    conn_of(ctx)->deliver(arg_text(argv[0]), 0, false);
    sqlite3_result_null(ctx);
}

void fn_user_message(sqlite3_context* ctx, int, sqlite3_value** argv) {
    int64_t t = sqlite3_value_int64(argv[0]);
    if (t < INT32_MIN || t > INT32_MAX) {
        sqlite3_result_error(ctx, "user_message: usertype out of range", -1);
        return;
    }
    conn_of(ctx)->deliver(arg_text(argv[1]), static_cast<int>(t), true);
    sqlite3_result_null(ctx);
}

void fn_type(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const char* decl = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    ElemType e = map_decltype(decl && *decl ? decl : nullptr);
    sqlite3_result_int(ctx, e.int64 && conn_of(ctx)->int64_now ? QSCLI_ET_INT64 : table_type(e));
}

void fn_len(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const char* decl = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    ElemType e = map_decltype(decl && *decl ? decl : nullptr);
    sqlite3_result_int64(ctx, table_width(e));
}

}  // namespace

int install_functions(Db* d) {
    const int text = SQLITE_UTF8;
    const int pure = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    sqlite3* db = d->db;
    Conn* c = d->conn;
    int rc = sqlite3_create_function(db, "message", 1, text, c, fn_message, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_function(db, "user_message", 2, text, c, fn_user_message, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_create_function(db, "qx_type", 1, pure, c, fn_type, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_create_function(db, "qx_len", 1, pure, c, fn_len, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = install_write_check(d);
    return rc;
}

}  // namespace qse
