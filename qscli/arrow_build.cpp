// The common set-up of the library's Arrow batches (see arrow_build.h).
#include "arrow_build.h"

#include "arrow_pages.h"

namespace qse {

void ReleaseArray::operator()(ArrowArray* a) const {
    if (a->release) a->release(a);
    delete a;
}

int begin_batch(ArrowSchema* schema, int64_t rows, Building* building) {
    building->reset(new ArrowArray());
    ArrowArray* a = building->get();
    int rc = ArrowArrayInitFromSchema(a, schema, nullptr);
    schema->release(schema);
    if (rc == NANOARROW_OK) use_pages(a);
    if (rc == NANOARROW_OK) rc = ArrowArrayStartAppending(a);
    // A result that ends sooner keeps the room unused until the batch goes.
    if (rc == NANOARROW_OK) rc = ArrowArrayReserve(a, rows);
    if (rc == NANOARROW_OK) return 0;
    building->reset();
    return QSCLI_E_NOMEM;
}

int finish_batch(Building* building, int64_t rows, ArrowArray* out) {
    out->release = nullptr;
    if (!*building) return 0;
    ArrowArray* a = building->get();
    a->length = rows;
    const int rc = ArrowArrayFinishBuildingDefault(a, nullptr);
    if (rc == NANOARROW_OK) {
        *out = *a;
        a->release = nullptr;  // out's now
    }
    building->reset();
    return rc == NANOARROW_OK ? 0 : QSCLI_E_NOMEM;
}

}  // namespace qse
