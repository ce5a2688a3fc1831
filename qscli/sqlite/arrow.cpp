// SQLite's values as Arrow arrays (see arrow.h). A fixed-width value is
// packed by the records' own rule (pack_value) into a field and copied from
// there, as the records' reader copies it; the common cases (an integer of a
// 64-bit column, a real of a double one) skip the field. Text and bytes are
// checked as packing checks them and copied as they are.
#include "arrow.h"

#include "arrow_build.h"
#include "dispatch.h"
#include "stream.h"

#include "../../src/pyqivrexdb/qxcore/client/server_text.h"

#include <nanoarrow/nanoarrow.h>

namespace qse {

namespace st = qx_server_text;

using Write = int (*)(SqliteArrow::Col&, const Value&, std::string*);

struct SqliteArrow::Col {
    ColStruct_t desc;
    std::string name;
    ArrowType type = NANOARROW_TYPE_UNINITIALIZED;
    Write write = nullptr;
    unsigned width = 0;  // bytes a value takes in the values buffer; 0: offsets, the value in `data`
    // The batch being built's buffers (set by begin).
    ArrowBitmap* validity = nullptr;
    ArrowBuffer* values = nullptr;
    ArrowBuffer* data = nullptr;
    int64_t nulls = 0;
    // What the last batch took: the next one takes its room at once, so
    // each batch makes the same few allocations, which the allocator
    // gives back for the next instead of growing its heap by the
    // doublings of each.
    int64_t last_data = 0;
    bool last_nulls = false;
};

namespace {

using Col = SqliteArrow::Col;

// 1900-01-01, a DATE field's day 1, counted from 1970-01-01.
constexpr int32_t DAY_ONE = -25567;

int appended(ArrowErrorCode rc) { return rc == NANOARROW_OK ? 0 : QSCLI_E_NOMEM; }

// A value as a record's field of the column's type holds it, copied (a
// field narrower than the Arrow value has its high bytes 0).
int put_packed(Col& c, const Value& v, std::string* why) {
    unsigned char field[8] = {};
    if (pack_value(c.desc.type, c.desc.len, v, field, why)) return QSCLI_E_MISMATCH;
    return appended(ArrowBufferAppend(c.values, field, c.width));
}

int put_int64(Col& c, const Value& v, std::string* why) {
    if (v.kind != VKind::Int) return put_packed(c, v, why);
    return appended(ArrowBufferAppendInt64(c.values, v.i));
}

int put_double(Col& c, const Value& v, std::string* why) {
    if (v.kind != VKind::Float) return put_packed(c, v, why);
    return appended(ArrowBufferAppendDouble(c.values, v.d));
}

int put_date(Col& c, const Value& v, std::string* why) {
    unsigned char field[2] = {};
    if (pack_value(QSCLI_ET_DATE, 2, v, field, why)) return QSCLI_E_MISMATCH;
    const int32_t day = field[0] | field[1] << 8;
    return appended(ArrowBufferAppendInt32(c.values, DAY_ONE + day - 1));
}

// The packer's words for a CHAR or ARRA value it refuses.
int refuse(const Col& c, const Value& v, size_t n, std::string* why) {
    const uint32_t len = c.desc.len ? c.desc.len : static_cast<uint32_t>(n);
    std::vector<unsigned char> room(static_cast<size_t>(len) + 1);
    if (!pack_value(c.desc.type, len, v, room.data(), why)) *why = refusal(v, c.desc.type, "does not fit its column");
    return QSCLI_E_MISMATCH;
}

int put_bytes(Col& c, const unsigned char* p, size_t n, std::string* why) {
    // Offsets are 32-bit; a batch stops short of 1 GiB and a value is at
    // most SQLite's own limit, so only a library built otherwise gets here.
    if (static_cast<uint64_t>(c.data->size_bytes) + n > INT32_MAX) {
        *why = "a batch's values of more than 2147483647 bytes";
        return QSCLI_E_TOOBIG;
    }
    if (n && ArrowBufferAppend(c.data, p, static_cast<int64_t>(n)) != NANOARROW_OK) return QSCLI_E_NOMEM;
    return appended(ArrowBufferAppendInt32(c.values, static_cast<int32_t>(c.data->size_bytes)));
}

// CHAR: text checked as the boundary in UTF-8 takes it, a number as a CHAR
// field shows it; a fixed width holds the bytes.
int put_text(Col& c, const Value& v, std::string* why) {
    char buf[40];
    size_t n = 0;
    const unsigned char* p = field_bytes(v, buf, &n);
    const bool text = v.kind == VKind::Text || v.kind == VKind::Blob;
    if ((c.desc.len && n > c.desc.len) || (text && check_utf8(p, n, 0) != TextStatus::Ok)) return refuse(c, v, n, why);
    return put_bytes(c, p, n, why);
}

// ARRA: the value's bytes, a number's text.
int put_binary(Col& c, const Value& v, std::string* why) {
    char buf[40];
    size_t n = 0;
    const unsigned char* p = field_bytes(v, buf, &n);
    if (c.desc.len && n > c.desc.len) return refuse(c, v, n, why);
    return put_bytes(c, p, n, why);
}

int put_null(Col& c, int64_t row) {
    // The bitmap is made at the first NULL: a column without one has none.
    if (c.nulls++ == 0) {
        if (ArrowBitmapReserve(c.validity, row + 1) != NANOARROW_OK) return QSCLI_E_NOMEM;
        ArrowBitmapAppendUnsafe(c.validity, 1, row);
    }
    if (ArrowBitmapAppend(c.validity, 0, 1) != NANOARROW_OK) return QSCLI_E_NOMEM;
    if (c.width) return appended(ArrowBufferAppendFill(c.values, 0, c.width));
    return appended(ArrowBufferAppendInt32(c.values, static_cast<int32_t>(c.data->size_bytes)));
}

struct ColumnRule {
    ArrowType type;
    Write write;
    unsigned width;
};

// The Arrow type and writer of an element type, by the kinds the records'
// reader gives the engine's columns (no server types there).
ColumnRule rule_of(int element_type) {
    switch (st::column_kind(element_type, 0, 0).kind) {
    case st::Kind::Utf8: return {NANOARROW_TYPE_STRING, put_text, 0};
    case st::Kind::Binary: return {NANOARROW_TYPE_BINARY, put_binary, 0};
    case st::Kind::UInt8: return {NANOARROW_TYPE_UINT8, put_packed, 1};
    case st::Kind::Int16: return {NANOARROW_TYPE_INT16, put_packed, 2};
    case st::Kind::UInt16: return {NANOARROW_TYPE_UINT16, put_packed, 2};
    case st::Kind::Int32: return {NANOARROW_TYPE_INT32, put_packed, 4};
    case st::Kind::UInt32: return {NANOARROW_TYPE_UINT32, put_packed, 4};
    case st::Kind::Int64: return {NANOARROW_TYPE_INT64, put_int64, 8};
    case st::Kind::Float32: return {NANOARROW_TYPE_FLOAT, put_packed, 4};
    case st::Kind::Float64: return {NANOARROW_TYPE_DOUBLE, put_double, 8};
    case st::Kind::Date32: return {NANOARROW_TYPE_DATE32, put_date, 4};
    default: return {NANOARROW_TYPE_UNINITIALIZED, nullptr, 0};
    }
}

}  // namespace

SqliteArrow::SqliteArrow(const std::vector<ColStruct_t>& cols, const std::vector<std::string>& names) {
    cols_.resize(cols.size());
    for (size_t k = 0; k < cols.size(); ++k) {
        Col& c = cols_[k];
        c.desc = cols[k];
        c.name = k < names.size() ? names[k] : std::to_string(k + 1);
        const ColumnRule kind = rule_of(c.desc.type);
        c.type = kind.type;
        c.write = kind.write;
        c.width = kind.width;
        row_bytes_ += kind.width ? kind.width : 4;
    }
}

SqliteArrow::~SqliteArrow() = default;

int SqliteArrow::schema(ArrowSchema* out) const {
    return schema_code(struct_schema(out, cols_, [](const Col& c, ArrowSchema* child) {
        return c.write ? ArrowSchemaSetType(child, c.type) : EINVAL;
    }));
}

int SqliteArrow::begin(int64_t rows) {
    if (building_) return 0;
    ArrowSchema s;
    if (int rc = schema(&s)) return rc;
    if (int rc = begin_batch(&s, rows, &building_)) return rc;
    for (size_t k = 0; k < cols_.size(); ++k) {
        Col& c = cols_[k];
        ArrowArray* child = building_->children[k];
        c.validity = ArrowArrayValidityBitmap(child);
        c.values = ArrowArrayBuffer(child, 1);
        c.data = c.width ? nullptr : ArrowArrayBuffer(child, 2);
        c.nulls = 0;
        if ((c.data && ArrowBufferReserve(c.data, c.last_data) != NANOARROW_OK) ||
            (c.last_nulls && ArrowBitmapReserve(c.validity, rows) != NANOARROW_OK))
            return QSCLI_E_NOMEM;
    }
    return 0;
}

int SqliteArrow::add(sqlite3_stmt* s, std::string* why) {
    Value v;
    for (size_t k = 0; k < cols_.size(); ++k) {
        Col& c = cols_[k];
        fetch(s, static_cast<int>(k), v);
        int rc;
        if (v.kind == VKind::Null) {
            rc = put_null(c, rows_);
        } else {
            rc = c.write(c, v, why);
            if (!rc && c.nulls && ArrowBitmapAppend(c.validity, 1, 1) != NANOARROW_OK) rc = QSCLI_E_NOMEM;
        }
        if (rc) {
            if (rc != QSCLI_E_NOMEM) *why = column_label(c.desc) + *why;
            return rc;
        }
    }
    ++rows_;
    bytes_ += row_bytes_;
    return 0;
}

uint64_t SqliteArrow::bytes() const {
    uint64_t n = bytes_;
    for (const Col& c : cols_)
        if (c.data) n += static_cast<uint64_t>(c.data->size_bytes);
    return n;
}

int SqliteArrow::finish(ArrowArray* out) {
    for (size_t k = 0; building_ && k < cols_.size(); ++k) {
        building_->children[k]->length = rows_;
        building_->children[k]->null_count = cols_[k].nulls;
        cols_[k].last_data = cols_[k].data ? cols_[k].data->size_bytes : 0;
        cols_[k].last_nulls = cols_[k].nulls > 0;
        // A column without NULLs has no bitmap: room taken for one is not
        // one (a consumer would read it).
        if (!cols_[k].nulls) ArrowBitmapReset(cols_[k].validity);
    }
    const int64_t rows = rows_;
    rows_ = 0;
    bytes_ = 0;
    return finish_batch(&building_, rows, out);
}

}  // namespace qse
