// QXTBLSTRUCT("T"): a table's field list, usable wherever a table is.
#include "statement.h"

namespace qse {

bool rewrite_tblstruct(sqlite3* db, std::string& sql, std::string* missing) {
    static const char WORD[] = "qxtblstruct";
    const size_t wl = sizeof WORD - 1;
    bool changed = false;
    size_t from = 0;
    for (;;) {
        size_t i = std::string::npos;
        for (size_t k = from; k + wl <= sql.size(); ++k) {
            if (sqlite3_strnicmp(sql.data() + k, WORD, static_cast<int>(wl)) == 0 &&
                (k == 0 || !is_word(sql[k - 1]))) {
                i = k;
                break;
            }
        }
        if (i == std::string::npos) return changed;
        const char* b = sql.data();
        const char* e = b + sql.size();
        const char* p = skip_space(b + i + wl, e);
        from = i + wl;
        if (p >= e || *p != '(') continue;
        p = skip_space(p + 1, e);
        if (p >= e || (*p != '"' && *p != '\'')) continue;
        std::string name;
        if (!scan_quoted(p, e, &name, &p)) continue;
        p = skip_space(p, e);
        if (p >= e || *p != ')') continue;
        ++p;
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
        size_t end = static_cast<size_t>(p - b);
        sql.replace(i, end - i, sub);
        from = i + sub.size();
        changed = true;
    }
}

}  // namespace qse
