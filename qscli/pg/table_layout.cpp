// A table's layout as the server describes it: its fields, their element
// types and widths, and its name as the server spells it.
#include "session.h"

#include <cstdlib>

namespace qse {
namespace pg {

namespace {

// The table's fields in order and its name as the server spells it; the
// table as written first (a table created with quotes), else as SQL reads
// it (folded to lower case, schema allowed). A table of no fields is one
// row of no field.
const char LAYOUT_SQL[] =
    "select a.attname, a.atttypid, a.atttypmod, format_type(a.atttypid, a.atttypmod), "
    "t.oid::regclass::text from (select coalesce(to_regclass(quote_ident($1)), to_regclass($1)) as oid) t "
    "left join pg_attribute a on a.attrelid = t.oid and a.attnum > 0 and not a.attisdropped "
    "where t.oid is not null order by a.attnum";

}  // namespace

std::string layout_query(const std::string& table) {
    std::string sql = LAYOUT_SQL, lit = quote_literal(table);
    for (size_t at; (at = sql.find("$1")) != std::string::npos;) sql.replace(at, 2, lit);
    return sql;
}

void Attribute::shape(FieldForms forms) {
    const MappedColumn col = table_column(map_column(oid, mod, true), forms);
    type = col.type;
    len = col.var ? TABLE_VAR_WIDTH : field_width(col.type, col.len);
}

void Session::read_layout(const pq::PGresult* res, FieldForms forms, std::vector<Attribute>& out,
                          std::string* qualified) {
    int n = pq.PQntuples(res);
    if (qualified && n > 0) *qualified = pq.PQgetvalue(res, 0, 4);
    for (int r = 0; r < n && !pq.PQgetisnull(res, r, 0); ++r) {
        Attribute f;
        f.name = pq.PQgetvalue(res, r, 0);
        f.oid = static_cast<pq::Oid>(std::strtoul(pq.PQgetvalue(res, r, 1), nullptr, 10));
        f.mod = std::atoi(pq.PQgetvalue(res, r, 2));
        f.decl = pq.PQgetvalue(res, r, 3);
        f.shape(forms);
        out.push_back(f);
    }
}

int Session::table_layout(const std::string& table, FieldForms forms, std::vector<Attribute>& out,
                          std::string* qualified) {
    const char* values[1] = {table.c_str()};
    pq::PGresult* res = nullptr;
    if (int rc = run_params("qx_layout", LAYOUT_SQL, 1, values, &res)) return rc;
    const bool found = pq.PQntuples(res) > 0;
    read_layout(res, forms, out, qualified);
    pq.PQclear(res);
    if (!found) return c->fail(QSCLI_E_ERROR, "no such table: " + table);
    return 0;
}

}  // namespace pg
}  // namespace qse
