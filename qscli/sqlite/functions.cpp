// The engine's own SQL functions: message() and user_message() reach the
// connection's callbacks.
#include "db.h"
#include "text.h"

#include <cstdint>
#include <string>

namespace qse {

namespace {

Conn* conn_of(sqlite3_context* ctx) { return static_cast<Conn*>(sqlite3_user_data(ctx)); }

std::string arg_text(sqlite3_value* v) {
    const char* t = reinterpret_cast<const char*>(sqlite3_value_text(v));
    return t ? t : "";
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

}  // namespace

int install_functions(Db* d) {
    const int text = SQLITE_UTF8;
    sqlite3* db = d->db;
    Conn* c = d->conn;
    int rc = sqlite3_create_function(db, "message", 1, text, c, fn_message, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_function(db, "user_message", 2, text, c, fn_user_message, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = install_write_check(d);
    return rc;
}

}  // namespace qse
