// The library's own statements, which no engine understands: err_to_user,
// named transactions, return, QXTBLSTRUCT, recognised in a statement text.
// Each backend carries them out its own way.
#pragma once

#include "engine.h"

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

// Recognises one of the library's statements at the start of `sql`
// (n bytes); PLAIN for anything else.
Command parse_command(const char* sql, size_t n);

// The first QXTBLSTRUCT("T") (or 'T') in `sql` at or after `from`: where it
// starts, the position past its ")" and T (quotes undone). False when there
// is none.
bool next_tblstruct(const std::string& sql, size_t from, size_t* at, size_t* end, std::string* name);

}  // namespace qse
