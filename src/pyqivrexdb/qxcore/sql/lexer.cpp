// Tokens of the engine's SQL (SQLite's rules) and of PostgreSQL's, and the
// ends of statements.
#include "lexer.h"

#include <cstring>

namespace qx {
namespace sql {

namespace {

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_word_char(unsigned char c) { return is_letter(c) || is_digit(c) || c == '$'; }
bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

Token make(Kind kind, const char* end, bool closed = true) { return Token{kind, end, closed}; }

// A run quoted by `quote` from p (just after the opening one) with the
// quote doubled inside; `backslash`: a backslash takes the next byte along.
Token quoted(Kind kind, const char* p, const char* e, char quote, bool backslash) {
    for (; p < e; ++p) {
        if (backslash && *p == '\\') {
            if (++p == e) break;
            continue;
        }
        if (*p != quote) continue;
        if (p + 1 < e && p[1] == quote) {
            ++p;
            continue;
        }
        return make(kind, p + 1);
    }
    return make(kind, e, false);
}

Token block_comment(const char* p, const char* e, bool nested) {
    int depth = 1;
    for (p += 2; p + 1 < e; ++p) {
        if (p[0] == '*' && p[1] == '/') {
            ++p;
            if (--depth == 0) return make(Kind::COMMENT, p + 1);
        } else if (nested && p[0] == '/' && p[1] == '*') {
            ++p;
            ++depth;
        }
    }
    return make(Kind::COMMENT, e, false);
}

// $tag$ ... $tag$ from the first `$`; OTHER when p starts no such literal
// ($1 is a parameter of the server's own).
Token dollar_quoted(const char* p, const char* e) {
    const char* q = p + 1;
    if (q < e && is_letter(static_cast<unsigned char>(*q)))
        while (q < e && (is_letter(static_cast<unsigned char>(*q)) || is_digit(static_cast<unsigned char>(*q)))) ++q;
    if (q >= e || *q != '$') return make(Kind::OTHER, p + 1);
    const size_t tag = static_cast<size_t>(q + 1 - p);
    for (const char* at = q + 1; at + tag <= e; ++at) {
        at = static_cast<const char*>(std::memchr(at, '$', static_cast<size_t>(e - at)));
        if (!at || at + tag > e) break;
        if (std::memcmp(at, p, tag) == 0) return make(Kind::TEXT, at + tag);
    }
    return make(Kind::TEXT, e, false);
}

// A literal or name led by a letter (X'', E'', U&'') into *out; false when
// the word at p is a plain one.
bool prefixed(const char* p, const char* e, int dialect, Token* out) {
    const char c = lower(*p);
    if (p + 1 < e && p[1] == '\'') {
        if (c == 'x') return *out = quoted(Kind::TEXT, p + 2, e, '\'', false), true;
        if (dialect != QSCLI_DIALECT_PG) return false;
        if (c == 'e') return *out = quoted(Kind::TEXT, p + 2, e, '\'', true), true;
        if (c == 'b' || c == 'n') return *out = quoted(Kind::TEXT, p + 2, e, '\'', false), true;
        return false;
    }
    if (dialect == QSCLI_DIALECT_PG && c == 'u' && p + 2 < e && p[1] == '&' && (p[2] == '\'' || p[2] == '"'))
        return *out = quoted(p[2] == '"' ? Kind::NAME : Kind::TEXT, p + 3, e, p[2], false), true;
    return false;
}

}  // namespace

Token next_token(const char* p, const char* e, int dialect) {
    const bool pg = dialect == QSCLI_DIALECT_PG;
    const unsigned char c = static_cast<unsigned char>(*p);
    if (is_space(c)) {
        while (p < e && is_space(static_cast<unsigned char>(*p))) ++p;
        return make(Kind::SPACE, p);
    }
    if (is_letter(c)) {
        Token t;
        if (prefixed(p, e, dialect, &t)) return t;
        while (p < e && is_word_char(static_cast<unsigned char>(*p))) ++p;
        return make(Kind::WORD, p);
    }
    switch (c) {
    case '\'': return quoted(Kind::TEXT, p + 1, e, '\'', false);
    case '"': return quoted(Kind::NAME, p + 1, e, '"', false);
    case '`':
        if (!pg) return quoted(Kind::NAME, p + 1, e, '`', false);
        break;
    case '[':
        if (!pg) {
            const void* close = std::memchr(p, ']', static_cast<size_t>(e - p));
            return close ? make(Kind::NAME, static_cast<const char*>(close) + 1) : make(Kind::NAME, e, false);
        }
        break;
    case '-':
        if (p + 1 < e && p[1] == '-') {
            // PostgreSQL's scanner ends the comment at a carriage return
            // too, SQLite's at a line feed only.
            const char* z = p + 2;
            while (z < e && *z != '\n' && !(pg && *z == '\r')) ++z;
            return make(Kind::COMMENT, z < e ? z + 1 : e);
        }
        break;
    case '/':
        if (p + 1 < e && p[1] == '*') return block_comment(p, e, pg);
        break;
    case '$':
        if (pg) return dollar_quoted(p, e);
        break;
    case ';': return make(Kind::SEMI, p + 1);
    default: break;
    }
    return make(Kind::OTHER, p + 1);
}

namespace {

bool is(const char* b, const char* e, const char* word) {
    const size_t n = std::strlen(word);
    if (static_cast<size_t>(e - b) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(b[i]) != word[i]) return false;
    return true;
}

}  // namespace

void StatementEnds::word(const char* b, const char* e) {
    ++words_;
    if (words_ == 1) {
        creating_ = is(b, e, "create");
        return;
    }
    if (creating_) {
        // CREATE [OR REPLACE] [TEMP | TEMPORARY | CONSTRAINT] TRIGGER | FUNCTION | PROCEDURE
        if (is(b, e, "trigger") || is(b, e, "function") || is(b, e, "procedure")) {
            body_ = true;
            creating_ = false;
        } else if (!(is(b, e, "or") || is(b, e, "replace") || is(b, e, "temp") || is(b, e, "temporary") ||
                     is(b, e, "constraint"))) {
            creating_ = false;
        }
        return;
    }
    if (!body_) return;
    if (is(b, e, "begin") || is(b, e, "case"))
        ++depth_;
    else if (depth_ > 0 && is(b, e, "end"))
        --depth_;
}

bool StatementEnds::feed(const char* b, const Token& t) {
    switch (t.kind) {
    case Kind::SPACE:
    case Kind::COMMENT: return false;
    case Kind::SEMI:
        if (depth_ > 0 || parens_ > 0 || !content_) return false;
        *this = StatementEnds(pg_ ? QSCLI_DIALECT_PG : QSCLI_DIALECT_ENGINE);
        return true;
    case Kind::WORD: word(b, t.end); break;
    case Kind::OTHER:
        if (pg_ && *b == '(') ++parens_;
        else if (pg_ && *b == ')' && parens_ > 0) --parens_;
        break;
    default: break;
    }
    content_ = true;
    return false;
}

}  // namespace sql
}  // namespace qx
