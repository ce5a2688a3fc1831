// The library's own statements, which no engine understands: err_to_user,
// named transactions, return, QXTBLSTRUCT, recognised in a statement text
// by its tokens. The common layer carries them out (own.h).
#pragma once

#include "elemtype.h"
#include "sqltext.h"
#include "text.h"
#include "lexer.h"

#include <vector>

namespace qse {

struct Command {
    enum Kind { PLAIN, ERR_TO_USER, BEGIN, COMMIT, ROLLBACK, RETURN, SYNTAX };
    Kind kind = PLAIN;
    bool on = false;        // err_to_user's value
    std::string name;       // transaction name, CP866 as written
    const char* expr = nullptr;  // return: the expression (CP866), not NUL-terminated
    size_t expr_len = 0;
    bool typed = false;     // return ... as TYPE
    ElemType type;
    const char* usage = "";  // SYNTAX: the form expected
};

// Recognises one of the library's statements in `sql` (n bytes): the text
// must be that statement alone (blanks, comments and semicolons aside);
// PLAIN for anything else.
Command parse_command(Dialect d, const char* sql, size_t n);

// A QXTBLSTRUCT("T") (or 'T') where a table may stand: after FROM, JOIN or
// a comma of a FROM list; never inside a string, a quoted name or a comment.
struct TblStruct {
    size_t at, end;     // its text, from the word to the ")"
    std::string name;   // T, quotes undone
    bool aliased;       // a name for it follows
};
std::vector<TblStruct> find_tblstruct(Dialect d, const std::string& sql);

// True when nothing but blanks, comments and semicolons is in [b, e).
bool only_blank(Dialect d, const char* b, const char* e);

}  // namespace qse
