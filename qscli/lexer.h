// The lexical rules of the two SQL dialects the library reads: the engine's
// (SQLite's) and PostgreSQL's. Every reader of statement text in the library
// takes its tokens from here, so a quote, a comment or a dollar string means
// the same to all of them and to the engine that runs the text.
#pragma once

#include <cstddef>
#include <string>

namespace qse {

enum class Dialect { Engine, Pg };

enum class Tok : unsigned char {
    End,        // no more text
    Space,      // blanks
    Comment,    // -- to the line's end, /* */ (nested on PostgreSQL)
    Word,       // a name or keyword (PostgreSQL: may hold $ after its first character)
    Name,       // a quoted name: "..", [..], `..` (engine), U&".." (PostgreSQL)
    Text,       // a plain string '..' ('' for a quote)
    OtherText,  // PostgreSQL's other strings: E'..', U&'..', N'..', $tag$..$tag$
    Blob,       // X'..'
    Bits,       // PostgreSQL: B'..'
    Number,
    Param,      // ? ?N :name @name $name (engine), $N (PostgreSQL)
    Op,         // operator characters (a run the dialect reads as one operator)
    Punct,      // ( ) , . and the rest, one character (PostgreSQL: :: is one)
    Semicolon,
    Bad,        // a string, quoted name or comment that does not end: the rest of the text
};

struct Token {
    Tok kind = Tok::End;
    const char* b = nullptr;  // the token's text, quotes and all
    const char* e = nullptr;
    size_t size() const { return static_cast<size_t>(e - b); }
    bool is(char c) const { return e - b == 1 && *b == c; }
    // A Word equal to `kw` (lower case), without regard to case.
    bool word(const char* kw) const;
    // Blanks and comments: nothing to a statement's meaning.
    bool blank() const { return kind == Tok::Space || kind == Tok::Comment; }
};

// Cuts text (CP866 or UTF-8: every byte from 0x80 is a letter) into tokens.
// Never reads past `e`: a string, name or comment that does not end is one
// Bad token to the end.
class Lexer {
public:
    Lexer(Dialect d, const char* b, const char* e) : d_(d), p_(b), e_(e) {}
    Token next();
    // The next token that is not blank.
    Token next_solid() {
        Token t = next();
        while (t.blank()) t = next();
        return t;
    }
    const char* at() const { return p_; }

private:
    const char* quoted(char close, bool backslashes);
    const char* dollar_end(const char* tag_end);
    const char* block_comment();
    const char* number();
    const char* op_run();
    // The token that starts at p_ of each kind: its kind set, its end returned.
    const char* quoted_token(Token& t, Tok kind, const char* open, char close, bool backslashes);
    const char* word(Token& t);
    const char* dollar(Token& t);
    const char* parameter(Token& t);
    const char* enclosed(Token& t);
    const char* symbol(Token& t);
    Dialect d_;
    const char* p_;
    const char* e_;
};

// The value of a Text or Name token (quotes undone, doubled quotes single).
std::string unquote(const Token& t);
// The first word of a statement text (comments and blanks skipped), lower
// case; empty when the text starts with anything else.
std::string first_word(Dialect d, const char* b, const char* e);
// Whether the text holds at most one statement: nothing but semicolons after
// its first semicolon.
bool one_statement(Dialect d, const char* b, const char* e);

}  // namespace qse
