// pyqivrexdb._rowtext: result rows turned into the shell's text, one page at
// a time. Shown value by value in Python, a large result costs several times
// what fetching it does; here a page is one pass over its values.
//
//   table_lines(rows, widths, right, text)
//                               the rows as aligned lines joined by " | ", each
//                               line ended by "\n"; values shown as the shell
//                               shows them (None as NULL, floats as repr,
//                               dates as YYYY-MM-DD), any other type by text(v)
//   csv_lines(rows, ncols, text)
//                               the rows as comma-separated values, the same
//                               texts, NULL as an empty cell
//   insert_lines(rows, head, shape)
//                               the rows as INSERT statements (.dump)
//   csv_rows(...)               CSV text read back into rows (csv_rows.cpp)
#include "../qxcore/base/ref.h"
#include "csv_rows.h"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using qx::Ref;

namespace {

// The UTF-8 bytes and the length in characters of a str.
bool utf8_of(PyObject* s, const char** data, Py_ssize_t* size, Py_ssize_t* chars) {
    *chars = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        *data = static_cast<const char*>(PyUnicode_DATA(s));
        *size = *chars;
        return true;
    }
    *data = PyUnicode_AsUTF8AndSize(s, size);
    return *data != nullptr;
}

// Appends what repr() gives for a float: the shortest digits that read
// back as the same number, in positional notation when the decimal point
// falls within 16 digits of them (1e-04 to 1e+16), else with an exponent.
// Python's own conversion costs several times more.
void append_float(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += std::isnan(d) ? "nan" : (d < 0 ? "-inf" : "inf");
        return;
    }
    char sci[32];
    char* end = std::to_chars(sci, sci + sizeof sci - 1, d, std::chars_format::scientific).ptr;
    *end = '\0';  // for atoi below
    const char* p = sci;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    // d.ddde[+-]xx: the digits without the point, and the exponent
    char digits[24];
    int n = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    int exp = std::atoi(p + 1);
    int point = exp + 1;  // digits before the decimal point
    if (point <= -4 || point > 16) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits + 1, static_cast<size_t>(n - 1));
        }
        char e[8];
        int k = std::snprintf(e, sizeof e, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
        out.append(e, static_cast<size_t>(k));
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out.append(digits, static_cast<size_t>(n));
    } else if (point < n) {
        out.append(digits, static_cast<size_t>(point));
        out += '.';
        out.append(digits + point, static_cast<size_t>(n - point));
    } else {
        out.append(digits, static_cast<size_t>(n));
        out.append(static_cast<size_t>(point - n), '0');
        out += ".0";
    }
}

// Appends one value's text to `out`; *chars is its length in characters.
bool append_value(std::string& out, PyObject* v, PyObject* text, Py_ssize_t* chars) {
    if (v == Py_None) {
        out.append("NULL", 4);
        *chars = 4;
        return true;
    }
    if (PyUnicode_CheckExact(v)) {
        const char* data;
        Py_ssize_t size;
        if (!utf8_of(v, &data, &size, chars)) return false;
        out.append(data, static_cast<size_t>(size));
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow && !(n == -1 && PyErr_Occurred())) {
            char buf[24];
            auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
            out.append(buf, static_cast<size_t>(end - buf));
            *chars = end - buf;
            return true;
        }
        PyErr_Clear();
    } else if (PyFloat_CheckExact(v)) {
        size_t before = out.size();
        append_float(out, PyFloat_AS_DOUBLE(v));
        *chars = static_cast<Py_ssize_t>(out.size() - before);
        return true;
    } else if (PyDate_CheckExact(v)) {
        // YYYY-MM-DD, as isoformat(); a date's year has four digits at most
        int y = PyDateTime_GET_YEAR(v), m = PyDateTime_GET_MONTH(v), d = PyDateTime_GET_DAY(v);
        char buf[10] = {char('0' + y / 1000), char('0' + y / 100 % 10), char('0' + y / 10 % 10),
                        char('0' + y % 10), '-', char('0' + m / 10), char('0' + m % 10), '-',
                        char('0' + d / 10), char('0' + d % 10)};
        out.append(buf, sizeof buf);
        *chars = sizeof buf;
        return true;
    }
    Ref shown(PyObject_CallFunctionObjArgs(text, v, nullptr));
    if (!shown) return false;
    if (!PyUnicode_Check(shown.get())) {
        PyErr_SetString(PyExc_TypeError, "text() must return str");
        return false;
    }
    const char* data;
    Py_ssize_t size;
    if (!utf8_of(shown.get(), &data, &size, chars)) return false;
    out.append(data, static_cast<size_t>(size));
    return true;
}

