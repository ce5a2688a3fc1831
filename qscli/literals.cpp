// Literals as parameters.
//
// The driver puts parameters into the statement text, so point queries and
// single-row inserts arrive as ever new texts. Integer and string literals in
// value positions (after a comparison, in VALUES and IN lists, after LIMIT,
// BETWEEN, LIKE ...) are taken out and bound instead, so such statements
// share one prepared statement. Literals that name something or shape the
// result stay: the select list (its texts are column names), ORDER BY and
// GROUP BY ordinals, statements other than queries and changes of rows.

#include "engine.h"

#include <array>

namespace qse {

namespace {

enum Prev { P_OTHER, P_VALUE, P_OPEN, P_COMMA, P_SIGN };

enum Word { W_NONE, W_LEAD, W_SELECT, W_CLAUSE, W_LIMIT, W_VALUES, W_ABORT, W_IN, W_VALUE_OP };

// What a word means to parameterize(): the words of the table that begin
// with the word's first letter are compared, no others.
Word classify(const char* w, size_t n) {
    struct Entry {
        const char* word;
        uint8_t len;
        Word kind;
    };
    static const Entry words[] = {
        {"SELECT", 6, W_SELECT},  {"RETURNING", 9, W_SELECT}, {"INSERT", 6, W_LEAD},   {"UPDATE", 6, W_LEAD},
        {"DELETE", 6, W_LEAD},    {"REPLACE", 7, W_LEAD},     {"WITH", 4, W_LEAD},     {"FROM", 4, W_CLAUSE},
        {"WHERE", 5, W_CLAUSE},   {"GROUP", 5, W_CLAUSE},     {"ORDER", 5, W_CLAUSE},  {"HAVING", 6, W_CLAUSE},
        {"UNION", 5, W_CLAUSE},   {"INTERSECT", 9, W_CLAUSE}, {"EXCEPT", 6, W_CLAUSE}, {"ON", 2, W_CLAUSE},
        {"LIMIT", 5, W_LIMIT},    {"VALUES", 6, W_VALUES},    {"QXTBLSTRUCT", 11, W_ABORT}, {"OVER", 4, W_ABORT},
        {"WINDOW", 6, W_ABORT},   {"IN", 2, W_IN},            {"LIKE", 4, W_VALUE_OP}, {"GLOB", 4, W_VALUE_OP},
        {"BETWEEN", 7, W_VALUE_OP}, {"AND", 3, W_VALUE_OP},   {"OR", 2, W_VALUE_OP},   {"NOT", 3, W_VALUE_OP},
        {"IS", 2, W_VALUE_OP},    {"THEN", 4, W_VALUE_OP},    {"ELSE", 4, W_VALUE_OP}, {"WHEN", 4, W_VALUE_OP},
        {"OFFSET", 6, W_VALUE_OP}, {"ESCAPE", 6, W_VALUE_OP},
    };
    // For each letter, the words that begin with it (five at most today).
    struct Bucket {
        const Entry* e[8];
        int count;
    };
    static const auto buckets = [] {
        std::array<Bucket, 26> b{};
        for (const Entry& e : words) {
            Bucket& k = b[static_cast<size_t>(e.word[0] - 'A')];
            if (k.count < 8) k.e[k.count++] = &e;
        }
        return b;
    }();
    if (n < 2 || n > 11) return W_NONE;
    const char first = static_cast<char>(w[0] & ~0x20);  // letters to upper case
    if (first < 'A' || first > 'Z') return W_NONE;
    const Bucket& b = buckets[static_cast<size_t>(first - 'A')];
    for (int i = 0; i < b.count; ++i) {
        const Entry& e = *b.e[i];
        if (e.len != n) continue;
        size_t k = 1;
        while (k < n && (w[k] >= 'a' && w[k] <= 'z' ? w[k] - 32 : w[k]) == e.word[k]) ++k;
        if (k == n) return e.kind;
    }
    return W_NONE;
}


// ---- tokens ----

enum class Tok { End, Bad, Text, Quoted, Blob, Number, Word, Punct, Semicolons };

struct Token {
    Tok kind = Tok::End;
    const char* b = nullptr;  // the token's text, quotes and all
    const char* e = nullptr;
    bool plain = false;       // Number: digits with nothing word-like after them
};

// Cuts statement text into tokens: blanks and comments are skipped, a text
// whose string or quoted name does not end gives Bad.
class Tokenizer {
public:
    Tokenizer(const char* p, const char* e) : p_(p), e_(e) {}

