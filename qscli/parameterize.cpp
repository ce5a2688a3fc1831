// Literals as parameters.
//
// The driver puts parameters into the statement text, so point queries and
// single-row inserts arrive as ever new texts. Integer, string and (on the
// engine) real literals in
// value positions (after a comparison, in VALUES and IN lists, after LIMIT,
// BETWEEN, LIKE ...) are taken out and bound instead, so such statements
// share one prepared statement. Literals that name something or shape the
// result stay: the select list (its texts are column names), ORDER BY and
// GROUP BY ordinals, statements other than queries and changes of rows.

#include "sqltext.h"
#include "text.h"
#include "lexer.h"

#include <array>
#include <cstring>

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
    // The last token was a sign before a value.
    bool after_sign() const { return prev_ == P_SIGN; }

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

namespace {

// Takes the literals out of one text, a token at a time. The key is the
// text with the literals taken out replaced by placeholders (? on the
// engine, $1, $2 ... on PostgreSQL): the text up to `copied_` is in it.
class Parameterizer {
public:
    Parameterizer(Dialect d, const char* sql, const char* e, std::string& key, std::vector<Literal>& lits,
                  std::vector<const char*>* spans)
        : d_(d), e_(e), copied_(sql), key_(key), lits_(lits), spans_(spans) {}
    // False when token t makes the text one not to parameterize.
    bool step(const Token& t, Tok prev);
    bool balanced() const { return at_.balanced(); }
    void finish() { key_.append(copied_, static_cast<size_t>(e_ - copied_)); }

private:
    // Replaces the text from b to the end of t by a placeholder.
    void take_out(const Token& t, const char* b = nullptr) {
        key_.append(copied_, static_cast<size_t>((b ? b : t.b) - copied_));
        if (spans_) spans_->insert(spans_->end(), {b ? b : t.b, t.e});
        if (d_ == Dialect::Engine) {
            key_ += '?';
        } else {
            key_ += '$' + std::to_string(lits_.size());
            if (t.e < e_ && (is_word(*t.e) || *t.e == '$')) key_ += ' ';  // $1or would be one token
        }
        copied_ = t.e;
    }
    void number(const Token& t);
    bool word(const Token& t);

    Dialect d_;
    const char* e_;
    const char* copied_;
    std::string& key_;
    std::vector<Literal>& lits_;
    std::vector<const char*>* spans_;  // where each literal taken out begins and ends, when asked
    ValuePlaces at_;
    bool first_ = true;  // before the first word
    const char* sign_ = nullptr;  // the sign just before, when it is one before a value
};

// digits [. digits] [e [+-] digits], or . digits ...: a real as SQLite reads
// one (with a point or an exponent). Anything else stays in the text, where
// SQLite reports it.
bool real_number(const char* p, const char* e) {
    auto digits = [&] {
        const char* b = p;
        while (p < e && *p >= '0' && *p <= '9') ++p;
        return p - b;
    };
    bool real = false;
    auto n = digits();
    if (p < e && *p == '.') {
        real = true;
        ++p;
        n += digits();
    }
    if (n == 0) return false;
    if (p < e && (*p == 'e' || *p == 'E')) {
        real = true;
        ++p;
        if (p < e && (*p == '+' || *p == '-')) ++p;
        if (digits() == 0) return false;
    }
    return real && p == e;
}

void Parameterizer::number(const Token& t) {
    bool plain = t.size() <= 18;
    for (const char* p = t.b; p < t.e && plain; ++p) plain = *p >= '0' && *p <= '9';
    if (plain && at_.here()) {
        int64_t v = 0;
        for (const char* p = t.b; p < t.e; ++p) v = v * 10 + (*p - '0');
        lits_.push_back({false, v, std::string()});
        take_out(t);
    } else if (d_ == Dialect::Engine && at_.here() && real_number(t.b, t.e)) {
        // The sign goes with the value: SQLite negates a real literal itself
        // (so -0.0 stays negative), where 0 - ? would not.
        std::string text(t.b, t.size());
        if (sign_ && *sign_ == '-') text.insert(0, 1, '-');
        lits_.push_back({false, 0, std::move(text), true});
        take_out(t, sign_);
    }
    at_.other();
}

bool Parameterizer::word(const Token& t) {
    const Word kind = classify(t.b, t.size());
    if (first_) {
        first_ = false;
        if (!(kind == W_LEAD || kind == W_VALUES || (kind == W_SELECT && (*t.b | 0x20) == 's'))) return false;
    }
    return at_.word(kind);
}

bool Parameterizer::step(const Token& t, Tok prev) {
    if (first_ && t.kind != Tok::Word) return false;
    const char* sign = sign_;
    sign_ = nullptr;
    switch (t.kind) {
    case Tok::Text:
        // PostgreSQL joins strings that only blanks part: never one of them alone.
        if (prev == Tok::Text || prev == Tok::OtherText) return false;
        if (at_.here()) {
            lits_.push_back({true, 0, unquote(t)});
            take_out(t);
        }
        at_.other();
        return true;
    case Tok::Number:
        sign_ = sign;
        number(t);
        sign_ = nullptr;
        return true;
    case Tok::Name:
    case Tok::OtherText:
    case Tok::Blob:
    case Tok::Bits: at_.other(); return true;
    case Tok::Word: return word(t);
    case Tok::Op:
    case Tok::Punct:
        if (!at_.punct(*t.b)) return false;
        if (t.size() == 1 && at_.after_sign()) sign_ = t.b;
        return true;
    default: return false;  // the caller's own parameters; a string or name that does not end
    }
}

}  // namespace

