// The driver's one reader of SQL text: the tokens of the dialect the library
// speaks, and where each statement of a text ends. The placeholder scanner,
// the standard face's statement splitting and the shell all read SQL through
// it, so a quote, a comment or a body means the same to each of them.
//
// Texts are bytes in an ASCII-compatible encoding (CP866 to the library,
// UTF-8 from Python): every byte of 0x80 and above is a letter.
#pragma once

#include "../client/qscli.h"

#include <cstddef>

namespace qx {
namespace sql {

enum class Kind : unsigned char {
    SPACE,    // blanks
    COMMENT,  // -- to the end of the line, /* */ (nested on PostgreSQL)
    TEXT,     // a literal: '' and X''; on PostgreSQL also E'', U&'', B'', N'', $tag$..$tag$
    NAME,     // a quoted name: "", [] and `` on the engine; "" and U&"" on PostgreSQL
    WORD,     // a keyword or plain name (a letter or _, then letters, digits, _ and $)
    SEMI,     // ;
    OTHER,    // any other one character: operators, punctuation, digits, ? and :
};

struct Token {
    Kind kind;
    const char* end;
    bool closed;  // false for a literal, quoted name or comment the text ends inside
};

// The token that begins at p (p < e) in `dialect` (QSCLI_DIALECT_*).
Token next_token(const char* p, const char* e, int dialect);

// A dialect the library named: an unknown one reads as the engine's.
inline int known_dialect(int dialect) { return dialect == QSCLI_DIALECT_PG ? QSCLI_DIALECT_PG : QSCLI_DIALECT_ENGINE; }

// Follows a text token by token and tells where each statement ends: at a
// `;` outside literals, names and comments, except inside the body of a
// CREATE TRIGGER, FUNCTION or PROCEDURE (BEGIN ... END, BEGIN ATOMIC ...
// END, with CASE ... END inside), which stays whole; on PostgreSQL also not
// inside parentheses (a rule's list of actions), as its own tools read it.
class StatementEnds {
public:
    explicit StatementEnds(int dialect) : pg_(dialect == QSCLI_DIALECT_PG) {}
    // Feeds the next token (b, t.end); true when it is the `;` that ends a
    // statement holding more than blanks and comments.
    bool feed(const char* b, const Token& t);
    // A statement has begun and not ended.
    bool pending() const { return content_; }

private:
    void word(const char* b, const char* e);
    bool pg_;
    int parens_ = 0;
    bool content_ = false;
    int words_ = 0;       // words of the statement so far
    bool creating_ = false;  // the statement may still turn out to define a body
    bool body_ = false;   // it defines one: BEGIN/CASE ... END nest
    int depth_ = 0;
};

}  // namespace sql
}  // namespace qx
