// A table's layout, read from the structure query's records into the Field
// list the loader resolves, and kept per connection handle.
#include "table_layout.h"

#include "../client/calls.h"
#include "../client/loader.h"
#include "../connection/connection.h"
#include "../values/field.h"
#include "../cursor/lexer.h"
#include "../cursor/standard_cursor.h"
#include "../client/causes.h"
#include "../base/common.h"
#include "../client/cp866.h"

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

// A new Field of one row of the structure query, its slots set directly.
Ref field_of_row(PyObject* row, Ref* len) {
    Ref field(PyObject_CallObject(reinterpret_cast<PyObject*>(&FieldType), nullptr));
    if (!field) return Ref();
    static const FieldSlot slots[] = {F_ASNAME, F_TYPE, F_LEN};
    for (int k = 0; k < 3; ++k) {
        Ref key(PyLong_FromLong(2 + k));
        Ref value(key ? PyObject_GetItem(row, key.get()) : nullptr);
        if (!value) return Ref();
        PyObject*& slot = reinterpret_cast<FieldObject*>(field.get())->slot[slots[k]];
        if (k == 2) *len = Ref::borrow(value.get());
        replace_field(slot, value.release());
    }
    return field;
}

// (name, type_code, size, declared type or None) of one row.
Ref described_row(PyObject* row) {
    Ref seq(PySequence_Tuple(row));
    if (!seq) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n < 5) {
        raise_message("ProgrammingError", "the table's structure query gave a row of fewer than five values");
        return Ref();
    }
    PyObject* declared = n > 6 ? PyTuple_GET_ITEM(seq.get(), 6) : Py_None;
    return Ref(PyTuple_Pack(4, PyTuple_GET_ITEM(seq.get(), 2), PyTuple_GET_ITEM(seq.get(), 3),
                            PyTuple_GET_ITEM(seq.get(), 4), declared));
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

// Runs the structure query on a standard cursor of our own; the rows, or
// null with the standard face's exception set.
Ref structure_rows(ConnectionObject* conn, PyObject* table) {
    Ref query = layout_query(table);
    const char* sql = nullptr;
    Ref text = query ? library_text(query.get(), &sql) : Ref();
    if (!text) return Ref();
    Ref cur(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&StandardCursorType),
                                         reinterpret_cast<PyObject*>(conn), nullptr));
    if (!cur) return Ref();
    auto* c = reinterpret_cast<StandardCursorObject*>(cur.get());
    // 64-bit and numeric fields read in a form of their own only when the
    // connection's loads take them so; otherwise they stay DFLT.
    for (unsigned attr : kLoadForms) {
        if (set_load_form(conn, attr, true)) {
            set_load_form(conn, attr, false);
        } else {
            const int32_t hstmt = c->base.stmt_handle;
            quick_call(c->base.lock, [&] { return qc.qcSqlSetStmtAttr(hstmt, attr, nullptr, 0); });
        }
    }
    Ref rows;
    if (standard_run(c, sql) == 0) {
        if (!is_records(c->base.results)) {
            raise_message("ProgrammingError", "the table's structure query gave no result set");
        } else {
            rows = Ref(PyList_New(0));
            if (rows && records_take(c->base.results, rows.get(), -1) < 0) rows.reset();
        }
    }
    SetAside keep;
    Ref closed(cursor_close(cur.get(), nullptr));
    if (!closed) cursor_release(cur.get());
    PyErr_Clear();
    return rows;
}

}  // namespace

Ref layout_query(PyObject* table) {
    Ref name(PyObject_Str(table));
    Ref quote(PyUnicode_FromString("\"")), doubled(PyUnicode_FromString("\"\""));
    if (!name || !quote || !doubled) return Ref();
    Ref inner(PyUnicode_Replace(name.get(), quote.get(), doubled.get(), -1));
    return inner ? Ref(PyUnicode_FromFormat("select * from QXTBLSTRUCT(\"%U\");", inner.get())) : Ref();
}

int layout_from_rows(PyObject* rows, TableLayout* out, bool describe) {
    Ref seq(PySequence_List(rows));
    if (!seq) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(seq.get());
    Ref fields(PyList_New(0));
    Ref described(PyTuple_New(describe ? n : 0));
    Ref total(PyLong_FromLong(0));
    if (!fields || !described || !total) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GET_ITEM(seq.get(), i);
        Ref len;
        Ref field = field_of_row(row, &len);
        if (!field || PyList_Append(fields.get(), field.get()) < 0) return -1;
        Ref sum(PyNumber_Add(total.get(), len.get()));
        if (!sum) return -1;
        total = std::move(sum);
        if (describe) {
            Ref item = described_row(row);
            if (!item) return -1;
            PyTuple_SET_ITEM(described.get(), i, item.release());
        }
    }
    out->fields = std::move(fields);
    out->described = std::move(described);
    out->record_length = std::move(total);
    return 0;
}

int table_layout(ConnectionObject* conn, PyObject* table, TableLayout* out) {
    const char* name = nullptr;
    Ref key = library_text(table, &name);
    if (!key) return -1;
    Ref bytes(PyBytes_FromString(name));
    if (!bytes) return -1;
    auto& layouts = kept_layouts();
    auto found = layouts.find(conn->hdb);
    if (found != layouts.end()) {
        PyObject* entry = PyDict_GetItemWithError(found->second.dict, bytes.get());
        if (entry) {
            out->fields = Ref::borrow(PyTuple_GET_ITEM(entry, 0));
            out->described = Ref::borrow(PyTuple_GET_ITEM(entry, 1));
            out->record_length = Ref::borrow(PyTuple_GET_ITEM(entry, 2));
            return 0;
        }
        if (PyErr_Occurred()) return -1;
    }
    Ref rows = structure_rows(conn, table);
    if (!rows || layout_from_rows(rows.get(), out, true) < 0) return -1;
    Ref entry(PyTuple_Pack(3, out->fields.get(), out->described.get(), out->record_length.get()));
    if (!entry) return -1;
    // Looked up again: the query may have run code that closed the
    // connection or changed its layouts.
    if (!conn->is_connected) return 0;
    Kept& kept = layouts[conn->hdb];
    if (!kept.dict && !(kept.dict = PyDict_New())) return layouts.erase(conn->hdb), -1;
    kept.dialect = conn->dialect;
    return PyDict_SetItem(kept.dict, bytes.get(), entry.get());
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

PyObject* table_layout_fn(PyObject*, PyObject* args) {
    PyObject* connection;
    PyObject* table;
    if (!PyArg_ParseTuple(args, "O!U:table_layout", &ConnectionType, &connection, &table)) return nullptr;
    auto* conn = reinterpret_cast<ConnectionObject*>(connection);
    if (!conn->is_connected) return raise_message("ProgrammingError", "the connection is closed");
    TextScope text(conn->text_utf8);
    TableLayout layout;
    if (table_layout(conn, table, &layout) < 0) return nullptr;
    return PySequence_List(layout.described.get());
}

}  // namespace qx