bool read_sizes(PyObject* seq, const char* what, std::vector<Py_ssize_t>* out) {
    Ref fast(PySequence_Fast(seq, what));
    if (!fast) return false;
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(fast.get()); ++j) {
        Py_ssize_t n = PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(fast.get(), j), PyExc_OverflowError);
        if (n == -1 && PyErr_Occurred()) return false;
        out->push_back(n);
    }
    return true;
}

// The rows as lines of `ncols` cells: `sep` between cells, "\n" after each
// line; cell(out, j, value) appends cell j.
template <class Cell>
PyObject* lines(PyObject* rows_arg, size_t ncols, const char* sep, Cell cell) {
    Ref rows(PySequence_Fast(rows_arg, "rows must be a sequence"));
    if (!rows) return nullptr;
    const size_t sep_len = strlen(sep);
    std::string out;
    out.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(rows.get())) * (ncols * 12 + 1));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows.get()); ++i) {
        Ref row(PySequence_Fast(PySequence_Fast_GET_ITEM(rows.get(), i), "a row must be a sequence"));
        if (!row) return nullptr;
        for (size_t j = 0; j < ncols; ++j) {
            // Read anew each time: text() may change a list it is shown.
            if (static_cast<size_t>(PySequence_Fast_GET_SIZE(row.get())) != ncols) {
                PyErr_Format(PyExc_ValueError, "row %zd has %zd values, not %zu", i,
                             PySequence_Fast_GET_SIZE(row.get()), ncols);
                return nullptr;
            }
            if (j) out.append(sep, sep_len);
            Ref value = Ref::borrow(PySequence_Fast_GET_ITEM(row.get(), static_cast<Py_ssize_t>(j)));
            if (!cell(out, j, value.get())) return nullptr;
        }
        out += '\n';
    }
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
}

PyObject* table_lines(PyObject*, PyObject* args) {
    PyObject *rows, *widths_arg, *right_arg, *text;
    if (!PyArg_ParseTuple(args, "OOOO:table_lines", &rows, &widths_arg, &right_arg, &text)) return nullptr;
    std::vector<Py_ssize_t> widths, right;
    if (!read_sizes(widths_arg, "widths must be a sequence", &widths)) return nullptr;
    if (!read_sizes(right_arg, "right must be a sequence", &right)) return nullptr;
    const size_t ncols = widths.size();
    if (right.size() != ncols) {
        PyErr_SetString(PyExc_ValueError, "widths and right differ in length");
        return nullptr;
    }
    std::string cell;
    return lines(rows, ncols, " | ", [&](std::string& out, size_t j, PyObject* value) {
        cell.clear();
        Py_ssize_t chars;
        if (!append_value(cell, value, text, &chars)) return false;
        Py_ssize_t pad = widths[j] > chars ? widths[j] - chars : 0;
        if (right[j]) out.append(static_cast<size_t>(pad), ' ');
        out += cell;
        if (!right[j] && j + 1 < ncols) out.append(static_cast<size_t>(pad), ' ');
        return true;
    });
}

