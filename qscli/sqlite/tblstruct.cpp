// QXTBLSTRUCT("T"): a table's field list, usable wherever a table is.
#include "parse.h"
#include "statement.h"

namespace qse {

bool rewrite_tblstruct(sqlite3* db, std::string& sql, std::string* missing) {
    const std::vector<TblStruct> found = find_tblstruct(Dialect::Engine, sql);
    // From the last one back, so the places of the others stay.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
        const std::string& name = it->name;
        if (missing->empty() &&
            sqlite3_table_column_metadata(db, nullptr, name.c_str(), nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr) != SQLITE_OK)
            *missing = name;
        std::string lit = quote_literal(name);
        std::string sub =
            "(select " + lit +
            " as tbl, cid as fieldno, name as fname, qx_type(type) as type, qx_len(type) as len, "
            "coalesce(sum(qx_len(type)) over (order by cid rows between unbounded preceding and 1 "
            "preceding), 0) as off, type as decl from pragma_table_info(" +
            lit + ") order by cid)";
        sql.replace(it->at, it->end - it->at, sub);
    }
    return !found.empty();
}

}  // namespace qse
