// The statements of a text, for the standard face and the shell: splitting,
// completeness and tokens, all read with the lexer the placeholder scanner
// uses. Texts arrive as str and are read as UTF-8.
#include "lexer.h"
#include "standard_cursor.h"

#include <string>

namespace qx {

namespace {

struct Text {
    const char* b = nullptr;
    const char* e = nullptr;
    int dialect = QSCLI_DIALECT_ENGINE;
};

// (text, dialect=0[, limit]) into t (and *limit when asked for); 0, or -1
// with an exception set.
int parse(PyObject* args, const char* name, Text* t, Py_ssize_t* limit = nullptr) {
    PyObject* text = nullptr;
    int dialect = QSCLI_DIALECT_ENGINE;
    std::string format = std::string(limit ? "U|in:" : "U|i:") + name;
    const int parsed = limit ? PyArg_ParseTuple(args, format.c_str(), &text, &dialect, limit)
                             : PyArg_ParseTuple(args, format.c_str(), &text, &dialect);
    if (!parsed) return -1;
    Py_ssize_t n = 0;
    t->b = PyUnicode_AsUTF8AndSize(text, &n);
    if (!t->b) return -1;
    t->e = t->b + n;
    t->dialect = sql::known_dialect(dialect);
    return 0;
}

int append_slice(PyObject* list, const char* b, const char* e) {
    Ref piece(PyUnicode_DecodeUTF8(b, e - b, "strict"));
    return piece ? PyList_Append(list, piece.get()) : -1;
}

const char* trim_end(const char* b, const char* e) {
    while (e > b && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\n' || e[-1] == '\r' || e[-1] == '\f' ||
                     e[-1] == '\v'))
        --e;
    return e;
}

const char* const kind_names[] = {"space", "comment", "text", "name", "word", "semi", "other"};

}  // namespace

// Each statement with its `;` (comments before it included), then the
// unfinished rest when it holds more than blanks and closed comments.
PyObject* split_statements(PyObject*, PyObject* args) {
    Text t;
    if (parse(args, "split", &t) < 0) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    sql::StatementEnds ends(t.dialect);
    const char* start = nullptr;  // the first token after the last end that is not a blank
    bool open = false;
    for (const char* p = t.b; p < t.e;) {
        const sql::Token tok = sql::next_token(p, t.e, t.dialect);
        if (tok.kind != sql::Kind::SPACE && !start) start = p;
        open = !tok.closed;
        if (ends.feed(p, tok)) {
            if (append_slice(out.get(), start, tok.end) < 0) return nullptr;
            start = nullptr;
        } else if (tok.kind == sql::Kind::SEMI && !ends.pending()) {
            start = nullptr;  // an empty statement
        }
        p = tok.end;
    }
    if (start && (ends.pending() || open) && append_slice(out.get(), start, trim_end(start, t.e)) < 0)
        return nullptr;
    return out.release();
}

// True when the text ends with a complete statement: after its last `;`
// come only blanks and closed comments.
PyObject* complete_statement(PyObject*, PyObject* args) {
    Text t;
    if (parse(args, "complete", &t) < 0) return nullptr;
    sql::StatementEnds ends(t.dialect);
    bool complete = false;
    for (const char* p = t.b; p < t.e;) {
        const sql::Token tok = sql::next_token(p, t.e, t.dialect);
        const bool ended = ends.feed(p, tok);
        if (!tok.closed)
            complete = false;
        else if (tok.kind == sql::Kind::SEMI)
            complete = ended || !ends.pending();
        else if (tok.kind != sql::Kind::SPACE && tok.kind != sql::Kind::COMMENT)
            complete = false;
        p = tok.end;
    }
    return PyBool_FromLong(complete);
}

// (kind, text) of every token but blanks and comments, or of the first
// `limit` of them (a statement's kind, read without lexing all of it): kind
// "text", "name", "word", "semi" or "other".
PyObject* statement_tokens(PyObject*, PyObject* args) {
    Text t;
    Py_ssize_t limit = -1;
    if (parse(args, "tokens", &t, &limit) < 0) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const char* p = t.b; p < t.e && PyList_GET_SIZE(out.get()) != limit;) {
        const sql::Token tok = sql::next_token(p, t.e, t.dialect);
        if (tok.kind != sql::Kind::SPACE && tok.kind != sql::Kind::COMMENT) {
            Ref piece(Py_BuildValue("(ss#)", kind_names[static_cast<int>(tok.kind)], p,
                                    static_cast<Py_ssize_t>(tok.end - p)));
            if (!piece || PyList_Append(out.get(), piece.get()) < 0) return nullptr;
        }
        p = tok.end;
    }
    return out.release();
}

}  // namespace qx
