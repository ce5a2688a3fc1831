// The table layouts kept per connection handle.
#include "kept_layouts.h"

#include "../base/pending.h"
#include "../sql/lexer.h"

#include <cstring>
#include <strings.h>
#include <unordered_map>

namespace qx {

namespace {

// One connection's layouts: dict {encoded table name: (fields, described,
// record length)} (owned), and the dialect its statements are read in.
struct Kept {
    PyObject* dict = nullptr;
    int dialect = QSCLI_DIALECT_ENGINE;
};

// Connection handle -> its layouts. Process-wide: the handles are the loaded
// library's, and it is loaded once a process. Touched only with the
// interpreter lock held, and never released at exit (the interpreter is gone
// by then).
std::unordered_map<int, Kept>& kept_layouts() {
    static auto* layouts = new std::unordered_map<int, Kept>();
    return *layouts;
}

// The statement keeps every table's layout: its first word (after blanks,
// comments and parentheses, as `dialect` reads them) is one of these.
bool keeps_layouts(const char* sql, int dialect) {
    const char* e = sql + std::strlen(sql);
    const char* p = sql;
    sql::Token t{};
    for (; p < e; p = t.end) {
        t = sql::next_token(p, e, dialect);
        if (t.kind != sql::Kind::SPACE && t.kind != sql::Kind::COMMENT && *p != '(') break;
    }
    if (p == e || t.kind != sql::Kind::WORD) return false;
    const size_t n = static_cast<size_t>(t.end - p);
    static const char* const kept[] = {"select", "insert", "update", "delete", "with", "values", "begin",
                                       "start", "commit", "end", "savepoint", "release", "return"};
    for (const char* word : kept)
        if (std::strlen(word) == n && strncasecmp(p, word, n) == 0) return true;
    return false;
}

}  // namespace

PyObject* kept_layout(int hdb, PyObject* table) {
    auto& layouts = kept_layouts();
    auto found = layouts.find(hdb);
    return found == layouts.end() ? nullptr : PyDict_GetItemWithError(found->second.dict, table);
}

int keep_layout(int hdb, int dialect, PyObject* table, PyObject* entry) {
    auto& layouts = kept_layouts();
    Kept& kept = layouts[hdb];
    if (!kept.dict && !(kept.dict = PyDict_New())) return layouts.erase(hdb), -1;
    kept.dialect = dialect;
    return PyDict_SetItem(kept.dict, table, entry);
}

void forget_layout(int hdb, const char* table) {
    auto& layouts = kept_layouts();
    auto found = layouts.find(hdb);
    if (found == layouts.end()) return;
    SetAside keep;
    Ref key(PyBytes_FromString(table));
    if (!key || PyDict_DelItem(found->second.dict, key.get()) < 0) PyErr_Clear();
}

void layouts_see_statement(int hdb, const char* sql) {
    auto& layouts = kept_layouts();
    auto found = layouts.find(hdb);
    if (found == layouts.end() || keeps_layouts(sql, found->second.dialect)) return;
    forget_layouts(hdb);
}

void forget_layouts(int hdb) {
    auto& layouts = kept_layouts();
    auto found = layouts.find(hdb);
    if (found == layouts.end()) return;
    PyObject* dict = found->second.dict;
    layouts.erase(found);
    Py_DECREF(dict);
}

}  // namespace qx
