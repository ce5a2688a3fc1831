// executemany of a statement off the bulk path, a batch of rows a library
// call: each row's values packed into a record (qcSqlExecRecords) where the
// per-row path would write them into the statement as literals.
#pragma once

#include "cursor.h"

#include <string>
#include <vector>

namespace qx {

namespace values {
struct Classified;
enum class Kind : unsigned char;
}

class RowRecords {
public:
    // For `operation` on cursor `c`; off() when the statement's placeholders
    // are not all `?`.
    RowRecords(CursorObject* c, PyObject* operation, int dialect);
    bool on() const { return text_ && !refused_; }
    // Takes one row's values: 1 taken (run the batch when ready()); 0 the
    // row is not one to pack (run the batch, then the row alone by the
    // per-row path). -1 with an exception set.
    int add(PyObject* params);
    // The batch is full, or the last row taken starts the next one (its
    // values do not fit this one's layout).
    bool ready() const { return full() || carry_row_; }
    // Runs the rows taken, adding the rows they changed to *changes: 1 when
    // they ran, 0 when there were none, -1 with the exception of the failing
    // row's execute set. When the
    // library runs no statement so, on() turns false and the rows taken are
    // moved to *left, for the caller to run one by one.
    int run(long long* changes, std::vector<Ref>* left);

private:
    // A value as it goes into its field.
    struct Staged {
        int kind;  // a Kind
        long long i;
        double d;
        size_t at, n;  // bytes in arena_
    };
    enum Kind { K_NULL, K_INT, K_REAL, K_TEXT, K_BLOB };
    int stage(PyObject* value, Staged* out);
    int stage_text(PyObject* value, Staged* out);
    int stage_iso(PyObject* value, values::Kind kind, Staged* out);
    int stage_decimal(const values::Classified& v, PyObject* value, Staged* out);
    // An element type and a len a field, as qcSqlExecRecords reads them.
    struct TypeLen {
        int type;
        int len;
    };
    void pack(std::string& records, std::vector<TypeLen>& layout) const;
    bool full() const;
    void take(const Staged* row);
    void clear();
    void start_next();

    CursorObject* c_;
    Ref text_;  // the statement in CP866, null when off
    Py_ssize_t marks_ = 0;
    bool refused_ = false;
    bool accepted_ = false;  // the library ran a batch
    std::vector<Ref> rows_;       // the rows taken, for a library that refuses
    std::vector<Staged> values_;  // marks_ a row
    // Each field in this batch: its kind (K_NULL: none yet), its widest text
    // or blob. Vectors of the module's own types only: one of a plain type
    // would be exported from the extension.
    struct Field {
        int kind;
        size_t width;
    };
    std::vector<Field> fields_;
    std::string arena_;
    // The row that starts the next batch, staged.
    Ref carry_row_;
    std::vector<Staged> carry_;
    std::string carry_arena_;
};

}  // namespace qx
