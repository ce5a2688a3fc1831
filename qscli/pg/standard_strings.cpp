// standard_conforming_strings stays on. The library, the driver's
// placeholders and the one-statement guard read every text with a backslash
// being itself in a '..' string; with the setting off the server would read
// `'C:\'; delete from t; --'` as two statements the library took for one
// string. So a statement that could turn it off is refused before any of its
// text is sent, a session whose role, database or options start it off is
// refused at connect (connect.cpp), and a change made where no text shows it
// (inside a function) fails the statement that made it (exec.cpp).
#include "platform.h"
#include "session.h"

#include <cstring>
#include <vector>

namespace qse {
namespace pg {

namespace {

const char NAME[] = "standard_conforming_strings";

bool same_nocase(const char* a, const char* b, size_t n) {
    for (size_t k = 0; k < n; ++k)
        if ((a[k] >= 'A' && a[k] <= 'Z' ? a[k] | 0x20 : a[k]) != b[k]) return false;
    return true;
}

bool names_it(const Token& t) {
    const size_t n = sizeof NAME - 1;
    switch (t.kind) {
    case Tok::Word: return t.word(NAME);
    case Tok::Name:
    case Tok::Text:
    case Tok::OtherText:
    case Tok::Bad:
        // Any string or quoted name holding it: set_config('...'), a
        // function's body.
        for (const char* p = t.b; p + n <= t.e; ++p)
            if (same_nocase(p, NAME, n)) return true;
        return false;
    default: return false;
    }
}

bool on_value(const Token& t) {
    if (t.kind == Tok::Number) return t.size() == 1 && *t.b == '1';
    if (t.kind == Tok::Text) {
        const std::string v = unquote(t);
        return (v.size() == 2 && same_nocase(v.data(), "on", 2)) || (v.size() == 4 && same_nocase(v.data(), "true", 4));
    }
    return t.word("on") || t.word("true");
}

// One statement's solid tokens: harmless when it names the setting only to
// read it (SHOW, or a query that calls no set_config) or to set it on
// (`set [session|local] standard_conforming_strings = on`, as dumps begin).
bool harmless(const std::vector<Token>& s) {
    if (s.empty()) return true;
    if (s[0].word("show")) return true;
    if (s[0].word("select")) {
        for (const Token& t : s)
            if (t.word("set_config")) return false;
        return true;
    }
    size_t k = 1;
    if (!s[0].word("set")) return false;
    if (k < s.size() && (s[k].word("session") || s[k].word("local"))) ++k;
    return s.size() == k + 3 && s[k].word(NAME) && (s[k + 1].is('=') || s[k + 1].word("to")) && on_value(s[k + 2]);
}

}  // namespace

const char STANDARD_STRINGS_OFF[] =
    "the driver reads every statement with it on (a backslash in a '..' string is itself); write E'..' for a "
    "string with backslash escapes";

int Session::standard_strings_on(bool at_logon) {
    const char* scs = pq.PQparameterStatus(conn, NAME);
    if (!scs || std::strcmp(scs, "off") != 0) return 0;
    const bool started = !at_logon;
    // An aborted transaction takes nothing but its rollback, which undoes
    // the change made in it.
    if (started && pq.PQtransactionStatus(conn) == pq::PQTRANS_INERROR) return 0;
    if (started) run("set standard_conforming_strings = on");
    return c->fail(QSCLI_E_ERROR, std::string(started ? "standard_conforming_strings was turned off (by a function "
                                                        "the statement called?); it is on again: "
                                                      : "the session starts with standard_conforming_strings off "
                                                        "(a setting of the role, the database or the connection's "
                                                        "options): ") +
                                      STANDARD_STRINGS_OFF);
}

int refuse_standard_strings_off(Conn* c, const char* sql, size_t n) {
    if (!platform::contains_nocase(sql, NAME)) return 0;  // sql ends in a NUL
    Lexer lx(Dialect::Pg, sql, sql + n);
    std::vector<Token> statement;
    bool named = false;
    for (Token t = lx.next_solid();; t = lx.next_solid()) {
        if (t.kind == Tok::Semicolon || t.kind == Tok::End) {
            if (named && !harmless(statement))
                return c->fail(QSCLI_E_ERROR, std::string("standard_conforming_strings cannot be turned off on this "
                                                          "connection: ") + STANDARD_STRINGS_OFF);
            if (t.kind == Tok::End) return 0;
            statement.clear();
            named = false;
            continue;
        }
        named = named || names_it(t);
        statement.push_back(t);
    }
}

}  // namespace pg
}  // namespace qse
