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

bool is_name(const std::string& v) { return v.size() == sizeof NAME - 1 && same_nocase(v.data(), NAME, v.size()); }

// Whether a string or name token holds the setting's name anywhere (a
// set_config call's, a function's body, ALTER ROLE ... SET).
bool holds_name(const Token& t) {
    const size_t n = sizeof NAME - 1;
    for (const char* p = t.b; p + n <= t.e; ++p)
        if (same_nocase(p, NAME, n)) return true;
    return false;
}

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The setting a word or quoted name stands for: U&"..." with its \XXXX and
// \+XXXXXX escapes undone (any other character than ASCII as '?').
std::string name_of(const Token& t) {
    if (t.kind == Tok::Word) return std::string(t.b, t.size());
    if (t.kind != Tok::Name) return std::string();
    if (t.size() < 3 || (t.b[0] | 0x20) != 'u' || t.b[1] != '&') return unquote(t);
    std::string out;
    for (const char* p = t.b + 3; p < t.e - 1; ++p) {
        if (*p == '"') {
            out += *p++;  // a doubled quote
            continue;
        }
        if (*p != '\\') {
            out += *p;
            continue;
        }
        if (p + 1 < t.e - 1 && p[1] == '\\') {
            out += *p++;
            continue;
        }
        const int digits = p + 1 < t.e - 1 && p[1] == '+' ? 6 : 4;
        const char* d = p + 1 + (digits == 6);
        long cp = 0;
        for (int k = 0; k < digits && cp >= 0; ++k) cp = d + k < t.e - 1 && hex(d[k]) >= 0 ? cp * 16 + hex(d[k]) : -1;
        if (cp < 0) return "\\";  // not one the server takes either
        out += cp < 0x80 ? static_cast<char>(cp) : '?';
        p = d + digits - 1;
    }
    return out;
}

bool on_value(const Token& t) {
    if (t.kind == Tok::Number) return t.size() == 1 && *t.b == '1';
    if (t.kind == Tok::Text) {
        const std::string v = unquote(t);
        return (v.size() == 2 && same_nocase(v.data(), "on", 2)) || (v.size() == 4 && same_nocase(v.data(), "true", 4));
    }
    return t.word("on") || t.word("true");
}

// One statement's solid tokens: whether it could turn the setting off.
// SET of it to anything but on; a set_config() whose first argument is not
// a plain string naming another setting; any other statement but a query
// that names it (ALTER ROLE ... SET, a DO block or a function's body).
// Reading it (SHOW, current_setting) and setting it on, as dumps begin,
// are fine.
bool turns_off(const std::vector<Token>& s) {
    if (s.empty()) return false;
    for (size_t k = 0; k + 1 < s.size(); ++k) {
        if (!s[k].word("set_config") || !s[k + 1].is('(')) continue;
        if (k + 3 >= s.size() || s[k + 2].kind != Tok::Text || !s[k + 3].is(',')) return true;
        if (is_name(unquote(s[k + 2]))) return true;
    }
    if (s[0].word("set")) {
        size_t k = 1;
        if (k < s.size() && (s[k].word("session") || s[k].word("local"))) ++k;
        if (k >= s.size()) return false;
        // A U&"..." name with an escape character of its own: what it
        // names is not worth working out.
        if (k + 1 < s.size() && s[k + 1].word("uescape")) return true;
        if (!is_name(name_of(s[k]))) return false;
        return !(s.size() == k + 3 && (s[k + 1].is('=') || s[k + 1].word("to")) && on_value(s[k + 2]));
    }
    if (s[0].word("show") || s[0].word("select") || s[0].word("values") || s[0].word("with")) return false;
    for (const Token& t : s)
        if ((t.kind == Tok::Word && t.word(NAME)) || (t.kind != Tok::Word && holds_name(t))) return true;
    return false;
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
    return c->fail(QSCLI_E_ERROR, std::string(started ? "standard_conforming_strings was turned off on the server (by "
                                                        "a function this statement or the one before called); it "
                                                        "is on again: "
                                                      : "the session starts with standard_conforming_strings off "
                                                        "(a setting of the role, the database or the connection's "
                                                        "options): ") +
                                      STANDARD_STRINGS_OFF);
}

int refuse_standard_strings_off(Conn* c, const char* sql, size_t n) {
    // sql ends in a NUL. Texts that cannot name the setting go by.
    if (!platform::contains_nocase(sql, NAME) && !platform::contains_nocase(sql, "u&") &&
        !platform::contains_nocase(sql, "set_config"))
        return 0;
    Lexer lx(Dialect::Pg, sql, sql + n);
    std::vector<Token> statement;
    for (Token t = lx.next_solid();; t = lx.next_solid()) {
        if (t.kind != Tok::Semicolon && t.kind != Tok::End) {
            statement.push_back(t);
            continue;
        }
        if (turns_off(statement))
            return c->fail(QSCLI_E_ERROR, std::string("standard_conforming_strings cannot be turned off on this "
                                                      "connection: ") + STANDARD_STRINGS_OFF);
        if (t.kind == Tok::End) return 0;
        statement.clear();
    }
}

}  // namespace pg
}  // namespace qse