    [[gnu::always_inline]] Token next() {
        skip_blank();
        Token t;
        t.b = p_;
        if (p_ == e_) return t;
        const char ch = *p_;
        const char* z = p_ + 1;
        // The commonest first: words, numbers, strings.
        if (is_word(ch)) {
            z = ch >= '0' && ch <= '9' ? number(t) : word(t);
        } else if (ch == '\'' || ch == '"' || ch == '`') {
            t.kind = ch == '\'' ? Tok::Text : Tok::Quoted;
            if (!scan_quoted(p_, e_, nullptr, &z)) t.kind = Tok::Bad;
        } else if (ch == '[') {
            while (z < e_ && *z != ']') ++z;
            t.kind = z == e_ ? Tok::Bad : Tok::Quoted;
            if (z < e_) ++z;
        } else if (ch == '=' || ch == '<' || ch == '>' || ch == '!') {
            t.kind = Tok::Punct;
            while (z < e_ && (*z == '=' || *z == '<' || *z == '>' || *z == '!')) ++z;
        } else if (ch == ';') {
            // Semicolons and blanks to the end: anything else is a second statement.
            t.kind = Tok::Semicolons;
            while (z < e_ && (is_space(*z) || *z == ';')) ++z;
        } else {
            t.kind = Tok::Punct;
        }
        p_ = t.e = z;
        return t;
    }

private:
    void skip_blank() {
        while (p_ < e_) {
            if (is_space(*p_)) {
                ++p_;
            } else if (*p_ == '-' && p_ + 1 < e_ && p_[1] == '-') {
                while (p_ < e_ && *p_ != '\n') ++p_;
            } else if (*p_ == '/' && p_ + 1 < e_ && p_[1] == '*') {
                const char* z = p_ + 2;
                while (z + 1 < e_ && !(z[0] == '*' && z[1] == '/')) ++z;
                p_ = z + 1 < e_ ? z + 2 : e_;
            } else {
                return;
            }
        }
    }

    // Digits; a number that goes on into letters, a point or an exponent is
    // one token but not plain.
    const char* number(Token& t) {
        t.kind = Tok::Number;
        const char* z = p_;
        while (z < e_ && *z >= '0' && *z <= '9') ++z;
        t.plain = z == e_ || !(is_word(*z) || *z == '.');
        while (z < e_ && (is_word(*z) || *z == '.' || ((*z == '+' || *z == '-') && (z[-1] == 'e' || z[-1] == 'E'))))
            ++z;
        return z;
    }

    // A word, or a blob literal x'...'.
    const char* word(Token& t) {
        const char* z = p_;
        while (z < e_ && is_word(*z)) ++z;
        t.kind = Tok::Word;
        if (z < e_ && *z == '\'' && z - p_ == 1 && (*p_ | 0x20) == 'x') {
            const char* q = z + 1;
            while (q < e_ && *q != '\'') ++q;
            t.kind = q == e_ ? Tok::Bad : Tok::Blob;
            return q == e_ ? q : q + 1;
        }
        return z;
    }

    const char* p_;
    const char* e_;
};

// ---- where a value may stand ----

// Follows the nesting of parentheses and what came last, and says whether a
// literal at this point stands where a value does: after a comparison or an
// operator that takes a value, after LIMIT, or as an item of a VALUES tuple
// or an IN list; never within a select list.
class ValuePlaces {
public:
    bool here() const {
        for (size_t k = 0; k < n_; ++k)
            if (stack_[k].select_list) return false;
        if (prev_ == P_VALUE || prev_ == P_SIGN) return true;
        return (prev_ == P_OPEN || prev_ == P_COMMA) && back().tuple;
    }

    // A literal, a quoted name, a blob.
    void other() { prev_ = P_OTHER; }

