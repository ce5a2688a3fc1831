/* The struct schema of a result's Arrow batches, one child a column. Header
 * only, shared by the library, which builds its batches straight from a
 * backend's values, and the driver, which builds them from records, so the
 * two describe a column alike. */
#ifndef QX_ARROW_SCHEMA_H
#define QX_ARROW_SCHEMA_H

#include <nanoarrow/nanoarrow.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace qx_arrow_schema {

// A column's Arrow type on `child`: a decimal with its precision and scale,
// a timestamp in microseconds, in `zone` where it has one.
inline ArrowErrorCode set_type(ArrowSchema* child, ArrowType t, int32_t precision, int32_t scale, const char* zone) {
    if (t == NANOARROW_TYPE_DECIMAL128) return ArrowSchemaSetTypeDecimal(child, t, precision, scale);
    if (t == NANOARROW_TYPE_TIMESTAMP) return ArrowSchemaSetTypeDateTime(child, t, NANOARROW_TIME_UNIT_MICRO, zone);
    return ArrowSchemaSetType(child, t);
}

template <class T>
const T& column_of(const T& c) { return c; }
template <class T>
const T& column_of(const std::unique_ptr<T>& c) { return *c; }

// `out` as a struct of `cols`, each named by its `name` and typed by
// type_of(col, child); a nanoarrow code, out released on failure.
template <class Col, class TypeOf>
ArrowErrorCode struct_schema(ArrowSchema* out, const std::vector<Col>& cols, TypeOf type_of) {
    ArrowSchemaInit(out);
    ArrowErrorCode rc = ArrowSchemaSetTypeStruct(out, static_cast<int64_t>(cols.size()));
    for (size_t k = 0; rc == NANOARROW_OK && k < cols.size(); ++k) {
        rc = type_of(column_of(cols[k]), out->children[k]);
        if (rc == NANOARROW_OK) rc = ArrowSchemaSetName(out->children[k], column_of(cols[k]).name.c_str());
    }
    if (rc != NANOARROW_OK) out->release(out);
    return rc;
}

}  // namespace qx_arrow_schema

#endif
