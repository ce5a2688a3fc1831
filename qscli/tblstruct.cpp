// QXTBLSTRUCT("T"): a table's field list, usable wherever a table is: the
// rows of the table's description (Backend::describe_table) as a VALUES list
// both dialects read alike.
#include "own.h"
#include "sqltext.h"

namespace qse {

namespace {

std::string layout_rows(const std::string& table, const std::vector<TableColumn>& fields, bool aliased) {
    const std::string tbl = quote_literal(table);
    std::string rows;
    uint64_t off = 0;
    for (size_t k = 0; k < fields.size(); ++k) {
        const TableColumn& f = fields[k];
        rows += std::string(k ? ", " : "") + "(" + tbl + ", " + std::to_string(k) + ", " + quote_literal(f.name) +
                ", " + std::to_string(f.type) + ", " + std::to_string(f.len) + ", " + std::to_string(off) + ", " +
                quote_literal(f.decl) + ")";
        off += f.len;
    }
    // A query of its own, so the caller's alias (or none) applies to it.
    std::string sub =
        "(select column1 as tbl, column2 as fieldno, column3 as fname, column4 as type, column5 as len, "
        "column6 as off, column7 as decl from (values " +
        rows + ") as qx_fields)";
    if (!aliased) sub += " as qxtblstruct";
    return sub;
}

}  // namespace

int rewrite_tblstruct(Conn* c, std::string& sql, bool* found) {
    const Dialect d = c->backend->dialect() == QSCLI_DIALECT_PG ? Dialect::Pg : Dialect::Engine;
    const std::vector<TblStruct> places = find_tblstruct(d, sql);
    if (found) *found = !places.empty();
    // From the last one back, so the places of the others stay.
    for (auto it = places.rbegin(); it != places.rend(); ++it) {
        std::vector<TableColumn> fields;
        if (int rc = c->backend->describe_table(it->name, c->asked, fields)) return rc;
        sql.replace(it->at, it->end - it->at, layout_rows(it->name, fields, it->aliased));
    }
    return 0;
}

}  // namespace qse
