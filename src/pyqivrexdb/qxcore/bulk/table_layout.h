// A table's layout: its fields as the structure query describes them. The
// query is spelled once, here; the standard face reads a table's layout once
// per connection and keeps it until a statement may have changed it.
#pragma once

#include "../client/qscli.h"
#include "../base/pending.h"
#include "../base/ref.h"

#include <cstdint>
#include <iterator>

namespace qx {

struct ConnectionObject;

// One table's fields, as the loader and Connection.table_layout() use them.
struct TableLayout {
    Ref fields;     // list of Field (asname, type, len), in field order
    Ref described;  // tuple of (name, type_code, size, declared type or None)
    Ref record_length;  // int: the sum of the lens
};

// The structure query for `table` (str() of it, its double quotes doubled).
Ref layout_query(PyObject* table);

// Fills `out` from the structure query's rows (indexable: table, field
// number, name, type, len[, offset, declared type]); `described` only with
// `describe` (the rows are then sequences of five values at least). 0, or -1
// with an exception set.
int layout_from_rows(PyObject* rows, TableLayout* out, bool describe);

// The layout of `table` (a str) on `conn`, as the standard face reads it
// (64-bit integers as QSCLI_ET_INT64 when the connection loads them so),
// asked of the library only when not known already. 0, or -1 with the
// standard face's exception set.
int table_layout(ConnectionObject* conn, PyObject* table, TableLayout* out);

// What the layouts kept for connection `hdb` no longer hold after:
// forget_layout: the library refused a record of `table` (the encoded name)
// as not of the table's length;
// layouts_see_statement: `sql` ran, and it may have changed a table (any
// statement but queries, row changes, BEGIN, COMMIT and savepoints);
// forget_layouts: the connection closed.
void forget_layout(int hdb, const char* table);
void layouts_see_statement(int hdb, const char* sql);
void forget_layouts(int hdb);

// The forms beyond the twelve types that the standard face's loads take
// fields in, each a connection attribute: QSCLI_ATTR_INT64 (64-bit fields as
// QSCLI_ET_INT64) and QSCLI_ATTR_SERVER_TYPES (numeric ones as
// QSCLI_ET_DECIMAL). The same attributes on a statement ask its QXTBLSTRUCT
// rows for the same forms.
constexpr unsigned kLoadForms[] = {QSCLI_ATTR_INT64, QSCLI_ATTR_SERVER_TYPES};

// Load form `attr` on the connection (qcSqlAddRecords takes such fields so
// while on); true when the library took the setting.
bool set_load_form(ConnectionObject* conn, unsigned attr, bool on);

// The load forms on the connection for one standard load (rows or Arrow
// data): the core face's loads on it pack 64-bit and numeric fields as DFLT.
struct LoadForms {
    ConnectionObject* conn;
    bool on[std::size(kLoadForms)];
    explicit LoadForms(ConnectionObject* c) : conn(c) {
        for (size_t k = 0; k < std::size(kLoadForms); ++k) on[k] = set_load_form(c, kLoadForms[k], true);
    }
    ~LoadForms() {
        SetAside keep;
        for (size_t k = 0; k < std::size(kLoadForms); ++k)
            if (on[k]) set_load_form(conn, kLoadForms[k], false);
    }
};

// pyqivrexdb._qxstandard.table_layout(connection, table) -> a list of
// (name, type_code, size, declared type) tuples, one a field.
PyObject* table_layout_fn(PyObject* module, PyObject* args);

}  // namespace qx
