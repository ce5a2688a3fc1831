// Errors by cause for the standard face: the library's return code picks the
// exception class, and the server's own text (when the library tells it)
// is the message.
#pragma once

#include "../client/calls.h"

#include "../base/ref.h"

#include <cstddef>

namespace qx {

// The errors-module class name for a library return code.
const char* class_for_code(int code);

// The text of the last error on a statement or a connection, through the
// optional QSCLI_STMT_ERR_TEXT / QSCLI_CONN_ERR_TEXT attributes: a str, or
// an empty Ref (no exception) when the library has none to tell.
Ref statement_error_text(int hstmt, CallLock* lock);
Ref connection_error_text(int hdb);

// Raises class_for_code(code) with `text` (or "CONTEXT error CODE" when the
// library told none) as its one argument; the instance gets `code` and
// `server_text` (None without a text). Returns nullptr.
std::nullptr_t raise_by_cause(int code, PyObject* text, const char* context);

// Gives the pending exception the attributes `server_text` (text, may be
// null for None) and, when it has none, `code`; keeps its args. Swallows
// a failure to annotate.
void note_server_text(PyObject* text);

}  // namespace qx
