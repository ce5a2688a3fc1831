// CSV text read into rows of Python values for the shell's .load. Records are
// split as the csv module's reader splits them with its defaults (the file
// taken a line at a time, lines ending in "\n"), and the common forms of
// integers, numbers and dates are read here; every other text goes to the
// field's Python converter, so what is accepted or refused stays one rule.
#include "csv_rows.h"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using qx::Ref;

namespace {

// The reader's default limit on one field, in characters of the line.
constexpr size_t FIELD_LIMIT = 131072;

enum State { START_RECORD, START_FIELD, IN_FIELD, IN_QUOTED_FIELD, QUOTE_IN_QUOTED_FIELD, EAT_CRNL };

// What a call works with; `bad` is the converters' error class, raised with
// `line` and `field` (an index, or None for the record as a whole) set.
struct Context {
    const char* data;
    Py_ssize_t size;
    const char* kinds;  // per field: i integer, r number, d date, t text, anything else the converter
    Py_ssize_t nfields;  // -1: texts as they are, any number of them
    PyObject* convert;   // list of callables, one a field
    const char* null;
    Py_ssize_t null_len;  // -1: no NULL marker
    PyObject* bad;
    char sep = ',';  // between fields
};

bool raise_bad(const Context& cx, long long line, PyObject* field, PyObject* message) {
    Ref error(message ? PyObject_CallOneArg(cx.bad, message) : nullptr);
    if (!error) return false;
    Ref at(PyLong_FromLongLong(line));
    if (!at || PyObject_SetAttrString(error.get(), "line", at.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "field", field) < 0)
        return false;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

// A line that is not UTF-8 stops the read at its first bad byte, as a line
// decoded on its own would. `ascii` tells whether it is all ASCII.
bool check_utf8(const Context& cx, const char* line, Py_ssize_t len, long long number, bool* ascii) {
    const char* p = line;
    const char* end = line + len;
    uint64_t high = 0;
    for (; end - p >= 8 && !high; p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        high = word & 0x8080808080808080u;
    }
    while (p < end && !high) high = static_cast<unsigned char>(*p++) & 0x80;
    *ascii = !high;
    if (!high) return true;
    Ref text(PyUnicode_DecodeUTF8(line, len, "strict"));
    if (text) return true;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    Py_ssize_t start = 0;
    if (PyUnicodeDecodeError_GetStart(v.get(), &start) < 0) return false;
    Ref message(PyUnicode_FromFormat("not UTF-8 text (byte 0x%02x at position %zd of the line)",
                                     static_cast<unsigned char>(line[start]), start + 1));
    return raise_bad(cx, number, Py_None, message.get());
}

bool digits(const char* p, const char* end) {
    if (p == end) return false;
    for (; p < end; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

// The plain forms of each kind read here; nullptr without an error set when
// the text is left to the converter.
PyObject* quick_integer(const char* p, Py_ssize_t n) {
    const char* end = p + n;
    const char* q = p + (n > 0 && (*p == '-' || *p == '+'));
    if (end - q > 18 || !digits(q, end)) return nullptr;
    long long v = 0;
    for (const char* d = q; d < end; ++d) v = v * 10 + (*d - '0');
    return PyLong_FromLongLong(*p == '-' ? -v : v);
}

PyObject* quick_number(const char* p, Py_ssize_t n) {
    // [-+]digits[.digits][e[-+]digits], digits on one side of the point
    const char* end = p + n;
    const char* q = p + (n > 0 && (*p == '-' || *p == '+'));
    const char* s = q;
    while (s < end && *s >= '0' && *s <= '9') ++s;
    bool any = s > q;
    if (s < end && *s == '.') {
        const char* f = ++s;
        while (s < end && *s >= '0' && *s <= '9') ++s;
        any = any || s > f;
    }
    if (!any) return nullptr;
    if (s < end && (*s == 'e' || *s == 'E')) {
        ++s;
        if (s < end && (*s == '-' || *s == '+')) ++s;
        if (!digits(s, end)) return nullptr;
        s = end;
    }
    if (s != end) return nullptr;
    double v = 0;
    const char* from = p + (n > 0 && *p == '+');
    auto got = std::from_chars(from, end, v);
    // Out of range either way (1e999, 1e-999): the converter says how.
    if (got.ec != std::errc() || got.ptr != end || !std::isfinite(v)) return nullptr;
    return PyFloat_FromDouble(v);
}

PyObject* quick_date(const char* p, Py_ssize_t n) {
    if (n != 10 || p[4] != '-' || p[7] != '-' || !digits(p, p + 4) || !digits(p + 5, p + 7) || !digits(p + 8, p + 10))
        return nullptr;
    const int y = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
    const int m = (p[5] - '0') * 10 + (p[6] - '0');
    const int d = (p[8] - '0') * 10 + (p[9] - '0');
    PyObject* date = PyDate_FromDate(y, m, d);
    if (!date) PyErr_Clear();  // a day that does not exist: the converter words it
    return date;
}

// A text known to be ASCII, without the decoder's checks.
PyObject* text_of(const char* p, Py_ssize_t n, bool ascii) {
    if (!ascii) return PyUnicode_DecodeUTF8(p, n, "strict");
    PyObject* text = PyUnicode_New(n, 127);
    if (text) std::memcpy(PyUnicode_DATA(text), p, static_cast<size_t>(n));
    return text;
}

// Field j's value from its text: None for the NULL marker, else as its kind
// reads it. A converter's refusal is raised with the line and the field.
PyObject* value(const Context& cx, Py_ssize_t j, const char* p, Py_ssize_t n, long long line, bool ascii) {
    if (cx.null_len == n && std::memcmp(cx.null, p, static_cast<size_t>(n)) == 0) Py_RETURN_NONE;
    const char kind = cx.kinds[j];
    PyObject* quick = kind == 'i' ? quick_integer(p, n) : kind == 'r' ? quick_number(p, n)
                    : kind == 'd' ? quick_date(p, n) : nullptr;
    if (quick || PyErr_Occurred()) return quick;
    Ref text(text_of(p, n, ascii));
    if (!text || kind == 't') return text.release();
    PyObject* got = PyObject_CallOneArg(PyList_GET_ITEM(cx.convert, j), text.get());
    if (got || !PyErr_ExceptionMatches(cx.bad)) return got;
    PyObject *type, *err, *tb;
    PyErr_Fetch(&type, &err, &tb);
    PyErr_NormalizeException(&type, &err, &tb);
    Ref at(PyLong_FromLongLong(line)), index(PyLong_FromSsize_t(j));
    if (err && at && index) {
        if (PyObject_SetAttrString(err, "line", at.get()) < 0 || PyObject_SetAttrString(err, "field", index.get()) < 0)
            PyErr_Clear();
    }
    PyErr_Restore(type, err, tb);
    return nullptr;
}

// One record's fields: their texts end to end in `text`, each ending at its
// offset in `ends`.
struct Record {
    std::string text;
    std::vector<size_t> ends;
    size_t field_start = 0;
    long long line = 0;  // the line it began on
    bool ascii = true;   // every line of it

    void clear() {
        text.clear();
        ends.clear();
        field_start = 0;
        ascii = true;
    }
    void save() {
        ends.push_back(text.size());
        field_start = text.size();
    }
    size_t field_len() const { return text.size() - field_start; }
};

// The record as a tuple of values, or of texts when no layout is given.
PyObject* make_row(const Context& cx, const Record& rec) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(rec.ends.size());
    if (cx.nfields >= 0 && n != cx.nfields) {
        Ref message(PyUnicode_FromFormat("%zd values, the table has %zd fields", n, cx.nfields));
        raise_bad(cx, rec.line, Py_None, message.get());
        return nullptr;
    }
    Ref row(PyTuple_New(n));
    if (!row) return nullptr;
    size_t from = 0;
    for (Py_ssize_t j = 0; j < n; ++j) {
        const char* p = rec.text.data() + from;
        const Py_ssize_t len = static_cast<Py_ssize_t>(rec.ends[j] - from);
        PyObject* v = cx.nfields < 0 ? text_of(p, len, rec.ascii) : value(cx, j, p, len, rec.line, rec.ascii);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(row.get(), j, v);
        from = rec.ends[j];
    }
    return row.release();
}

bool too_long(const Context& cx, long long line) {
    Ref message(PyUnicode_FromFormat("a field longer than %zu bytes", FIELD_LIMIT));
    return raise_bad(cx, line, Py_None, message.get());
}

// One character of a line (EOL: its end) through the reader's states;
// false with an error set when the line cannot be read.
constexpr int EOL = -1;

bool step(const Context& cx, State& state, Record& rec, int c, long long line) {
    switch (state) {
    case START_RECORD:
        if (c == EOL) return true;
        if (c == '\n' || c == '\r') {
            state = EAT_CRNL;
            return true;
        }
        state = START_FIELD;
        [[fallthrough]];
    case START_FIELD:
        if (c == '\n' || c == '\r' || c == EOL) {
            rec.save();
            state = c == EOL ? START_RECORD : EAT_CRNL;
        } else if (c == '"') {
            state = IN_QUOTED_FIELD;
        } else if (c == cx.sep) {
            rec.save();
        } else {
            rec.text += static_cast<char>(c);
            state = IN_FIELD;
        }
        break;
    case IN_FIELD:
        if (c == '\n' || c == '\r' || c == EOL) {
            rec.save();
            state = c == EOL ? START_RECORD : EAT_CRNL;
        } else if (c == cx.sep) {
            rec.save();
            state = START_FIELD;
        } else {
            rec.text += static_cast<char>(c);
        }
        break;
    case IN_QUOTED_FIELD:
        if (c == '"')
            state = QUOTE_IN_QUOTED_FIELD;
        else if (c != EOL)
            rec.text += static_cast<char>(c);
        break;
    case QUOTE_IN_QUOTED_FIELD:
        if (c == '"') {
            rec.text += '"';
            state = IN_QUOTED_FIELD;
        } else if (c == cx.sep) {
            rec.save();
            state = START_FIELD;
        } else if (c == '\n' || c == '\r' || c == EOL) {
            rec.save();
            state = c == EOL ? START_RECORD : EAT_CRNL;
        } else {
            rec.text += static_cast<char>(c);
            state = IN_FIELD;
        }
        break;
    case EAT_CRNL:
        if (c == EOL) {
            state = START_RECORD;
        } else if (c != '\n' && c != '\r') {
            Ref message(PyUnicode_FromString("a carriage return inside an unquoted field"));
            return raise_bad(cx, line, Py_None, message.get());
        }
        break;
    }
    return rec.field_len() <= FIELD_LIMIT || too_long(cx, line);
}

// The characters from p on that the state only adds to its field: most of
// a line is read this way, a run at a time.
size_t plain_run(State state, const char* p, const char* end, char sep) {
    if (state == IN_QUOTED_FIELD) {
        const void* quote = std::memchr(p, '"', static_cast<size_t>(end - p));
        return static_cast<size_t>((quote ? static_cast<const char*>(quote) : end) - p);
    }
    if (state != IN_FIELD) return 0;
    const char* q = p;
    while (q < end && *q != sep && *q != '\n' && *q != '\r') ++q;
    return static_cast<size_t>(q - p);
}

// A line that holds a whole record in the common forms (plain fields,
// quoted ones without a doubled quote, no carriage return but before the
// line break) split a field at a time into the empty `rec`; false, `rec`
// left empty, when the states must read it a character at a time.
bool split_line(const char* p, const char* end, Record& rec, char sep) {
    if (end > p && end[-1] == '\n') --end;
    if (end > p && end[-1] == '\r') --end;
    if (static_cast<size_t>(end - p) > FIELD_LIMIT || std::memchr(p, '\r', static_cast<size_t>(end - p)))
        return false;
    auto undo = [&] {
        rec.clear();
        return false;
    };
    if (p == end) return true;  // a blank line: no fields
    for (;;) {
        if (*p == '"') {
            const char* q = static_cast<const char*>(std::memchr(p + 1, '"', static_cast<size_t>(end - p - 1)));
            if (!q || (q + 1 < end && q[1] != sep)) return undo();  // goes on past the line, or "" inside
            rec.text.append(p + 1, static_cast<size_t>(q - p - 1));
            p = q + 1;
        } else {
            const char* q = static_cast<const char*>(std::memchr(p, sep, static_cast<size_t>(end - p)));
            if (!q) q = end;
            rec.text.append(p, static_cast<size_t>(q - p));
            p = q;
        }
        rec.save();
        if (p == end) return true;
        if (++p == end) {  // a comma last: an empty field after it
            rec.save();
            return true;
        }
    }
}

}  // namespace

// csv_rows(data, pos, final, line, kinds, convert, null, bad, limit[, sep])
//   -> (rows, lines, pos, line)
// Reads the records of `data` from byte `pos` (line number `line`) as
// tuples, at most `limit` of them, stopping before a record the data ends
// in unless `final`; records of no fields (blank lines) are left out.
// `lines` holds the line each row began on, as native 64-bit integers; the
// returned pos and line are where the next call goes on. `kinds` None: the
// fields as texts, as many as there are.
PyObject* csv_rows(PyObject*, PyObject* args) {
    Py_buffer buf;
    Py_ssize_t pos, limit;
    int final;
    long long line;
    PyObject *kinds, *convert, *null, *bad;
    int sep = ',';
    if (!PyArg_ParseTuple(args, "y*npLOOOOn|C:csv_rows", &buf, &pos, &final, &line, &kinds, &convert, &null, &bad,
                          &limit, &sep))
        return nullptr;
    if (sep < 1 || sep > 0x7f || sep == '"' || sep == '\n' || sep == '\r') {
        PyBuffer_Release(&buf);
        PyErr_SetString(PyExc_ValueError, "the separator is one ASCII character other than a quote or a line break");
        return nullptr;
    }
    struct Release {
        Py_buffer* b;
        ~Release() { PyBuffer_Release(b); }
    } release{&buf};
    Context cx{static_cast<const char*>(buf.buf), buf.len, nullptr, -1, convert, nullptr, -1, bad,
               static_cast<char>(sep)};
    if (kinds != Py_None) {
        Py_ssize_t n;
        cx.kinds = PyUnicode_AsUTF8AndSize(kinds, &n);
        if (!cx.kinds) return nullptr;
        if (!PyList_Check(convert) || PyList_GET_SIZE(convert) != n) {
            PyErr_SetString(PyExc_TypeError, "one converter a field");
            return nullptr;
        }
        cx.nfields = n;
    }
    if (null != Py_None && !(cx.null = PyUnicode_AsUTF8AndSize(null, &cx.null_len))) return nullptr;
    if (pos < 0 || pos > cx.size) {
        PyErr_SetString(PyExc_ValueError, "pos outside the data");
        return nullptr;
    }
    Ref rows(PyList_New(0));
    if (!rows) return nullptr;
    std::vector<int64_t> lines;
    Record rec;
    State state = START_RECORD;
    Py_ssize_t at = pos;        // where the record being read began
    long long at_line = line;   // and its line
    Py_ssize_t p = pos;
    // A text that stops the read takes the rows before it along, as the
    // error's `rows` and `lines`.
    auto fail = [&]() -> PyObject* {
        if (!PyErr_ExceptionMatches(cx.bad)) return nullptr;
        PyObject *type, *err, *tb;
        PyErr_Fetch(&type, &err, &tb);
        PyErr_NormalizeException(&type, &err, &tb);
        Ref before(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(lines.data()),
                                             static_cast<Py_ssize_t>(lines.size() * sizeof(int64_t))));
        if (!before || PyObject_SetAttrString(err, "rows", rows.get()) < 0 ||
            PyObject_SetAttrString(err, "lines", before.get()) < 0) {
            Py_XDECREF(type);
            Py_XDECREF(err);
            Py_XDECREF(tb);
            return nullptr;
        }
        PyErr_Restore(type, err, tb);
        return nullptr;
    };
    while (static_cast<Py_ssize_t>(lines.size()) < limit) {
        if (p == cx.size && (!final || state == START_RECORD)) break;
        const char* start = cx.data + p;
        const char* nl = static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(cx.size - p)));
        if (!nl && !final) break;  // the line goes on in the next data
        const Py_ssize_t len = nl ? nl + 1 - start : cx.size - p;
        bool ascii = false;
        if (!check_utf8(cx, start, len, line, &ascii)) return fail();
        bool whole = false;
        if (state == START_RECORD) {
            rec.clear();
            rec.line = line;
            whole = split_line(start, start + len, rec, cx.sep);
        }
        rec.ascii = rec.ascii && ascii;
        for (Py_ssize_t k = whole ? len : 0; k < len;) {
            const size_t run = plain_run(state, start + k, start + len, cx.sep);
            if (run) {
                rec.text.append(start + k, run);
                k += static_cast<Py_ssize_t>(run);
                if (rec.field_len() > FIELD_LIMIT) return too_long(cx, line), fail();
                continue;
            }
            if (!step(cx, state, rec, static_cast<unsigned char>(start[k++]), line)) return fail();
        }
        p += len;
        if (len > 0 && !whole && !step(cx, state, rec, EOL, line)) return fail();
        ++line;
        if (state != START_RECORD) {
            if (p < cx.size || !final) continue;
            // The data ends inside a quoted field: what was read of it counts.
            if (rec.field_len() == 0 && state != IN_QUOTED_FIELD) break;
            rec.save();
            state = START_RECORD;
        }
        at = p;
        at_line = line;
        if (rec.ends.empty()) continue;
        PyObject* row = make_row(cx, rec);
        if (!row) return fail();
        const int added = PyList_Append(rows.get(), row);
        Py_DECREF(row);
        if (added < 0) return fail();
        lines.push_back(rec.line);
    }
    Ref packed(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(lines.data()),
                                         static_cast<Py_ssize_t>(lines.size() * sizeof(int64_t))));
    if (!packed) return nullptr;
    return Py_BuildValue("(OOnL)", rows.get(), packed.get(), at, at_line);
}

bool csv_rows_ready() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}