bool parameterize(Dialect d, const char* sql, size_t n, std::string& key, std::vector<Literal>& lits,
                  std::vector<const char*>* spans) {
    const char* const e = sql + n;
    key.clear();
    lits.clear();
    if (spans) spans->clear();
    Parameterizer p(d, sql, e, key, lits, spans);
    Lexer tokens(d, sql, e);
    Tok prev = Tok::End;
    for (Token t = tokens.next_solid(); t.kind != Tok::End; prev = t.kind, t = tokens.next_solid()) {
        if (t.kind == Tok::Semicolon) {
            // Semicolons and blanks to the end: anything else is a second statement.
            for (Token r = tokens.next_solid(); r.kind != Tok::End; r = tokens.next_solid())
                if (r.kind != Tok::Semicolon) return false;
            break;
        }
        if (!p.step(t, prev)) return false;
    }
    if (lits.empty() || !p.balanced()) return false;
    p.finish();
    return true;
}

namespace {

enum LitKind : unsigned char { L_INT, L_TEXT, L_REAL };

// A slot of a reused literal list: its text keeps its room for the next one.
void set_integer(Literal& lit, int64_t v) {
    lit.text = lit.real = false;
    lit.i = v;
    lit.s.clear();
}

LitKind kind_of(const Literal& l) { return l.text ? L_TEXT : l.real ? L_REAL : L_INT; }

// A literal starting right after `c` starts a token whatever it holds: no
// token before it can take in a digit, a point or a quote after `c`.
bool token_ends_at(char c) { return is_space(c) || c == '(' || c == ',' || c == '=' || c == '<' || c == '>'; }

// A run of at most 18 digits that no character after it carries on (a
// letter, a digit, $ or a point would: the lexer reads a number's token
// that far) is the token the lexer would read there, an integer literal:
// taken into `lit` and `p` moved past it, without lexing.
bool plain_integer(const char*& p, const char* e, Literal& lit) {
    const char* q = p;
    const char* const stop = e - p > 19 ? p + 19 : e;
    uint64_t v = 0;
    for (unsigned digit; q < stop && (digit = static_cast<unsigned char>(*q) - unsigned{'0'}) <= 9; ++q)
        v = v * 10 + digit;
    if (q == p || q - p > 18) return false;
    if (q < e) {
        const unsigned char c = static_cast<unsigned char>(*q);
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return false;
        if ((c >= '0' && c <= '9') || c == '_' || c == '$' || c == '.' || c >= 0x80) return false;
    }
    set_integer(lit, static_cast<int64_t>(v));
    p = q;
    return true;
}

}  // namespace