// As the csv module writes with its defaults: a cell holding a comma, a
// quote or a line break is quoted, quotes doubled; NULL is an empty cell.
PyObject* csv_lines(PyObject*, PyObject* args) {
    PyObject *rows, *text;
    Py_ssize_t ncols;
    if (!PyArg_ParseTuple(args, "OnO:csv_lines", &rows, &ncols, &text)) return nullptr;
    if (ncols < 1) {
        PyErr_SetString(PyExc_ValueError, "a row has one value at least");
        return nullptr;
    }
    std::string cell;
    return lines(rows, static_cast<size_t>(ncols), ",", [&](std::string& out, size_t, PyObject* value) {
        cell.clear();
        Py_ssize_t chars;
        if (value != Py_None && !append_value(cell, value, text, &chars)) return false;
        // a row of one empty cell would read back as no row at all
        if (cell.find_first_of(",\"\r\n") == std::string::npos && !(cell.empty() && ncols == 1)) {
            out += cell;
            return true;
        }
        out += '"';
        for (char c : cell) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
        return true;
    });
}

// A float as an SQL literal that reads back as the same double: its
// shortest digits; infinities as a literal too large for a double, which
// reads as one; NaN, which no column stores, as NULL.
void append_sql_float(std::string& out, double d) {
    if (std::isnan(d))
        out += "NULL";
    else if (std::isinf(d))
        out += d < 0 ? "-1e999" : "1e999";
    else
        append_float(out, d);
}

// INSERT statements for .dump: `head` (the statement up to its values'
// opening parenthesis) and the row's values, each written as `shape` says:
// 'q' a literal the server quoted (a str, written as it is); 'r' a float or
// None, a REAL value exactly when a float, followed by the 'q' slot that
// holds the value's literal when it is not REAL.
PyObject* insert_lines(PyObject*, PyObject* args) {
    PyObject *rows_arg, *head_arg;
    const char* shape;
    if (!PyArg_ParseTuple(args, "OUs:insert_lines", &rows_arg, &head_arg, &shape)) return nullptr;
    const size_t width = strlen(shape);
    const char *head, *data;
    Py_ssize_t head_size, size, chars;
    if (!utf8_of(head_arg, &head, &head_size, &chars)) return nullptr;
    Ref rows(PySequence_Fast(rows_arg, "rows must be a sequence"));
    if (!rows) return nullptr;
    std::string out;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows.get()); ++i) {
        Ref row(PySequence_Fast(PySequence_Fast_GET_ITEM(rows.get(), i), "a row must be a sequence"));
        if (!row) return nullptr;
        if (static_cast<size_t>(PySequence_Fast_GET_SIZE(row.get())) != width) {
            PyErr_Format(PyExc_ValueError, "row %zd has %zd values, not %zu", i, PySequence_Fast_GET_SIZE(row.get()),
                         width);
            return nullptr;
        }
        PyObject** values = PySequence_Fast_ITEMS(row.get());
        out.append(head, static_cast<size_t>(head_size));
        for (size_t j = 0; j < width; ++j) {
            if (j) out += ',';
            PyObject* v = values[j];
            if (shape[j] == 'r' && j + 1 < width) {
                if (PyFloat_Check(v)) {
                    append_sql_float(out, PyFloat_AS_DOUBLE(v));
                    ++j;
                    continue;
                }
                v = values[++j];
            }
            if (!PyUnicode_Check(v)) {
                PyErr_Format(PyExc_TypeError, "row %zd, value %zu: a quoted literal (str) expected", i, j);
                return nullptr;
            }
            if (!utf8_of(v, &data, &size, &chars)) return nullptr;
            out.append(data, static_cast<size_t>(size));
        }
        out += ");\n";
    }
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
}

PyMethodDef methods[] = {
    {"table_lines", table_lines, METH_VARARGS, "table_lines(rows, widths, right, text) -> str"},
    {"insert_lines", insert_lines, METH_VARARGS, "insert_lines(rows, head, shape) -> str"},
    {"csv_lines", csv_lines, METH_VARARGS, "csv_lines(rows, ncols, text) -> str"},
    {"csv_rows", csv_rows, METH_VARARGS,
     "csv_rows(data, pos, final, line, kinds, convert, null, bad, limit) -> (rows, lines, pos, line)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_rowtext", "Result rows as the shell's text, and CSV text as rows.", -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__rowtext() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI || !csv_rows_ready()) return nullptr;
    return PyModule_Create(&module_def);
}
