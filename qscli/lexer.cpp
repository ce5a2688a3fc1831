// The engine's lexical rules are SQLite's (tokenize.c); PostgreSQL's those of
// its scanner (scan.l): E'' strings with backslash escapes, $tag$ strings,
// nested block comments, U&'' and U&"", B'' and X'' bit strings, $N
// parameters and operators of several characters.
#include "lexer.h"

#include <cstring>

namespace qse {

namespace {

inline bool id_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}
inline bool digit(char c) { return c >= '0' && c <= '9'; }
// Both dialects let a name go on with digits and $ (a$b$ is one name).
inline bool id_char(char c) { return id_start(c) || digit(c) || c == '$'; }
inline bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool pg_op_char(char c) { return c && std::strchr("+-*/<>=~!@#%^&|`?", c) != nullptr; }

}  // namespace

bool Token::word(const char* kw) const {
    if (kind != Tok::Word) return false;
    size_t n = std::strlen(kw);
    if (size() != n) return false;
    for (size_t k = 0; k < n; ++k)
        if (lower(b[k]) != kw[k]) return false;
    return true;
}

// p_ is past the opening quote; the position past the closing one, or null
// when the text ends first. A doubled quote stands for one; with
// `backslashes` a backslash takes the next character with it.
const char* Lexer::quoted(char close, bool backslashes) {
    const char* p = p_;
    while (p < e_) {
        const char c = *p;
        if (backslashes && c == '\\') {
            if (e_ - p < 2) return nullptr;
            p += 2;
            continue;
        }
        ++p;
        if (c != close) continue;
        if (p < e_ && *p == close) {
            ++p;
            continue;
        }
        return p;
    }
    return nullptr;
}

// p_ at "$", tag_end past the opening "$tag$": past the closing one, or null.
const char* Lexer::dollar_end(const char* tag_end) {
    const size_t t = static_cast<size_t>(tag_end - p_);
    for (const char* z = tag_end; static_cast<size_t>(e_ - z) >= t; ++z) {
        z = static_cast<const char*>(std::memchr(z, '$', static_cast<size_t>(e_ - z)));
        if (!z || static_cast<size_t>(e_ - z) < t) return nullptr;
        if (std::memcmp(z, p_, t) == 0) return z + t;
    }
    return nullptr;
}

// p_ at "/*": past the comment's end, or null. PostgreSQL's nest.
const char* Lexer::block_comment() {
    const char* p = p_ + 2;
    int depth = 1;
    while (p + 1 < e_) {
        if (p[0] == '*' && p[1] == '/') {
            p += 2;
            if (--depth == 0 || d_ == Dialect::Engine) return p;
        } else if (p[0] == '/' && p[1] == '*' && d_ == Dialect::Pg) {
            p += 2;
            ++depth;
        } else {
            ++p;
        }
    }
    return nullptr;
}

// Digits, a point, an exponent; letters run on into the same token (the
// engines refuse such a token, or read it as a number and a name: either
// way nothing to look inside).
const char* Lexer::number() {
    const char* z = p_;
    while (z < e_ && (id_char(*z) || *z == '.' ||
                      ((*z == '+' || *z == '-') && (z[-1] == 'e' || z[-1] == 'E') && digit(*p_))))
        ++z;
    return z;
}

// SQLite's operators: runs of = < > !, ->, ->>, ||; any other one character.
static const char* engine_op_end(const char* z, const char* e) {
    const char c = *z++;
    if (c == '=' || c == '<' || c == '>' || c == '!') {
        while (z < e && (*z == '=' || *z == '<' || *z == '>' || *z == '!')) ++z;
    } else if (c == '-' && z < e && *z == '>') {
        ++z;
        if (z < e && *z == '>') ++z;
    } else if (c == '|' && z < e && *z == '|') {
        ++z;
    }
    return z;
}

const char* Lexer::op_run() {
    const char* z = p_;
    if (d_ == Dialect::Engine) return engine_op_end(z, e_);
    // PostgreSQL: the longest run, cut before a comment; a run of several
    // ends in + or - only when it holds one of ~ ! @ # % ^ & | ` ?.
    bool special = false;
    while (z < e_ && pg_op_char(*z)) {
        if (z > p_ && z + 1 < e_ && ((z[0] == '-' && z[1] == '-') || (z[0] == '/' && z[1] == '*'))) break;
        if (std::strchr("~!@#%^&|`?", *z)) special = true;
        ++z;
    }
    if (z - p_ > 1 && !special)
        while (z - p_ > 1 && (z[-1] == '+' || z[-1] == '-')) --z;
    return z;
}

const char* Lexer::quoted_token(Token& t, Tok kind, const char* open, char close, bool backslashes) {
    p_ = open + 1;
    const char* end = quoted(close, backslashes);
    t.kind = end ? kind : Tok::Bad;
    return end ? end : e_;
}

// A word, or a string whose prefix is a letter: x'..', and on PostgreSQL
// E'..', N'..', B'..', U&'..' and U&"..".
const char* Lexer::word(Token& t) {
    const bool pg = d_ == Dialect::Pg;
    const char lc = lower(*p_);
    const char n1 = p_ + 1 < e_ ? p_[1] : 0;
    if (n1 == '\'' && lc == 'x' && !pg) {
        // SQLite's blob ends at the next quote.
        const char* close = static_cast<const char*>(std::memchr(p_ + 2, '\'', static_cast<size_t>(e_ - p_ - 2)));
        t.kind = close ? Tok::Blob : Tok::Bad;
        return close ? close + 1 : e_;
    }
    if (n1 == '\'' && lc == 'x') return quoted_token(t, Tok::Blob, p_ + 1, '\'', false);
    if (pg && n1 == '\'' && (lc == 'e' || lc == 'n' || lc == 'b'))
        return quoted_token(t, lc == 'b' ? Tok::Bits : Tok::OtherText, p_ + 1, '\'', lc == 'e');
    if (pg && lc == 'u' && n1 == '&' && p_ + 2 < e_ && (p_[2] == '\'' || p_[2] == '"'))
        return quoted_token(t, p_[2] == '\'' ? Tok::OtherText : Tok::Name, p_ + 2, p_[2], false);
    t.kind = Tok::Word;
    const char* z = p_ + 1;
    while (z < e_ && id_char(*z)) ++z;
    return z;
}

