// A streamed query's rows as Arrow arrays (qcSqlReadArrow), decoded from
// libpq's results straight into Arrow buffers: one builder a column, its
// type chosen once from the column's element type and server type.
#pragma once

#include "arrow_build.h"
#include "session.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

namespace qse {
namespace pg {

class ArrowBatch {
public:
    // For the columns of a query; names in UTF-8. `zone`: the session's time
    // zone as the server names it, which a timestamptz column shows in.
    ArrowBatch(const std::vector<MappedColumn>& cols, const std::vector<std::string>& names, std::string_view zone);
    ~ArrowBatch();
    // Whether every column has an Arrow type here.
    bool usable() const { return usable_; }
    // 0, or QSCLI_E_NOMEM.
    int schema(ArrowSchema* out) const;
    // Appends rows [from, from + count) of `res`; 0, or QSCLI_E_MISMATCH
    // with *why ("column c: ...") for a value its type does not take, or
    // QSCLI_E_NOMEM.
    int add(const pq::Api& pq, const pq::PGresult* res, int from, int count, std::string* why);
    // Starts a batch with room for `rows` rows of the fixed-width buffers (a
    // batch's size is known: its buffers then never grow past it); 0, or
    // QSCLI_E_NOMEM.
    int begin(int64_t rows);
    int64_t rows() const { return rows_; }
    size_t bytes() const { return bytes_; }
    // Moves the rows added into `out`; 0 or QSCLI_E_NOMEM (out released).
    int finish(ArrowArray* out);

    struct Col;  // a column and its builder's rule

private:
    std::vector<Col> cols_;
    Building building_;
    int64_t rows_ = 0;
    size_t bytes_ = 0;
    bool usable_ = true;
    std::string zone_;  // a timestamptz column's Arrow time zone
};

}  // namespace pg
}  // namespace qse
