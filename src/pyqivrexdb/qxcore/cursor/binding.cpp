// The placeholder scanner. It reads the statement with the lexer of the
// library's dialect, so a `?` or `:name` inside a literal, a quoted name or
// a comment stays text, and copies everything else through unchanged.
#include "binding.h"

#include "../sql/lexer.h"

#include "../base/common.h"
#include "../client/cp866.h"
#include "../values/adapt.h"
#include "../values/sql_literal.h"

#include <cstring>
#include <string>
#include <vector>

namespace qx {

namespace {

bool is_name_start(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

bool is_name_char(unsigned char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

// `:name` at p, not the second colon of a `::` cast.
bool is_named_mark(const char* p, const char* b, const char* e) {
    return *p == ':' && p + 1 < e && is_name_start(static_cast<unsigned char>(p[1])) && (p == b || p[-1] != ':');
}

std::nullptr_t misuse(const char* format, PyObject* detail = nullptr) {
    Ref text(detail ? PyUnicode_FromFormat(format, detail) : PyUnicode_FromString(format));
    return text ? raise_object("ProgrammingError", text.get()) : nullptr;
}

// Whether a cast (`::`) or a subscript (`[`) follows at p, blanks and
// comments aside: on a server these bind tighter than a minus, so a
// negative number bound before them goes in parentheses.
bool cast_follows(const char* p, const char* e, int dialect) {
    while (p < e) {
        const sql::Token t = sql::next_token(p, e, dialect);
        if (t.kind != sql::Kind::SPACE && t.kind != sql::Kind::COMMENT)
            return t.kind == sql::Kind::OTHER && (*p == '[' || (*p == ':' && p + 1 < e && p[1] == ':'));
        p = t.end;
    }
    return false;
}

// Where a placeholder stands in a statement's text: `?` at `at`, or
// `:name` from `at` to `end`.
struct Mark {
    size_t at;
    size_t end;  // 0 for ?
    bool tight;  // a cast or subscript follows (cast_follows)
};

// The text buffer of the last binding, kept for the next one: a loop of
// small statements then allocates none each. Taken and given back under the
// interpreter lock, and held until the bound statement has run (BoundText);
// a binding meanwhile (an adapter's, another thread's) finds it taken and
// makes its own. Up to 64 KiB is kept.
std::string* const g_spare_text = new std::string;  // process-wide, as the module is (PyInit_qxcore); never destroyed
bool g_spare_taken = false;

void give_back_spare() {
    if (g_spare_text->capacity() > (64u << 10)) std::string().swap(*g_spare_text);
    g_spare_taken = false;
}

class Binder {
public:
    Binder(PyObject* params, bool named, PyObject* adapters = nullptr)
        : params_(params), named_(named), adapters_(adapters) {
        if (params_ && !g_spare_taken) {
            g_spare_taken = true;
            out_ = g_spare_text;
            out_->clear();
        }
    }
    ~Binder() {
        if (out_ == g_spare_text && !handed_) give_back_spare();
    }
    Binder(const Binder&) = delete;
    Binder& operator=(const Binder&) = delete;

    // Binds the text [b, e) into out_, noting each placeholder in `marks`
    // when given. 0, or -1 with an exception set.
    int run(const char* b, const char* e, int dialect, std::vector<Mark>* marks = nullptr) {
        dialect_ = dialect;
        if (params_) out_->reserve(static_cast<size_t>(e - b) + 16);
        const char* copied = b;
        sql::StatementEnds ends(dialect);
        bool ended = false;
        for (const char* p = b; p < e;) {
            const sql::Token t = sql::next_token(p, e, dialect);
            if (ended && t.kind != sql::Kind::SPACE && t.kind != sql::Kind::COMMENT && t.kind != sql::Kind::SEMI)
                return misuse("You can only execute one statement at a time."), -1;
            ended |= ends.feed(p, t);
            const unsigned char c = static_cast<unsigned char>(*p);
            if (!params_ || t.kind != sql::Kind::OTHER) {
                if (!params_ && t.kind == sql::Kind::OTHER && (c == '?' || is_named_mark(p, b, e))) ++used_;
                p = t.end;
            } else if (c == '?') {
                out_->append(copied, p);
                if (p + 1 < e && p[1] >= '0' && p[1] <= '9') return misuse("numbered placeholders (?1) are not supported: use ? or :name"), -1;
                const bool tight = dialect == QSCLI_DIALECT_PG && cast_follows(p + 1, e, dialect);
                if (marks) marks->push_back({static_cast<size_t>(p - b), 0, tight});
                if (positional(tight) < 0) return -1;
                copied = ++p;
            } else if (is_named_mark(p, b, e)) {
                out_->append(copied, p);
                const char* name = ++p;
                while (p < e && is_name_char(static_cast<unsigned char>(*p))) ++p;
                const bool tight = dialect == QSCLI_DIALECT_PG && cast_follows(p, e, dialect);
                if (marks) marks->push_back({static_cast<size_t>(name - 1 - b), static_cast<size_t>(p - b), tight});
                if (by_name(name, p, tight) < 0) return -1;
                copied = p;
            } else {
                p = t.end;
            }
        }
        if (!params_) return 0;
        out_->append(copied, e);
        return counted();
    }

    // Binds the text [b, e), whose placeholders run() noted in `marks`,
    // as run() would, without reading the text again.
    // The marks are `count` Marks one after the other at `marks`.
    int replay(const char* b, const char* e, int dialect, const char* marks, size_t count) {
        dialect_ = dialect;
        out_->reserve(static_cast<size_t>(e - b) + 16);
        const char* copied = b;
        for (size_t k = 0; k < count; ++k) {
            Mark m;
            std::memcpy(&m, marks + k * sizeof m, sizeof m);
            out_->append(copied, b + m.at);
            if (m.end == 0) {
                if (positional(m.tight) < 0) return -1;
                copied = b + m.at + 1;
            } else {
                if (by_name(b + m.at + 1, b + m.end, m.tight) < 0) return -1;
                copied = b + m.end;
            }
        }
        out_->append(copied, e);
        return counted();
    }

    // The placeholders of a sequence's values are all there.
    int counted() {
        if (!named_ && used_ != given()) {
            Ref text(PyUnicode_FromFormat("the statement has %zd placeholders but %zd values were given", used_,
                                          given()));
            if (text) raise_object("ProgrammingError", text.get());
            return -1;
        }
        return 0;
    }

    // The placeholders of a text run() only checked.
    Py_ssize_t marks() const { return used_; }

    // The bound text into *out, which holds the buffer from here on.
    void hand_over(BoundText* out);

private:
    Py_ssize_t given() const { return PySequence_Fast_GET_SIZE(params_); }

    int positional(bool tight) {
        if (named_) return misuse("the statement uses ? but the values are a mapping"), -1;
        const Py_ssize_t i = used_++;
        if (i >= given()) return 0;  // counted, reported once the text is scanned
        Ref label = position_label(i);
        if (!label) return -1;
        return bind(Ref::borrow(PySequence_Fast_GET_ITEM(params_, i)), label.get(), tight);
    }

    // "parameter N" for messages; the first few are made once, not for every value bound.
    static Ref position_label(Py_ssize_t i) {
        static PyObject* made[32];  // process-wide, as the module is (PyInit_qxcore); live until exit
        if (i >= 32) return Ref(PyUnicode_FromFormat("parameter %zd", i + 1));
        if (!made[i] && !(made[i] = PyUnicode_FromFormat("parameter %zd", i + 1))) return Ref();
        return Ref::borrow(made[i]);
    }

    int by_name(const char* b, const char* e, bool tight) {
        Ref name(cp866_decode(b, e - b));
        if (!name) return -1;
        if (!named_) return misuse("the statement uses :%U but the values are a sequence", name.get()), -1;
        Ref value(PyObject_GetItem(params_, name.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
            PyErr_Clear();
            return misuse("no value was given for :%U", name.get()), -1;
        }
        Ref label(PyUnicode_FromFormat("parameter :%U", name.get()));
        if (!label) return -1;
        return bind(std::move(value), label.get(), tight);
    }

    int bind(Ref value, PyObject* label, bool tight) {
        if (adapters_) value = values::adapt(value.get(), adapters_, label, dialect_);
        return value ? values::append_literal(*out_, value.get(), label, dialect_, tight) : -1;
    }

    PyObject* params_;  // borrowed: a fast sequence, or the mapping; null: the text is only checked
    bool named_;
    PyObject* adapters_;  // borrowed: see values::adapt; null when none are registered
    Py_ssize_t used_ = 0;
    int dialect_ = QSCLI_DIALECT_ENGINE;
    std::string own_;
    std::string* out_ = &own_;  // the spare text, or own_ when another binding holds it
    bool handed_ = false;       // the spare text went on to a BoundText
};

}  // namespace

class BoundTextMaker {
public:
    static void text(BoundText* out, Ref bytes) { out->bytes_ = std::move(bytes); }
    static void spare(BoundText* out, const std::string* text) {
        out->text_ = text;
        out->spare_ = true;
    }
    static void own(BoundText* out, std::string&& text) {
        out->own_ = std::move(text);
        out->text_ = &out->own_;
    }
};

namespace {

void Binder::hand_over(BoundText* out) {
    if (out_ == g_spare_text) {
        handed_ = true;
        BoundTextMaker::spare(out, out_);
    } else {
        BoundTextMaker::own(out, std::move(own_));
    }
}

Ref statement_text(PyObject* operation) {
    if (!PyUnicode_Check(operation))
        return Ref(misuse("the statement must be a str, not %S", reinterpret_cast<PyObject*>(Py_TYPE(operation))));
    Ref encoded = cp866_bytes(operation);
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Ref();
        PyErr_Clear();
        const std::string why = std::string("the statement has ") + unencodable_reason();
        return Ref(misuse((text_utf8() ? why : why + "; pass such text as a parameter").c_str()));
    }
    if (std::memchr(PyBytes_AS_STRING(encoded.get()), 0, static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))))
        return Ref(misuse("the statement holds a NUL character"));
    return encoded;
}

// Statement texts bound before, with where their placeholders stand: a
// loop's statement is encoded and read once. A few entries, the oldest
// replaced, so what they hold stays bounded.
struct Scanned {
    PyObject* operation = nullptr;  // owned: the str as the caller gave it
    PyObject* text = nullptr;       // owned: its CP866 bytes
    int dialect = 0;
    PyObject* marks = nullptr;      // owned: bytes, the Marks one after the other
};
constexpr size_t kScanned = 4;
Scanned* const g_scanned = new Scanned[kScanned];  // process-wide, as the module is (PyInit_qxcore); never destroyed
size_t g_next_scanned = 0;

const Scanned* find_scanned(PyObject* operation, int dialect) {
    for (size_t k = 0; k < kScanned; ++k) {
        const Scanned& s = g_scanned[k];
        if (!s.operation || s.dialect != dialect) continue;
        if (s.operation == operation) return &s;
        if (PyUnicode_GET_LENGTH(s.operation) == PyUnicode_GET_LENGTH(operation) &&
            PyUnicode_Compare(s.operation, operation) == 0)
            return &s;
    }
    return nullptr;
}

void keep_scanned(PyObject* operation, PyObject* text, int dialect, const std::vector<Mark>& marks) {
    Scanned& s = g_scanned[g_next_scanned];
    g_next_scanned = (g_next_scanned + 1) % kScanned;
    PyObject* kept = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(marks.data()),
                                               static_cast<Py_ssize_t>(marks.size() * sizeof(Mark)));
    if (!kept) {
        PyErr_Clear();  // not kept: only a lost shortcut
        return;
    }
    PyObject* old[] = {s.operation, s.text, s.marks};
    s.operation = new_ref(operation);
    s.text = new_ref(text);
    s.marks = kept;
    s.dialect = dialect;
    for (PyObject* o : old) Py_XDECREF(o);
}

// The values as the binder takes them: a fast sequence, or the mapping
// itself (*named). Null with ProgrammingError set.
Ref values_of(PyObject* params, bool* named) {
    if (PyUnicode_Check(params) || PyBytes_Check(params) || PyByteArray_Check(params))
        return Ref(misuse("the values must be a sequence or a mapping, not %S",
                          reinterpret_cast<PyObject*>(Py_TYPE(params))));
    *named = PyDict_Check(params) ||
             (!PyTuple_Check(params) && !PyList_Check(params) && PyObject_HasAttrString(params, "keys"));
    if (*named) return Ref::borrow(params);
    Ref held(PySequence_Fast(params, "the values must be a sequence or a mapping"));
    if (!held && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        misuse("the values must be a sequence or a mapping, not %S", reinterpret_cast<PyObject*>(Py_TYPE(params)));
    }
    return held;
}

}  // namespace

