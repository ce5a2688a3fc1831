// A streamed result's rows as Arrow arrays (qcSqlReadArrow), taking turns
// with its records: what was made as records is read as records, the rest
// comes from the source's own Arrow form when it has one.
#pragma once

#include "conn.h"

namespace qse {

// qcSqlReadArrow on st's result (qscli.h): 0, a positive count of records
// to read first, QSCLI_E_UNSUPPORTED, or an error code already reported.
int stream_arrow(Conn* c, Stmt* st, uint64_t start, uint64_t max_rows, uint64_t max_bytes, ArrowSchema* schema,
                 ArrowArray* array, int32_t* rows);

}  // namespace qse
