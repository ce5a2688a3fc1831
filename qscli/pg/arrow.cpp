// libpq's results as Arrow arrays (see arrow.h). Values decode as the
// records would decode them (decode_value), then go to their column's
// Arrow builder; dates, timestamps and numerics of a declared precision are
// read from the server's text by the driver's own rules (server_text.h).
#include "arrow.h"

#include "../../src/pyqivrexdb/qxcore/client/server_text.h"

#include <nanoarrow/nanoarrow.h>

namespace qse {
namespace pg {

namespace st = qx_server_text;

struct ArrowBatch::Col {
    MappedColumn col;
    std::string name;
    st::ColumnKind kind;
    std::string scratch;
};

namespace {

// The nanoarrow type of a kind; UNINITIALIZED for none.
ArrowType arrow_type(st::Kind k) {
    switch (k) {
    case st::Kind::Utf8: return NANOARROW_TYPE_STRING;
    case st::Kind::Binary: return NANOARROW_TYPE_BINARY;
    case st::Kind::Bool: return NANOARROW_TYPE_BOOL;
    case st::Kind::UInt8: return NANOARROW_TYPE_UINT8;
    case st::Kind::Int16: return NANOARROW_TYPE_INT16;
    case st::Kind::UInt16: return NANOARROW_TYPE_UINT16;
    case st::Kind::Int32: return NANOARROW_TYPE_INT32;
    case st::Kind::UInt32: return NANOARROW_TYPE_UINT32;
    case st::Kind::Int64: return NANOARROW_TYPE_INT64;
    case st::Kind::Float32: return NANOARROW_TYPE_FLOAT;
    case st::Kind::Float64: return NANOARROW_TYPE_DOUBLE;
    case st::Kind::Date32:
    case st::Kind::DateText: return NANOARROW_TYPE_DATE32;
    case st::Kind::Decimal128: return NANOARROW_TYPE_DECIMAL128;
    case st::Kind::Timestamp:
    case st::Kind::TimestampTz: return NANOARROW_TYPE_TIMESTAMP;
    default: return NANOARROW_TYPE_UNINITIALIZED;
    }
}

// The value of one field into its builder; false with *why when its type
// does not take it.
bool append(ArrowArray* a, ArrowBatch::Col& c, const char* p, size_t n, std::string* why, size_t* bytes) {
    const std::string_view text(p, n);
    auto refuse = [&](const char* as) {
        *why = "column " + c.name + ": " + std::string(text) + " has no Arrow " + as;
        return false;
    };
    int rc = NANOARROW_OK;
    switch (c.kind.kind) {
    case st::Kind::DateText:
    case st::Kind::Date32: {
        int64_t days;
        if (!st::date_days(text, &days) || days < INT32_MIN || days > INT32_MAX) return refuse("date32");
        rc = ArrowArrayAppendInt(a, days);
        *bytes += 4;
        break;
    }
    case st::Kind::Timestamp:
    case st::Kind::TimestampTz: {
        int64_t micros;
        if (!st::timestamp_micros(text, c.kind.kind == st::Kind::TimestampTz, &micros)) return refuse("timestamp");
        rc = ArrowArrayAppendInt(a, micros);
        *bytes += 8;
        break;
    }
    case st::Kind::Decimal128: {
        st::Words128 v;
        if (!st::decimal_scaled(text, c.kind.scale, &v)) return refuse("decimal128");
        ArrowDecimal d;
        ArrowDecimalInit(&d, 128, c.kind.precision, c.kind.scale);
        d.words[d.low_word_index] = v.lo;
        d.words[d.high_word_index] = v.hi;
        rc = ArrowArrayAppendDecimal(a, &d);
        *bytes += 16;
        break;
    }
    default: {
        Value v;
        if (!decode_value(c.col, p, n, v, c.scratch, why)) {
            *why = "column " + c.name + ": " + *why;
            return false;
        }
        switch (v.kind) {
        case VKind::Int:
            rc = ArrowArrayAppendInt(a, v.i);
            *bytes += 8;
            break;
        case VKind::Float:
            rc = ArrowArrayAppendDouble(a, v.d);
            *bytes += 8;
            break;
        default: {
            ArrowBufferView view;
            view.data.data = v.p;
            view.size_bytes = static_cast<int64_t>(v.n);
            rc = ArrowArrayAppendBytes(a, view);
            *bytes += v.n + 4;
        }
        }
    }
    }
    if (rc != NANOARROW_OK) {
        *why = "column " + c.name + ": " + std::string(text) + " does not fit its Arrow type";
        return false;
    }
    return true;
}

}  // namespace

ArrowBatch::ArrowBatch(const std::vector<MappedColumn>& cols, const std::vector<std::string>& names, std::string_view zone)
    : zone_(st::arrow_zone(zone)) {
    cols_.resize(cols.size());
    for (size_t k = 0; k < cols.size(); ++k) {
        Col& c = cols_[k];
        c.col = cols[k];
        c.name = k < names.size() ? names[k] : std::to_string(k + 1);
        c.kind = st::column_kind(c.col.type, c.col.oid, c.col.mod);
        usable_ = usable_ && arrow_type(c.kind.kind) != NANOARROW_TYPE_UNINITIALIZED && !c.col.infer_int;
    }
}

ArrowBatch::~ArrowBatch() = default;

int ArrowBatch::schema(ArrowSchema* out) const {
    // A timestamptz is an instant, shown in the session's zone as the rows
    // show it (and the driver's own batches of the same result).
    return schema_code(struct_schema(out, cols_, [this](const Col& c, ArrowSchema* child) {
        const char* zone = c.kind.kind == st::Kind::TimestampTz ? zone_.c_str() : nullptr;
        return qx_arrow_schema::set_type(child, arrow_type(c.kind.kind), c.kind.precision, c.kind.scale, zone);
    }));
}

int ArrowBatch::begin(int64_t rows) {
    if (building_) return 0;
    ArrowSchema s;
    if (int rc = schema(&s)) return rc;
    return begin_batch(&s, rows, &building_);
}

int ArrowBatch::add(const pq::Api& pq, const pq::PGresult* res, int from, int count, std::string* why) {
    if (int rc = begin(count)) return rc;
    for (size_t k = 0; k < cols_.size(); ++k) {
        ArrowArray* a = building_->children[k];
        const int col = static_cast<int>(k);
        for (int r = from; r < from + count; ++r) {
            if (pq.PQgetisnull(res, r, col)) {
                if (ArrowArrayAppendNull(a, 1) != NANOARROW_OK) return QSCLI_E_NOMEM;
                continue;
            }
            const char* p = pq.PQgetvalue(res, r, col);
            const size_t n = static_cast<size_t>(pq.PQgetlength(res, r, col));
            if (!append(a, cols_[k], p, n, why, &bytes_)) return QSCLI_E_MISMATCH;
        }
    }
    rows_ += count;
    return 0;
}

int ArrowBatch::finish(ArrowArray* out) {
    const int64_t rows = rows_;
    rows_ = 0;
    bytes_ = 0;
    return finish_batch(&building_, rows, out);
}

}  // namespace pg
}  // namespace qse