Ref positional_text(PyObject* operation, int dialect, Py_ssize_t* marks) {
    *marks = 0;
    if (!PyUnicode_Check(operation)) return Ref();
    Ref text = statement_text(operation);
    if (!text) {
        PyErr_Clear();
        return text;
    }
    const char* b = PyBytes_AS_STRING(text.get());
    const char* e = b + PyBytes_GET_SIZE(text.get());
    sql::StatementEnds ends(dialect);
    bool ended = false;
    for (const char* p = b; p < e;) {
        const sql::Token t = sql::next_token(p, e, dialect);
        if (ended && t.kind != sql::Kind::SPACE && t.kind != sql::Kind::COMMENT && t.kind != sql::Kind::SEMI)
            return Ref();
        ended |= ends.feed(p, t);
        if (t.kind == sql::Kind::OTHER && *p == '?') {
            if (p + 1 < e && p[1] >= '0' && p[1] <= '9') return Ref();
            ++*marks;
            p = p + 1;
        } else if (t.kind == sql::Kind::OTHER && is_named_mark(p, b, e)) {
            return Ref();
        } else {
            p = t.end;
        }
    }
    if (!*marks) return Ref();
    return text;
}

BoundText::~BoundText() {
    if (spare_) give_back_spare();
}

int bind_statement(PyObject* operation, PyObject* params, int dialect, PyObject* adapters, BoundText* out) {
    if (adapters == Py_None) adapters = nullptr;
    const Scanned* seen = params != Py_None && PyUnicode_CheckExact(operation) ? find_scanned(operation, dialect) : nullptr;
    if (seen) {
        // Held here: binding a value may run Python code that binds another
        // statement and replaces the entry.
        Ref text = Ref::borrow(seen->text);
        Ref marks = Ref::borrow(seen->marks);
        bool named = false;
        Ref held = values_of(params, &named);
        if (!held) return -1;
        const char* b = PyBytes_AS_STRING(text.get());
        Binder binder(held.get(), named, adapters);
        const size_t count = static_cast<size_t>(PyBytes_GET_SIZE(marks.get())) / sizeof(Mark);
        if (binder.replay(b, b + PyBytes_GET_SIZE(text.get()), dialect, PyBytes_AS_STRING(marks.get()), count) < 0)
            return -1;
        binder.hand_over(out);
        return 0;
    }
    Ref text = statement_text(operation);
    if (!text) return -1;
    const char* b = PyBytes_AS_STRING(text.get());
    const char* e = b + PyBytes_GET_SIZE(text.get());
    if (params == Py_None) {
        // Sent as it is, once it is known to hold one statement. The engine
        // would bind NULL to a mark left without a value; a server refuses
        // one itself, where `?` is also an operator of jsonb.
        Binder checked(nullptr, false);
        if (checked.run(b, e, dialect) < 0) return -1;
        if (checked.marks() && dialect == QSCLI_DIALECT_ENGINE) {
            Ref why(PyUnicode_FromFormat("the statement has %zd placeholders but no values were given",
                                         checked.marks()));
            if (why) raise_object("ProgrammingError", why.get());
            return -1;
        }
        BoundTextMaker::text(out, std::move(text));
        return 0;
    }
    bool named = false;
    Ref held = values_of(params, &named);
    if (!held) return -1;
    Binder binder(held.get(), named, adapters);
    std::vector<Mark> marks;
    if (binder.run(b, e, dialect, &marks) < 0) return -1;
    if (PyUnicode_CheckExact(operation)) keep_scanned(operation, text.get(), dialect, marks);
    binder.hand_over(out);
    return 0;
}

}  // namespace qx
