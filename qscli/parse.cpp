// Recognising the library's own statements in a statement text.
#include "parse.h"

#include "platform.h"

#include <cstring>

namespace qse {

namespace {

Command syntax(const char* usage) {
    Command c;
    c.kind = Command::SYNTAX;
    c.usage = usage;
    return c;
}

// The rest of the statement holds nothing but semicolons.
bool at_end(Lexer& lx) {
    for (Token t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid())
        if (t.kind != Tok::Semicolon) return false;
    return true;
}

Command err_to_user(Lexer& lx) {
    static const char usage[] = "err_to_user(0|1);";
    if (!lx.next_solid().is('(')) return syntax(usage);
    Token t = lx.next_solid();
    if (t.is('-')) t = lx.next_solid();
    if (t.kind != Tok::Number) return syntax(usage);
    bool on = false;
    for (const char* p = t.b; p < t.e; ++p) {
        if (*p < '0' || *p > '9') return syntax(usage);
        on = on || *p != '0';
    }
    if (!lx.next_solid().is(')') || !at_end(lx)) return syntax(usage);
    Command c;
    c.kind = Command::ERR_TO_USER;
    c.on = on;
    return c;
}

// return EXPR [as TYPE]: the expression's tokens up to the end (or a
// semicolon that only semicolons follow); a trailing "as TYPE" or
// "as TYPE(n)" names the type.
Command return_statement(Lexer& lx) {
    std::vector<Token> toks;
    for (Token t = lx.next_solid(); t.kind != Tok::End; t = lx.next_solid()) {
        if (t.kind == Tok::Semicolon) {
            if (!at_end(lx)) return syntax("return EXPR [as TYPE]; alone in its text");
            break;
        }
        toks.push_back(t);
    }
    Command c;
    c.kind = Command::RETURN;
    if (toks.empty()) return c;
    c.expr = toks.front().b;
    const char* expr_end = toks.back().e;
    size_t n = toks.size(), type_at = 0;
    if (n >= 3 && toks[n - 1].is(')') && toks[n - 2].kind == Tok::Number && toks[n - 3].is('(')) type_at = n - 4;
    else type_at = n - 1;
    if (type_at >= 2 && type_at < n && toks[type_at].kind == Tok::Word && toks[type_at - 1].word("as") &&
        parse_type_name(toks[type_at].b, static_cast<size_t>(toks.back().e - toks[type_at].b), &c.type)) {
        c.typed = true;
        expr_end = toks[type_at - 2].e;
    }
    c.expr_len = static_cast<size_t>(expr_end - c.expr);
    return c;
}

// The name of a named transaction: the tokens that follow one another
// without a blank, as written.
bool transaction_name(Lexer& lx, std::string& name, Token* after) {
    Token t = lx.next_solid();
    if (t.kind == Tok::End || t.kind == Tok::Semicolon) return false;
    const char* b = t.b;
    const char* e = t.e;
    for (t = lx.next(); t.kind != Tok::End && t.kind != Tok::Semicolon && !t.blank(); t = lx.next()) e = t.e;
    name.assign(b, e);
    *after = t;
    return true;
}

// Whether the text's first word cannot be one of the library's own: each of
// those begins with b, c, e or r, and a text that starts with another letter
// (a query's SELECT) is plain without being lexed.
bool other_first_letter(const char* sql, size_t n) {
    size_t i = 0;
    while (i < n && (sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\n' || sql[i] == '\r')) ++i;
    if (i == n) return false;
    const char ch = static_cast<char>(sql[i] | 0x20);
    return ch >= 'a' && ch <= 'z' && ch != 'b' && ch != 'c' && ch != 'e' && ch != 'r';
}

}  // namespace

Command parse_command(Dialect d, const char* sql, size_t n) {
    if (other_first_letter(sql, n)) return Command();
    Lexer lx(d, sql, sql + n);
    const Token first = lx.next_solid();
    if (first.word("err_to_user")) return err_to_user(lx);
    if (first.word("return")) return return_statement(lx);
    const int which = first.word("begin") ? 0 : first.word("commit") ? 1 : first.word("rollback") ? 2 : -1;
    if (which < 0 || !lx.next_solid().word("work")) return Command();
    static const char* const usage[] = {"begin work NAME table A, B;", "commit work NAME;",
                                        "rollback work NAME;"};
    Command c;
    Token after;
    if (!transaction_name(lx, c.name, &after)) return syntax(usage[which]);
    if (which == 0) {
        // The table list names what the transaction works on.
        while (after.kind != Tok::End && after.kind != Tok::Semicolon) after = lx.next();
    }
    if (after.kind != Tok::End && after.kind != Tok::Semicolon && !after.blank()) return syntax(usage[which]);
    if (!at_end(lx)) return syntax(usage[which]);
    c.kind = which == 0 ? Command::BEGIN : which == 1 ? Command::COMMIT : Command::ROLLBACK;
    return c;
}

std::vector<TblStruct> find_tblstruct(Dialect d, const std::string& sql) {
    std::vector<TblStruct> out;
    // Most texts never name it: they need no reading here.
    if (!platform::contains_nocase(sql.c_str(), "qxtblstruct")) return out;
    // Per level of parentheses: inside a FROM list there.
    std::vector<bool> from(1, false);
    Lexer lx(d, sql.data(), sql.data() + sql.size());
    Token prev;
    for (Token t = lx.next_solid(); t.kind != Tok::End; prev = t, t = lx.next_solid()) {
        if (t.is('(')) {
            from.push_back(false);
            continue;
        }
        if (t.is(')')) {
            if (from.size() > 1) from.pop_back();
            continue;
        }
        if (t.kind != Tok::Word) continue;
        if (t.word("from") || t.word("join")) {
            from.back() = true;
            continue;
        }
        static const char* const clauses[] = {"where", "group", "order", "having", "limit", "window", "union",
                                              "intersect", "except", "select", "values", "returning", "set"};
        bool clause = false;
        for (const char* kw : clauses) clause = clause || t.word(kw);
        if (clause) {
            from.back() = false;
            continue;
        }
        const bool table_place =
            prev.word("from") || prev.word("join") || (prev.is(',') && from.back());
        if (!table_place || !t.word("qxtblstruct")) continue;
        Lexer ahead = lx;
        Token open = ahead.next_solid(), arg = ahead.next_solid(), close = ahead.next_solid();
        if (!open.is('(') || (arg.kind != Tok::Text && arg.kind != Tok::Name) || !close.is(')')) continue;
        TblStruct found{static_cast<size_t>(t.b - sql.data()), static_cast<size_t>(close.e - sql.data()),
                        unquote(arg), false};
        // A name after it is its alias, unless it is a word that goes on the query.
        Lexer peek = ahead;
        Token next = peek.next_solid();
        if (next.kind == Tok::Name) {
            found.aliased = true;
        } else if (next.kind == Tok::Word) {
            static const char* const follow[] = {"where", "join", "left", "right", "inner", "cross", "full",
                                                 "natural", "on", "order", "group", "limit", "union", "except",
                                                 "intersect", "offset", "fetch", "for", "window", "having",
                                                 "using"};
            found.aliased = true;
            for (const char* kw : follow) found.aliased = found.aliased && !next.word(kw);
        }
        out.push_back(found);
        lx = ahead;
        t = close;
    }
    return out;
}

bool only_blank(Dialect d, const char* b, const char* e) {
    Lexer lx(d, b, e);
    return at_end(lx);
}

}  // namespace qse