    // False when the word makes the text one not to parameterize.
    bool word(Word kind) {
        Level& lv = back();
        prev_ = P_OTHER;
        switch (kind) {
        case W_SELECT:
            lv.select_list = true;
            lv.values = false;
            break;
        case W_CLAUSE:
        case W_LIMIT:
            lv.select_list = false;
            lv.values = false;
            if (kind == W_LIMIT) prev_ = P_VALUE;
            break;
        case W_VALUES:
            lv.select_list = false;
            lv.values = true;
            break;
        case W_ABORT: return false;
        case W_IN:
            lv.in = true;
            return true;
        case W_VALUE_OP: prev_ = P_VALUE; break;
        default: break;
        }
        lv.in = false;
        return true;
    }

    // Punctuation starting with `ch` (a run of comparison characters is one).
    // False when it makes the text one not to parameterize.
    bool punct(char ch) {
        switch (ch) {
        case '?': case ':': case '@': case '$': case '#': return false;  // the caller's own parameters
        case '(': {
            if (n_ == kMaxDepth) return false;
            Level nl;
            nl.tuple = back().values || back().in;
            stack_[n_++] = nl;
            prev_ = P_OPEN;
            break;
        }
        case ')':
            if (n_ == 1) return false;
            --n_;
            prev_ = P_OTHER;
            break;
        case ',': prev_ = P_COMMA; break;
        case '=': case '<': case '>': case '!': prev_ = P_VALUE; break;
        case '-': case '+': prev_ = here() ? P_SIGN : P_OTHER; break;
        default: prev_ = P_OTHER; break;
        }
        back().in = false;
        return true;
    }

    bool balanced() const { return n_ == 1; }

private:
    struct Level {
        bool select_list = false;
        bool tuple = false;   // a VALUES tuple or an IN list
        bool values = false;  // VALUES seen at this level
        bool in = false;      // IN seen just before '('
    };
    // Parentheses nest this deep at most; a deeper text runs as it came.
    static constexpr size_t kMaxDepth = 32;

    Level& back() { return stack_[n_ - 1]; }
    const Level& back() const { return stack_[n_ - 1]; }

    Level stack_[kMaxDepth];
    size_t n_ = 1;
    Prev prev_ = P_OTHER;
};

}  // namespace

bool parameterize(const char* sql, size_t n, std::string& key, std::vector<Literal>& lits) {
    const char* const e = sql + n;
    // The key is the text with the literals taken out replaced by '?': the
    // text up to `copied` is in the key already.
    key.clear();
    lits.clear();
    const char* copied = sql;
    auto take_out = [&](const Token& t) {
        key.append(copied, static_cast<size_t>(t.b - copied));
        key += '?';
        copied = t.e;
    };
    Tokenizer tokens(sql, e);
    ValuePlaces at;
    bool first = true;  // before the first word
    for (Token t = tokens.next(); t.kind != Tok::End; t = tokens.next()) {
        if (first && t.kind != Tok::Word && t.kind != Tok::Blob) return false;
        switch (t.kind) {
        case Tok::Text:
            if (at.here()) {
                lits.push_back({true, 0, std::string()});
                const char* end;
                scan_quoted(t.b, t.e, &lits.back().s, &end);
                take_out(t);
            }
            at.other();
            break;
        case Tok::Number:
            if (t.plain && at.here() && t.e - t.b <= 18) {
                int64_t v = 0;
                for (const char* d = t.b; d < t.e; ++d) v = v * 10 + (*d - '0');
                lits.push_back({false, v, std::string()});
                take_out(t);
            }
            at.other();
            break;
        case Tok::Quoted:
        case Tok::Blob: at.other(); break;
        case Tok::Word: {
            const Word kind = classify(t.b, static_cast<size_t>(t.e - t.b));
            if (first) {
                first = false;
                if (!(kind == W_LEAD || kind == W_VALUES || (kind == W_SELECT && (*t.b | 0x20) == 's'))) return false;
            }
            if (!at.word(kind)) return false;
            break;
        }
        case Tok::Punct:
            if (!at.punct(*t.b)) return false;
            break;
        case Tok::Semicolons:
            if (t.e != e) return false;  // several statements
            break;
        default: return false;  // a string or quoted name that does not end
        }
    }
    if (lits.empty() || !at.balanced()) return false;
    key.append(copied, static_cast<size_t>(e - copied));
    return true;
}

}  // namespace qse
