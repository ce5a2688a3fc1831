// A streamed query's rows on SQLite as Arrow arrays (qcSqlReadArrow): each
// value goes from sqlite3_column_* straight into its column's buffers, with
// no record made. A column's Arrow type and writer are chosen once from its
// element type, as the records' reader chooses them, and a value is checked
// as packing it into a record would check it: both paths give equal values
// and refuse the same ones.
#pragma once

#include "arrow_build.h"
#include "db.h"

#include <memory>
#include <string>
#include <vector>

namespace qse {

class SqliteArrow {
public:
    // For the columns of a streamed result (`cols` as described, variable
    // CHAR and ARRA of len 0; names in UTF-8).
    SqliteArrow(const std::vector<ColStruct_t>& cols, const std::vector<std::string>& names);
    ~SqliteArrow();
    SqliteArrow(const SqliteArrow&) = delete;
    SqliteArrow& operator=(const SqliteArrow&) = delete;
    // 0, or QSCLI_E_NOMEM.
    int schema(ArrowSchema* out) const;
    // Starts a batch with room for `rows` rows of the fixed-width buffers;
    // 0, or QSCLI_E_NOMEM.
    int begin(int64_t rows);
    // Appends the current row of `s`; 0, QSCLI_E_MISMATCH with *why
    // ("column c: ...", the records' words) or QSCLI_E_NOMEM.
    int add(sqlite3_stmt* s, std::string* why);
    int64_t rows() const { return rows_; }
    // The batch's bytes of buffers so far.
    uint64_t bytes() const;
    // Moves the rows added into `out`; 0 or QSCLI_E_NOMEM (out released).
    int finish(ArrowArray* out);

    struct Col;  // a column and its writer

private:
    std::vector<Col> cols_;
    Building building_;
    int64_t rows_ = 0;
    uint64_t bytes_ = 0;      // of the fixed-width buffers and offsets
    uint64_t row_bytes_ = 0;  // the same, a row
};

}  // namespace qse
