// Small pieces of SQL text the library writes and reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qse {

// An SQL identifier in double quotes, inner quotes doubled.
std::string quote_ident(const std::string& name);

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
// A character of a name in SQL text (CP866: every byte from 0x80 is a letter).
inline bool is_word(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}
// An SQL string literal in single quotes, inner quotes doubled.
std::string quote_literal(const std::string& s);

// A literal taken out of a statement text (parameterize.cpp).
struct Literal {
    bool text;
    int64_t i;
    std::string s;  // CP866, quotes undone; a real's text as written
    bool real = false;  // a real number (engine only): the backend reads `s` as SQLite would
};

enum class Dialect;
// Takes the integer and string literals in value positions out of `sql`
// (and, on the engine, real numbers with the sign written before them):
// `key` becomes the text with a placeholder of the dialect in their places
// (? on the engine, $1, $2 ... on PostgreSQL), `lits` their values. False
// when the text is not one to parameterize. With `spans`, where each literal
// taken out begins and ends in `sql`, two pointers a literal.
bool parameterize(Dialect d, const char* sql, size_t n, std::string& key, std::vector<Literal>& lits,
                  std::vector<const char*>* spans = nullptr);

// Whether each of the `marks` ? marks of `sql` stands where parameterize()
// would take a literal out, so that a value bound there means what its
// literal written there would.
bool marks_take_values(Dialect d, const char* sql, size_t n, size_t marks);

// The shape of a text parameterize() read: the pieces of text around the
// literals it took out, and whether each was an integer, a real or a
// string. A text of the same pieces around literals of the same kinds
// parameterizes to the same key, so it is read by comparing the pieces and
// reading the literals alone, without lexing the whole text again.
class TextShape {
public:
    // Learns the shape of `sql` from what parameterize() made of it; false,
    // and nothing kept, for a text whose literals a match could misread (a
    // signed real, a literal glued to the token before it).
    bool learn(const char* sql, size_t n, const std::string& key, const std::vector<Literal>& lits,
               const std::vector<const char*>& spans);
    // The literals of `sql` when it has this shape (its key is key()); false
    // when it has another.
    bool read(Dialect d, const char* sql, size_t n, std::vector<Literal>& lits) const;
    bool known() const { return !kinds_.empty(); }
    const std::string& key() const { return key_; }
    void forget() { kinds_.clear(); }

private:
    std::string key_;
    std::string pieces_;               // the pieces, one after the other
    std::vector<uint32_t> ends_;       // where each piece ends in pieces_
    std::vector<unsigned char> kinds_; // each literal's kind
};

}  // namespace qse
