// The two spellings of the library's dialect that PostgreSQL reads
// otherwise: a blob literal X'..' (a bit string to the server) becomes a
// bytea literal, and SQLite's BEGIN DEFERRED / IMMEDIATE / EXCLUSIVE a plain
// BEGIN. So one statement text means the same on both backends.
#include "session.h"

#include <cstring>

namespace qse {
namespace pg {

namespace {

// Past a quoted text or name starting at p: '..' and ".." with doubled
// quotes, E'..' with backslash escapes, $tag$..$tag$; e when it does not end.
const char* past_quoted(const char* p, const char* e, bool backslashes) {
    const char q = *p++;
    while (p < e) {
        if (backslashes && *p == '\\') {
            p += 2;
            continue;
        }
        if (*p++ == q) {
            if (p < e && *p == q) {
                ++p;
                continue;
            }
            return p;
        }
    }
    return e;
}

// The dollar quote's tag at p ("$" word "$"), or 0 when there is none.
size_t dollar_tag(const char* p, const char* e) {
    const char* z = p + 1;
    if (z < e && *z >= '0' && *z <= '9') return 0;  // $1: a parameter
    while (z < e && is_word(*z) && *z != '$') ++z;
    return z < e && *z == '$' ? static_cast<size_t>(z + 1 - p) : 0;
}

const char* past_comment(const char* p, const char* e) {
    if (p[0] == '-') {
        const char* z = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(e - p)));
        return z ? z + 1 : e;
    }
    int depth = 0;  // block comments nest on the server
    while (p + 1 < e) {
        if (p[0] == '/' && p[1] == '*') ++depth, p += 2;
        else if (p[0] == '*' && p[1] == '/') { p += 2; if (--depth == 0) return p; }
        else ++p;
    }
    return e;
}

// At a statement's start: "begin" and one of SQLite's lock modes; *mode_end
// past the mode.
bool sqlite_begin(const char* p, const char* e, const char** mode_end) {
    if (!keyword(p, e, "begin")) return false;
    p = skip_space(p, e);
    if (!keyword(p, e, "deferred") && !keyword(p, e, "immediate") && !keyword(p, e, "exclusive")) return false;
    *mode_end = p;
    return true;
}

}  // namespace

bool server_dialect(const char* sql, size_t n, std::string& out) {
    const char* const e = sql + n;
    const char* from = sql;  // copied to `out` up to here
    bool start = true;       // at the start of a statement
    auto flush = [&](const char* upto) {
        if (from == sql) out.clear();
        out.append(from, upto);
    };
    for (const char* p = sql; p < e;) {
        const char c = *p;
        if (is_space(c)) {
            ++p;
        } else if ((c == '-' && p + 1 < e && p[1] == '-') || (c == '/' && p + 1 < e && p[1] == '*')) {
            p = past_comment(p, e);
        } else if (c == ';') {
            start = true;
            ++p;
        } else if (c == '\'' || c == '"') {
            p = past_quoted(p, e, false);
            start = false;
        } else if (c == '$' && dollar_tag(p, e)) {
            const size_t t = dollar_tag(p, e);
            const char* z = p + t;
            const char* close = nullptr;
            for (; z + t <= e; ++z)
                if (*z == '$' && std::memcmp(z, p, t) == 0) { close = z; break; }
            p = close ? close + t : e;
            start = false;
        } else if (is_word(c)) {
            const char* mode_end;
            if (start && sqlite_begin(p, e, &mode_end)) {
                flush(p);
                out += "begin";
                from = p = mode_end;
            } else if ((c | 0x20) == 'x' && p + 1 < e && p[1] == '\'' && (p == sql || !is_word(p[-1]))) {
                const char* z = past_quoted(p + 1, e, false);
                flush(p);
                out += "'\\x";
                out.append(p + 2, z - 1);
                out += "'::bytea";
                from = p = z;
            } else if ((c | 0x20) == 'e' && p + 1 < e && p[1] == '\'' && (p == sql || !is_word(p[-1]))) {
                p = past_quoted(p + 1, e, true);
            } else {
                while (p < e && is_word(*p)) ++p;
            }
            start = false;
        } else {
            ++p;
            start = false;
        }
    }
    if (from == sql) return false;
    out.append(from, e);
    return true;
}

}  // namespace pg
}  // namespace qse