bool TextShape::learn(const char* sql, size_t n, const std::string& key, const std::vector<Literal>& lits,
                      const std::vector<const char*>& spans) {
    forget();
    pieces_.clear();
    ends_.clear();
    const char* copied = sql;
    for (size_t k = 0; k < lits.size(); ++k) {
        const char* b = spans[2 * k];
        // A signed real's sign is part of its literal, with what stands between.
        if (b == sql || !token_ends_at(b[-1]) || *b == '-' || *b == '+') return false;
        pieces_.append(copied, b);
        ends_.push_back(static_cast<uint32_t>(pieces_.size()));
        copied = spans[2 * k + 1];
    }
    pieces_.append(copied, sql + n);
    ends_.push_back(static_cast<uint32_t>(pieces_.size()));
    key_ = key;
    for (const Literal& l : lits) kinds_.push_back(kind_of(l));
    return true;
}

bool TextShape::read(Dialect d, const char* sql, size_t n, std::vector<Literal>& lits) const {
    if (kinds_.empty()) return false;
    // Each literal is written into its slot, so the list's texts are reused
    // from one query to the next (on false the slots hold no literals).
    lits.resize(kinds_.size());
    const char* p = sql;
    const char* const e = sql + n;
    uint32_t from = 0;
    for (size_t k = 0;; ++k) {
        const size_t len = ends_[k] - from;
        if (static_cast<size_t>(e - p) < len || std::memcmp(p, pieces_.data() + from, len) != 0) return false;
        p += len;
        from = ends_[k];
        if (k == kinds_.size()) return p == e;
        Literal& lit = lits[k];
        if (kinds_[k] == L_INT && plain_integer(p, e, lit)) continue;
        const Token t = Lexer(d, p, e).next();
        if (t.kind == Tok::Text) {
            if (kinds_[k] != L_TEXT) return false;
            lit = {true, 0, unquote(t)};
        } else if (t.kind == Tok::Number) {
            // The same tests as parameterize() makes of a number.
            bool plain = t.size() <= 18;
            for (const char* q = t.b; q < t.e && plain; ++q) plain = *q >= '0' && *q <= '9';
            if (plain && kinds_[k] == L_INT) {
                int64_t v = 0;
                for (const char* q = t.b; q < t.e; ++q) v = v * 10 + (*q - '0');
                set_integer(lit, v);
            } else if (!plain && kinds_[k] == L_REAL && real_number(t.b, t.e)) {
                lit = {false, 0, std::string(t.b, t.size()), true};
            } else {
                return false;
            }
        } else {
            return false;
        }
        p = t.e;
    }
}

}  // namespace qse

namespace qse {

bool marks_take_values(Dialect d, const char* sql, size_t n, size_t marks) {
    // Each ? becomes the literal 0: parameterize() must then take out
    // exactly that 0 at each mark, or a value bound there could mean what its
    // literal would not (an ordinal, a name, a sign folded into a real).
    std::string probe(sql, n);
    std::vector<size_t> at;
    const char* const e = sql + n;
    Lexer tokens(d, sql, e);
    Token prev;
    for (Token t = tokens.next_solid(); t.kind != Tok::End; prev = t, t = tokens.next_solid()) {
        if (t.kind != Tok::Param) continue;
        if (!t.is('?') || (prev.kind == Tok::Op && (*prev.b == '-' || *prev.b == '+'))) return false;
        if ((t.b > sql && (is_word(t.b[-1]) || t.b[-1] == '.')) || (t.e < e && (is_word(*t.e) || *t.e == '.')))
            return false;
        at.push_back(static_cast<size_t>(t.b - sql));
        probe[at.back()] = '0';
    }
    if (at.size() != marks) return false;
    std::string key;
    std::vector<Literal> lits;
    std::vector<const char*> spans;
    if (!parameterize(d, probe.data(), probe.size(), key, lits, &spans)) return false;
    size_t k = 0;
    for (size_t i = 0; i < lits.size() && k < at.size(); ++i)
        if (spans[2 * i] == probe.data() + at[k] && spans[2 * i + 1] == spans[2 * i] + 1 && !lits[i].text) ++k;
    return k == at.size();
}

}  // namespace qse
