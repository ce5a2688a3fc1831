// The two spellings of the library's dialect that PostgreSQL reads
// otherwise: a blob literal X'..' (a bit string to the server) becomes a
// bytea literal, and SQLite's BEGIN DEFERRED / IMMEDIATE / EXCLUSIVE a plain
// BEGIN. So one statement text means the same on both backends.
#include "session.h"

namespace qse {
namespace pg {

namespace {

bool hex_digits(const char* p, const char* e) {
    for (; p < e; ++p)
        if (!((*p >= '0' && *p <= '9') || ((*p | 0x20) >= 'a' && (*p | 0x20) <= 'f'))) return false;
    return true;
}

}  // namespace

bool server_dialect(const char* sql, size_t n, std::string& out) {
    const char* const e = sql + n;
    const char* from = sql;  // copied to `out` up to here
    bool changed = false;
    auto flush = [&](const char* upto) {
        if (!changed) out.clear();
        changed = true;
        out.append(from, upto);
    };
    Lexer lx(Dialect::Pg, sql, e);
    bool start = true;  // at the start of a statement
    for (Token t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid()) {
        if (t.kind == Tok::Semicolon) {
            start = true;
            continue;
        }
        if (start && t.word("begin")) {
            Lexer ahead = lx;
            const Token mode = ahead.next_solid();
            if (mode.word("deferred") || mode.word("immediate") || mode.word("exclusive")) {
                flush(t.e);
                from = mode.e;
                lx = ahead;
            }
        } else if (t.kind == Tok::Blob && hex_digits(t.b + 2, t.e - 1)) {
            // An escape string: it reads the same whatever
            // standard_conforming_strings says.
            flush(t.b);
            out += "E'\\\\x";
            out.append(t.b + 2, t.e - 1);
            out += "'::bytea";
            from = t.e;
        }
        start = false;
    }
    if (!changed) return false;
    out.append(from, e);
    return true;
}

}  // namespace pg
}  // namespace qse
