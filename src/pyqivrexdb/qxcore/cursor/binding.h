// Bound parameters of the standard cursor: placeholders in a statement text
// replaced by the literals of the values, never by formatting.
#pragma once

#include "../base/ref.h"

#include <string>

namespace qx {

// A statement's text as bind_statement() made it, NUL-terminated, valid
// while this lives: the text as it came, or the bound text in the binder's
// buffer (the one kept for the next binding, given back at the end).
class BoundText {
public:
    BoundText() = default;
    ~BoundText();
    BoundText(const BoundText&) = delete;
    BoundText& operator=(const BoundText&) = delete;
    const char* c_str() const { return text_ ? text_->c_str() : PyBytes_AS_STRING(bytes_.get()); }

private:
    friend class BoundTextMaker;
    Ref bytes_;
    std::string own_;
    const std::string* text_ = nullptr;  // own_, or the kept buffer (spare_)
    bool spare_ = false;
};

// The statement `operation` (a str) in CP866 with its placeholders bound:
// `?` takes the next value of a sequence, `:name` the value of a mapping.
// Placeholders inside string literals, quoted identifiers and comments of
// `dialect` (QSCLI_DIALECT_*) are text. With `params` None the text is sent
// as it is. A text of more than one statement is refused. The text without
// NUL into *out, 0; or -1 with ProgrammingError or DataError set. `adapters`
// (None, or a tuple of dicts) turns values of own types into bound ones: see
// values::adapt.
int bind_statement(PyObject* operation, PyObject* params, int dialect, PyObject* adapters, BoundText* out);

// The CP866 text of `operation` when it is one statement whose placeholders
// are all `?` (their count in *marks), for the library to bind a record's
// fields to; null, with no exception, for any other (bind_statement()
// then says what is wrong with it).
Ref positional_text(PyObject* operation, int dialect, Py_ssize_t* marks);

}  // namespace qx
