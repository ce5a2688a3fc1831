// Dictionary-encoded Arrow columns, read through their dictionaries.
#include "dictionary.h"

#include "../base/common.h"

namespace qx::arrow {

namespace {

bool is_index_type(ArrowType type) {
    switch (type) {
        case NANOARROW_TYPE_INT8:
        case NANOARROW_TYPE_INT16:
        case NANOARROW_TYPE_INT32:
        case NANOARROW_TYPE_INT64:
        case NANOARROW_TYPE_UINT8:
        case NANOARROW_TYPE_UINT16:
        case NANOARROW_TYPE_UINT32:
        case NANOARROW_TYPE_UINT64: return true;
        default: return false;
    }
}

}  // namespace

int dictionary_column(const ArrowSchema* c, ColumnReader* column) {
    ArrowError error{};
    ArrowSchemaView index;
    if (ArrowSchemaViewInit(&index, c, &error) != NANOARROW_OK || !is_index_type(index.storage_type))
        return refuse_column(c, "dictionary with indices that are no integers");
    const ArrowSchema* values = c->dictionary;
    if (values->dictionary) return refuse_column(c, "dictionary of dictionaries");
    if (ArrowSchemaViewInit(&column->type, values, &error) != NANOARROW_OK)
        return refuse_column(c, values->format);
    column->read = reader_for(column->type.type);
    if (!column->read) return refuse_column(c, ArrowTypeString(column->type.type));
    column->dictionary = true;
    return 0;
}

const ArrowArrayView* dictionary_value(const ArrowArrayView* v, int64_t* i) {
    const ArrowArrayView* values = v->dictionary;
    // An unsigned index past INT64_MAX reads as negative: outside too.
    const int64_t at = ArrowArrayViewGetIntUnsafe(v, *i);
    if (!values || at < 0 || at >= values->length) {
        Ref text(PyUnicode_FromFormat("a dictionary index %lld is outside its dictionary of %lld values",
                                      static_cast<long long>(at),
                                      static_cast<long long>(values ? values->length : 0)));
        if (text) raise_object("DataError", text.get());
        return nullptr;
    }
    *i = at;
    return ArrowArrayViewIsNull(values, at) ? nullptr : values;
}

}  // namespace qx::arrow