// PostgreSQL's $: a parameter $N, a $tag$ string, or punctuation.
const char* Lexer::dollar(Token& t) {
    const char* z = p_ + 1;
    if (z < e_ && digit(*z)) {
        t.kind = Tok::Param;
        while (z < e_ && digit(*z)) ++z;
        return z;
    }
    const char* tag = z;
    if (tag < e_ && id_start(*tag))
        while (tag < e_ && (id_start(*tag) || digit(*tag))) ++tag;
    if (tag < e_ && *tag == '$') {
        const char* end = dollar_end(tag + 1);
        t.kind = end ? Tok::OtherText : Tok::Bad;
        return end ? end : e_;
    }
    t.kind = Tok::Punct;
    return z;
}

// SQLite's parameters: ?, ?N, :name, @name, $name, #name.
const char* Lexer::parameter(Token& t) {
    t.kind = Tok::Param;
    const char* z = p_ + 1;
    if (*p_ == '?') {
        while (z < e_ && digit(*z)) ++z;
    } else {
        while (z < e_ && id_char(*z)) ++z;
    }
    return z;
}

// A string, quoted name or comment that starts at p_: its kind set, its end
// returned; null when p_ starts none of them.
const char* Lexer::enclosed(Token& t) {
    const bool pg = d_ == Dialect::Pg;
    const char c = *p_;
    const char n1 = p_ + 1 < e_ ? p_[1] : 0;
    const char* z = p_ + 1;
    if (c == '\'') return quoted_token(t, Tok::Text, p_, '\'', false);
    if (c == '"' || (c == '`' && !pg)) return quoted_token(t, Tok::Name, p_, c, false);
    if (c == '[' && !pg) {
        const char* close = static_cast<const char*>(std::memchr(z, ']', static_cast<size_t>(e_ - z)));
        t.kind = close ? Tok::Name : Tok::Bad;
        return close ? close + 1 : e_;
    }
    if (c == '-' && n1 == '-') {
        // PostgreSQL's scanner ends the comment at a carriage return too,
        // SQLite's at a line feed only.
        t.kind = Tok::Comment;
        while (z < e_ && *z != '\n' && !(pg && *z == '\r')) ++z;
        return z;
    }
    if (c == '/' && n1 == '*') {
        const char* end = block_comment();
        // SQLite reads a comment that does not end as one to the end.
        t.kind = end || !pg ? Tok::Comment : Tok::Bad;
        return end ? end : e_;
    }
    return nullptr;
}

// Parameters, operators and punctuation at p_.
const char* Lexer::symbol(Token& t) {
    const bool pg = d_ == Dialect::Pg;
    const char c = *p_;
    const char n1 = p_ + 1 < e_ ? p_[1] : 0;
    const char* z = p_ + 1;
    t.kind = Tok::Punct;
    if (c == ';') {
        t.kind = Tok::Semicolon;
    } else if (c == '$' && pg) {
        z = dollar(t);
    } else if (!pg && (c == '?' || ((c == ':' || c == '@' || c == '$' || c == '#') && id_char(n1)))) {
        z = parameter(t);
    } else if (pg && c == ':') {
        if (n1 == ':') ++z;
    } else if (pg ? pg_op_char(c) : std::strchr("=<>!-+*/%&|~^", c) != nullptr) {
        t.kind = Tok::Op;
        z = op_run();
    }
    return z;
}

Token Lexer::next() {
    Token t;
    t.b = p_;
    if (p_ >= e_) {
        t.e = p_ = e_;
        return t;
    }
    const char c = *p_;
    const char* z = p_ + 1;
    if (space(c)) {
        t.kind = Tok::Space;
        while (z < e_ && space(*z)) ++z;
    } else if (id_start(c)) {
        z = word(t);
    } else if (digit(c) || (c == '.' && z < e_ && digit(*z))) {
        t.kind = Tok::Number;
        z = number();
    } else if (!(z = enclosed(t))) {
        z = symbol(t);
    }
    p_ = t.e = z;
    return t;
}

std::string unquote(const Token& t) {
    std::string out;
    const char* p = t.b;
    const char* e = t.e;
    if (p < e && (*p == 'u' || *p == 'U')) p += 2;  // U&".."
    if (e - p < 2) return out;
    const char open = *p;
    const char close = open == '[' ? ']' : open;
    ++p, --e;
    while (p < e) {
        out += *p;
        p += (*p == close && p + 1 < e && p[1] == close && open != '[') ? 2 : 1;
    }
    return out;
}

std::string first_word(Dialect d, const char* b, const char* e) {
    Lexer lx(d, b, e);
    Token t = lx.next_solid();
    std::string w;
    if (t.kind == Tok::Word)
        for (const char* p = t.b; p < t.e; ++p) w += lower(*p);
    return w;
}

bool one_statement(Dialect d, const char* b, const char* e) {
    Lexer lx(d, b, e);
    Token t = lx.next_solid();
    while (t.kind != Tok::End && t.kind != Tok::Semicolon) t = lx.next_solid();
    for (; t.kind != Tok::End; t = lx.next_solid())
        if (t.kind != Tok::Semicolon) return false;
    return true;
}

}  // namespace qse
