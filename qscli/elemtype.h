// Element types: how a declared SQL type maps onto a field of a record.
#pragma once

#include "qscli_api.h"
#include "text.h"

#include <cstddef>
#include <cstdint>

namespace qse {

// How a declared SQL type maps onto an element type. `var` marks CHAR and
// ARRA columns without a length (TEXT, BLOB): their width follows the data
// in a result set. `infer` marks no or an unknown declared type: the column
// takes its type from its values.
struct ElemType {
    int type = QSCLI_ET_CHAR;
    uint32_t len = 0;
    bool var = false;
    bool infer = false;
    bool int64 = false;  // a 64-bit integer type: QSCLI_ET_INT64 when asked for
};
ElemType map_decltype(const char* decl);
// Width of a table column in a record: a variable CHAR/ARRA column (or one
// of unknown type) loads through a field of this many bytes.
constexpr uint32_t TABLE_VAR_WIDTH = 255;
// The bytes of a field of `type` declared `len` wide: a CHAR's len counts
// characters, so its field takes as many bytes as they may need at the
// boundary (char_field_bytes).
inline uint32_t field_width(int type, uint32_t len) { return type == QSCLI_ET_CHAR ? char_field_bytes(len) : len; }
inline uint32_t table_width(const ElemType& e) {
    return (e.var || e.infer) ? TABLE_VAR_WIDTH : field_width(e.type, e.len);
}
inline int table_type(const ElemType& e) { return e.infer ? QSCLI_ET_CHAR : e.type; }
// The element types beyond the twelve that a caller asked a table's fields in
// (QXTBLSTRUCT, qcSqlAddRecords).
struct FieldForms {
    bool int64 = false;    // 64-bit integers as QSCLI_ET_INT64 (QSCLI_ATTR_INT64)
    bool decimal = false;  // exact numbers as QSCLI_ET_DECIMAL text (QSCLI_ATTR_SERVER_TYPES)
    bool operator==(const FieldForms& o) const { return int64 == o.int64 && decimal == o.decimal; }
    bool operator!=(const FieldForms& o) const { return !(*this == o); }
};
const char* type_name(int type);
uint32_t natural_width(int type);  // 0 for CHAR/ARRA
// An explicit `as TYPE` of a return statement; false when `name` is no type.
bool parse_type_name(const char* name, size_t n, ElemType* out);

// The range a write of each integer element type keeps to (low == high for
// the other types), from the one table in qscli.h: reads take every bit
// pattern, writes leave out the patterns that read as NULL.
#define QSE_WRITE_LOW(name, code, width, low, high) low,
#define QSE_WRITE_HIGH(name, code, width, low, high) high,
inline constexpr int64_t kWriteLow[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QSE_WRITE_LOW)};
inline constexpr int64_t kWriteHigh[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QSE_WRITE_HIGH)};
#undef QSE_WRITE_LOW
#undef QSE_WRITE_HIGH

}  // namespace qse
