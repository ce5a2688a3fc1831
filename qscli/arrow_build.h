// What every backend's Arrow batches share (qcSqlReadArrow): the struct
// schema of the result's columns, a batch begun from it on pages of its own
// (arrow_pages.h) and the batch handed over. What goes in is the backend's.
#pragma once

#include "qscli_api.h"
#include "../src/pyqivrexdb/qxcore/client/arrow_schema.h"

#include <nanoarrow/nanoarrow.h>

#include <cerrno>
#include <memory>

namespace qse {

using qx_arrow_schema::struct_schema;

// A batch being built, released with its buffers unless handed over.
struct ReleaseArray {
    void operator()(ArrowArray* a) const;
};
using Building = std::unique_ptr<ArrowArray, ReleaseArray>;

// The library's codes for a schema not made (struct_schema): QSCLI_E_UNSUPPORTED
// for EINVAL, a column without an Arrow type; QSCLI_E_NOMEM for the rest.
inline int schema_code(int rc) {
    return rc == NANOARROW_OK ? 0 : rc == EINVAL ? QSCLI_E_UNSUPPORTED : QSCLI_E_NOMEM;
}

// A batch of `schema`'s columns (released here) begun in *building with
// room for `rows` rows of its fixed-width buffers; 0 or QSCLI_E_NOMEM.
int begin_batch(ArrowSchema* schema, int64_t rows, Building* building);

// The batch of `rows` rows moved into `out` (left released where none was
// begun), *building left empty; 0 or QSCLI_E_NOMEM (out released).
int finish_batch(Building* building, int64_t rows, ArrowArray* out);

}  // namespace qse
