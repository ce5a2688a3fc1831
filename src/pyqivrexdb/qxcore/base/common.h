// What every subsystem of the extension shares: the module namespace with its
// late-bound names, exceptions raised at the call site, debug logging and the
// C-typed argument conversions.
#pragma once

#include "late.h"
#include "pending.h"
#include "pytype.h"
#include "ref.h"

#include <cstdint>
#include <cstddef>

namespace qx {

// The module object and its namespace (borrowed; they live until exit).
PyObject* module();
PyObject* module_dict();

// A name of the module namespace as it is bound right now (new reference);
// null with NameError set when the name is missing.
Ref global(const char* name);

// Truth value of DEBUG at this moment. Asked on every statement, so while
// the namespace is unchanged and DEBUG is bound to True or False the answer
// is remembered; any other object is asked every time.
int debug_enabled();

// Raising an exception class of the errors module, looked up at this moment
// (a missing class becomes NameError). Each returns nullptr so a call site
// reads `return raise_code(...)`.
//   raise_code("DatabaseError", "qcSqlConnect error %d:", rc)
//       -> DatabaseError("qcSqlConnect error %d:", rc)      two arguments
//   raise_formatted("ProgrammingError", "qcSqlFreeStmt error %d:", rc)
//       -> ProgrammingError("qcSqlFreeStmt error -3:")       one argument
//   raise_message("ProgrammingError", "cursor is already closed")
//   raise_object("ProgrammingError", message)                one argument
std::nullptr_t raise_code(const char* cls, const char* tmpl, long code);
std::nullptr_t raise_formatted(const char* cls, const char* tmpl, long code);
std::nullptr_t raise_message(const char* cls, const char* message);
std::nullptr_t raise_object(const char* cls, PyObject* message);
// The same for a class already in hand; any args tuple.
std::nullptr_t raise_args(const char* cls, PyObject* args);

// Writes one line on the module logger `log` (looked up now):
// log_text("debug", text) is log.debug(text). 0, or -1 with an exception.
int log_text(const char* level, PyObject* text);

// The namespace version at which DEBUG was last found bound to False, or 0:
// while it holds, a debug line is not even asked for (statements ask often).
extern uint64_t g_debug_off_at;
// debug_log() past that gate.
int debug_write(const char* format, ...);

// Writes a debug line built with PyUnicode_FromFormat, only while DEBUG is
// true. %R is the %r of Python's own formatting, %S its %s.
// 0, or -1 with an exception set.
template <class... Args>
inline int debug_log(const char* format, Args... args) {
    if (g_debug_off_at != 0 && g_debug_off_at == namespace_version()) return 0;
    return debug_write(format, args...);
}

// A server name as it may be shown: a str with its passwords as ***
// (client/secrets.h); anything else as it is. Null with an exception set.
Ref masked_dsn(PyObject* server);
// masked_dsn(server) for Python: the standard face's and the shell's.
PyObject* masked_dsn_fn(PyObject*, PyObject* server);
// dsn_with(dsn, key, value) for Python: the pool's choice of server.
PyObject* dsn_with_fn(PyObject*, PyObject* args);

// The C-typed conversions: an int is used as it is, another object with
// __index__ is converted, anything else raises TypeError("an integer is
// required"); out of range raises OverflowError. 0, or -1 with an exception.
int to_int32(PyObject* obj, int32_t* out);
int to_uint32(PyObject* obj, uint32_t* out);

// Docstrings keep the layout of the source they were written in: a line
// break, each line indented (four blanks for module functions and classes,
// eight for methods), and the indentation of the closing quotes:
//   "\n    initial qscli.dll\n    :return:\n    "
//   "\n        DB-API Cursor.close()\n        "

}  // namespace qx
