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

}  // namespace

bool parameterize(const char* sql, size_t n, std::string& key, std::vector<Literal>& lits) {
    struct Level {
        bool select_list = false;
        bool tuple = false;   // a VALUES tuple or an IN list
        bool values = false;  // VALUES seen at this level
        bool in = false;      // IN seen just before '('
    };
    // Parentheses nest this deep at most; a deeper text runs as it came.
    constexpr size_t kMaxDepth = 32;
    Level level_stack[kMaxDepth];
    struct Levels {
        Level* base;
        size_t n = 1;
        Level& back() { return base[n - 1]; }
        size_t size() const { return n; }
        const Level* begin() const { return base; }
        const Level* end() const { return base + n; }
    } levels{level_stack};
    const char* p = sql;
    const char* e = sql + n;
    // The key is the text with the literals taken out replaced by '?': the
    // text up to `copied` is in the key already.
    key.clear();
    const char* copied = sql;
    auto take_out = [&](const char* from, const char* to) {
        key.append(copied, static_cast<size_t>(from - copied));
        key += '?';
        copied = to;
    };
    lits.clear();
    Prev prev = P_OTHER;
    bool first = true;
    auto value_position = [&]() {
        for (const Level& l : levels)
            if (l.select_list) return false;
        if (prev == P_VALUE || prev == P_SIGN) return true;
        return (prev == P_OPEN || prev == P_COMMA) && levels.back().tuple;
    };
    while (p < e) {
        char ch = *p;
        if (is_space(ch)) {
            ++p;
            continue;
        }
        if (ch == '-' && p + 1 < e && p[1] == '-') {
            while (p < e && *p != '\n') ++p;
            continue;
        }
        if (ch == '/' && p + 1 < e && p[1] == '*') {
            const char* z = p + 2;
            while (z + 1 < e && !(z[0] == '*' && z[1] == '/')) ++z;
            z = z + 1 < e ? z + 2 : e;
            p = z;
            continue;
        }
        if (first && !(is_word(ch) && !(ch >= '0' && ch <= '9'))) return false;
        if (ch == '\'') {
            std::string v;
            const char* z = p + 1;
            bool closed = false;
            while (z < e) {
                if (*z == '\'') {
                    if (z + 1 < e && z[1] == '\'') {
                        v += '\'';
                        z += 2;
                        continue;
                    }
                    closed = true;
                    ++z;
                    break;
                }
                v += *z++;
            }
            if (!closed) return false;
            if (value_position()) {
                lits.push_back({true, 0, std::move(v)});
                take_out(p, z);
            }
            p = z;
            prev = P_OTHER;
            continue;
        }
        if (ch == '"' || ch == '`' || ch == '[') {
            char close = ch == '[' ? ']' : ch;
            const char* z = p + 1;
            while (z < e && *z != close) ++z;
            if (z == e) return false;
            p = z + 1;
            prev = P_OTHER;
            continue;
        }
        if (ch >= '0' && ch <= '9') {
            const char* z = p;
            while (z < e && *z >= '0' && *z <= '9') ++z;
            bool plain = z == e || !(is_word(*z) || *z == '.');
            if (plain && value_position() && z - p <= 18) {
                int64_t v = 0;
                for (const char* d = p; d < z; ++d) v = v * 10 + (*d - '0');
                lits.push_back({false, v, std::string()});
                take_out(p, z);
                p = z;
            } else {
                while (z < e && (is_word(*z) || *z == '.' ||
                                 ((*z == '+' || *z == '-') && (z[-1] == 'e' || z[-1] == 'E'))))
                    ++z;
                p = z;
            }
            prev = P_OTHER;
            continue;
        }
        if (is_word(ch)) {
            const char* z = p;
            while (z < e && is_word(*z)) ++z;
            size_t wl = static_cast<size_t>(z - p);
            if (z < e && *z == '\'' && wl == 1 && (ch == 'x' || ch == 'X')) {  // blob literal
                const char* q = z + 1;
                while (q < e && *q != '\'') ++q;
                if (q == e) return false;
                p = q + 1;
                prev = P_OTHER;
                continue;
            }
            const Word kind = classify(p, wl);
            if (first) {
                first = false;
                if (!(kind == W_LEAD || kind == W_VALUES || (kind == W_SELECT && (*p | 0x20) == 's'))) return false;
            }
            Level& lv = levels.back();
            prev = P_OTHER;
            switch (kind) {
            case W_SELECT:
                lv.select_list = true;
                lv.values = false;
                break;
            case W_CLAUSE:
            case W_LIMIT:
                lv.select_list = false;
                lv.values = false;
                if (kind == W_LIMIT) prev = P_VALUE;
                break;
            case W_VALUES:
                lv.select_list = false;
                lv.values = true;
                break;
            case W_ABORT: return false;
            case W_IN:
                lv.in = true;
                p = z;
                continue;
            case W_VALUE_OP: prev = P_VALUE; break;
            default: break;
            }
            levels.back().in = false;
            p = z;
            continue;
        }
        if (first) return false;
        switch (ch) {
        case '?': case ':': case '@': case '$': case '#': return false;  // the caller's own parameters
        case ';': {
            const char* z = p + 1;
            while (z < e && (is_space(*z) || *z == ';')) ++z;
            if (z != e) return false;  // several statements
            p = e;
            continue;
        }
        case '(': {
            if (levels.n == kMaxDepth) return false;
            Level nl;
            const Level& lv = levels.back();
            nl.tuple = lv.values || lv.in;
            level_stack[levels.n++] = nl;
            prev = P_OPEN;
            break;
        }
        case ')':
            if (levels.size() == 1) return false;
            --levels.n;
            levels.back().in = false;
            prev = P_OTHER;
            break;
        case ',': prev = P_COMMA; break;
        case '=': case '<': case '>': case '!': {
            const char* z = p;
            while (z < e && (*z == '=' || *z == '<' || *z == '>' || *z == '!')) ++z;
            p = z;
            prev = P_VALUE;
            levels.back().in = false;
            continue;
        }
        case '-': case '+':
            prev = value_position() ? P_SIGN : P_OTHER;
            break;
        default: prev = P_OTHER; break;
        }
        levels.back().in = levels.back().in && ch == '(';
        ++p;
    }
    if (lits.empty() || levels.size() != 1) return false;
    key.append(copied, static_cast<size_t>(e - copied));
    return true;
}

}  // namespace qse
