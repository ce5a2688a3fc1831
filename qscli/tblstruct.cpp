// QXTBLSTRUCT("T"): a table's field list, usable wherever a table is.
#include "parse.h"
#include "statement.h"

namespace qse {

bool rewrite_tblstruct(sqlite3* db, std::string& sql, std::string* missing) {
    bool changed = false;
    size_t from = 0, at, end;
    std::string name;
    while (next_tblstruct(sql, from, &at, &end, &name)) {
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
        sql.replace(at, end - at, sub);
        from = at + sub.size();
        changed = true;
    }
    return changed;
}

}  // namespace qse
