// Recognising the library's own statements in a statement text.
#include "parse.h"
#include "statement.h"

#include <strings.h>

namespace qse {

namespace {

bool read_name(const char*& p, const char* e, std::string& name) {
    p = skip_space(p, e);
    const char* s = p;
    while (p < e && !is_space(*p) && *p != ';') ++p;
    name.assign(s, p);
    return !name.empty();
}

Command syntax(const char* usage) {
    Command c;
    c.kind = Command::SYNTAX;
    c.usage = usage;
    return c;
}

Command err_to_user(const char* p, const char* e) {
    p = skip_space(p, e);
    if (p < e && *p == '(') {
        p = skip_space(p + 1, e);
        if (p < e && *p == '-') ++p;
        long v = 0;
        const char* d = p;
        while (p < e && *p >= '0' && *p <= '9' && v < 1000000) v = v * 10 + (*p++ - '0');
        p = skip_space(p, e);
        if (p > d && p < e && *p == ')' && trim_end(p + 1, e) == p + 1) {
            Command c;
            c.kind = Command::ERR_TO_USER;
            c.on = v != 0;
            return c;
        }
    }
    return syntax("err_to_user(0|1);");
}

}  // namespace

Command parse_command(const char* sql, size_t n) {
    const char* e = sql + n;
    const char* p = skip_space(sql, e);
    Command c;
    const char* q = p;
    if (keyword(q, e, "err_to_user")) return err_to_user(q, e);
    if (keyword(q, e, "return")) {
        const char* xe = trim_end(q, e);
        const char* expr_end = xe;
        c.kind = Command::RETURN;
        c.typed = split_return_type(q, xe, &expr_end, &c.type);
        c.expr = q;
        c.expr_len = static_cast<size_t>(expr_end - q);
        return c;
    }
    int which = keyword(q, e, "begin") ? 0 : keyword(q, e, "commit") ? 1 : keyword(q, e, "rollback") ? 2 : -1;
    if (which < 0) return c;
    const char* w = skip_space(q, e);
    if (!keyword(w, e, "work")) return c;
    static const char* const usage[] = {"begin work NAME table A, B;", "commit work NAME;",
                                        "rollback work NAME;"};
    if (!read_name(w, e, c.name)) return syntax(usage[which]);
    c.kind = which == 0 ? Command::BEGIN : which == 1 ? Command::COMMIT : Command::ROLLBACK;
    return c;
}

bool next_tblstruct(const std::string& sql, size_t from, size_t* at, size_t* end, std::string* name) {
    static const char WORD[] = "qxtblstruct";
    const size_t wl = sizeof WORD - 1;
    const char* b = sql.data();
    const char* e = b + sql.size();
    for (size_t k = from; k + wl <= sql.size(); ++k) {
        if (strncasecmp(b + k, WORD, wl) != 0 || (k > 0 && is_word(b[k - 1]))) continue;
        const char* p = skip_space(b + k + wl, e);
        if (p >= e || *p != '(') continue;
        p = skip_space(p + 1, e);
        if (p >= e || (*p != '"' && *p != '\'')) continue;
        name->clear();
        if (!scan_quoted(p, e, name, &p)) continue;
        p = skip_space(p, e);
        if (p >= e || *p != ')') continue;
        *at = k;
        *end = static_cast<size_t>(p + 1 - b);
        return true;
    }
    return false;
}

}  // namespace qse
