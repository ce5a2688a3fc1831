// The writers of result columns, one per element type (see columns.h).
#include "columns.h"

#include "../client/arrow_schema.h"
#include "../client/calls.h"
#include "../client/cp866_table.h"
#include "../client/loader.h"
#include "../client/server_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

namespace qx::arrow {

Buffer::~Buffer() { std::free(data); }

bool Buffer::reserve(size_t more) {
    if (size + more <= capacity) return true;
    size_t want = capacity ? capacity * 2 : 4096;
    while (want < size + more) want *= 2;
    auto* grown = static_cast<unsigned char*>(std::realloc(data, want));
    if (!grown) return false;
    data = grown;
    capacity = want;
    return true;
}

unsigned char* Buffer::take() {
    // An empty buffer is still a buffer: consumers read its address.
    unsigned char* out = data ? data : static_cast<unsigned char*>(std::malloc(1));
    data = nullptr;
    size = capacity = 0;
    return out;
}

namespace {

bool is_null(const RecordBlock& b, const unsigned char* rec, uint32_t index) {
    return b.flags_at >= 0 && (rec[b.flags_at + (index >> 3)] >> (index & 7) & 1);
}

// Marks the validity of the next `count` rows from `start`; the bitmap
// grows with the rows, a set bit a value.
bool grow_validity(ColumnWriter& w, int64_t start, uint32_t count) {
    const size_t need = static_cast<size_t>((start + count + 7) / 8);
    if (need > w.validity.size) {
        if (!w.validity.reserve(need - w.validity.size)) return false;
        std::memset(w.validity.data + w.validity.size, 0, need - w.validity.size);
        w.validity.size = need;
    }
    return true;
}

void set_valid(ColumnWriter& w, int64_t row) { w.validity.data[row >> 3] |= static_cast<unsigned char>(1u << (row & 7)); }

// A fixed-width number: the field's bytes (little-endian, the record's
// order; a field shorter than the type has its high bytes 0) copied or cast.
template <typename From, typename To>
bool append_number(ColumnWriter& w, const RecordBlock& b, uint32_t offset, uint32_t) {
    const int64_t start = static_cast<int64_t>(w.values.size / sizeof(To));
    if (!w.values.reserve(b.count * sizeof(To)) || !grow_validity(w, start, b.count)) return false;
    const uint32_t len = (*b.columns)[w.index].len;
    const uint32_t n = len < sizeof(From) ? len : sizeof(From);
    auto* out = reinterpret_cast<To*>(w.values.data + w.values.size);
    const unsigned char* rec = b.first;
    for (uint32_t i = 0; i < b.count; ++i, rec += b.rec_size) {
        From v{};
        if (is_null(b, rec, w.index)) {
            ++w.nulls;
        } else {
            std::memcpy(&v, rec + offset, n);
            set_valid(w, start + i);
        }
        out[i] = static_cast<To>(v);
    }
    w.values.size += b.count * sizeof(To);
    return true;
}

namespace st = qx_server_text;

// A DATE: the library unpacks it, as for the row path; 0 is no date (NULL).
bool append_date(ColumnWriter& w, const RecordBlock& b, uint32_t offset, uint32_t) {
    const int64_t start = static_cast<int64_t>(w.values.size / 4);
    if (!w.values.reserve(b.count * 4) || !grow_validity(w, start, b.count)) return false;
    auto* out = reinterpret_cast<int32_t*>(w.values.data + w.values.size);
    const unsigned char* rec = b.first;
    uint16_t last = 0;
    int32_t last_days = 0;
    for (uint32_t i = 0; i < b.count; ++i, rec += b.rec_size) {
        const uint16_t packed = static_cast<uint16_t>(rec[offset] | rec[offset + 1] << 8);
        out[i] = 0;
        if (packed == 0 || is_null(b, rec, w.index)) {
            ++w.nulls;
            continue;
        }
        if (packed != last) {
            unsigned int day = 0, month = 0, year = 0;
            quick_call(HeldLock(0).get(), [&] { return qc.qcSqlUnpackDate(packed, &day, &month, &year); });
            last = packed;
            last_days = static_cast<int32_t>(st::days_from_civil(year, month, day));
        }
        out[i] = last_days;
        set_valid(w, start + i);
    }
    w.values.size += b.count * 4;
    return true;
}

// Appends the next offset (the data's size now); false past int32.
bool end_value(ColumnWriter& w, int32_t* offsets, uint32_t i) {
    if (w.bytes.size > INT32_MAX) return false;
    offsets[i + 1] = static_cast<int32_t>(w.bytes.size);
    return true;
}

// Starts a run of `count` values of variable width: their offsets (the
// first batch's leading 0 written), *start the run's first row and room in
// the validity for it; null when out of memory.
int32_t* open_offsets(ColumnWriter& w, uint32_t count, int64_t* start) {
    *start = static_cast<int64_t>(w.values.size ? w.values.size / 4 - 1 : 0);
    if (!grow_validity(w, *start, count)) return nullptr;
    if (w.values.size == 0) {
        if (!w.values.reserve(4)) return nullptr;
        std::memset(w.values.data, 0, 4);
        w.values.size = 4;
    }
    if (!w.values.reserve(count * 4u)) return nullptr;
    return reinterpret_cast<int32_t*>(w.values.data + w.values.size) - 1;
}

// CHAR: the text before the field's first NUL, CP866 made UTF-8.
bool append_text(ColumnWriter& w, const RecordBlock& b, uint32_t offset, uint32_t) {
    int64_t start;
    int32_t* offsets = open_offsets(w, b.count, &start);
    if (!offsets) return false;
    const uint32_t len = (*b.columns)[w.index].len;
    const unsigned char* rec = b.first;
    for (uint32_t i = 0; i < b.count; ++i, rec += b.rec_size) {
        if (is_null(b, rec, w.index)) {
            ++w.nulls;
        } else {
            const unsigned char* p = rec + offset;
            const void* zero = std::memchr(p, 0, len);
            const uint32_t n = zero ? static_cast<uint32_t>(static_cast<const unsigned char*>(zero) - p) : len;
            if (!w.bytes.reserve(static_cast<size_t>(n) * 3)) return false;
            unsigned char* out = w.bytes.data + w.bytes.size;
            if (w.utf8 && n) {  // the library checked it on the way in (an empty
                std::memcpy(out, p, n);  // text may leave the buffer unallocated)
                out += n;
            }
            for (uint32_t k = 0; k < n && !w.utf8; ++k) {
                const unsigned char c = p[k];
                if (c < 0x80) {
                    *out++ = c;
                    continue;
                }
                const uint16_t u = QSCLI_CP866_HIGH[c - 0x80];
                if (u < 0x800) {
                    *out++ = static_cast<unsigned char>(0xC0 | u >> 6);
                } else {
                    *out++ = static_cast<unsigned char>(0xE0 | u >> 12);
                    *out++ = static_cast<unsigned char>(0x80 | (u >> 6 & 0x3F));
                }
                *out++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
            }
            w.bytes.size = static_cast<size_t>(out - w.bytes.data);
            set_valid(w, start + i);
        }
        if (!end_value(w, offsets, i)) return false;
    }
    w.values.size += b.count * 4u;
    return true;
}

// The text of a CHAR field (up to its NUL), as a server wrote it.
std::string_view field_text(const RecordBlock& b, const unsigned char* rec, uint32_t offset, uint32_t index) {
    const uint32_t len = (*b.columns)[index].len;
    const unsigned char* p = rec + offset;
    const void* zero = std::memchr(p, 0, len);
    return {reinterpret_cast<const char*>(p), zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - p) : len};
}

bool refuse_text(const ColumnWriter& w, std::string_view text, const char* as) {
    const std::string said = "column " + w.name + ": " + std::string(text) + " has no Arrow " + as;
    Ref message(PyUnicode_DecodeUTF8(said.data(), static_cast<Py_ssize_t>(said.size()), "replace"));
    if (message) raise_object("DataError", message.get());
    return false;
}

// A value the server wrote as text into its `out`, Width bytes; false for
// text its column's Arrow type has no value for.
using Parse = bool (*)(const ColumnWriter& w, std::string_view text, unsigned char* out);

// Values the server wrote as text, each parsed into its Width bytes of the
// values buffer (0 for a NULL).
template <size_t Width, Parse parse>
bool append_parsed(ColumnWriter& w, const RecordBlock& b, uint32_t offset, uint32_t) {
    const int64_t start = static_cast<int64_t>(w.values.size / Width);
    if (!w.values.reserve(b.count * Width) || !grow_validity(w, start, b.count)) return false;
    unsigned char* out = w.values.data + w.values.size;
    const unsigned char* rec = b.first;
    for (uint32_t i = 0; i < b.count; ++i, rec += b.rec_size, out += Width) {
        std::memset(out, 0, Width);
        if (is_null(b, rec, w.index)) {
            ++w.nulls;
            continue;
        }
        const std::string_view text = field_text(b, rec, offset, w.index);
        if (!parse(w, text, out)) return refuse_text(w, text, ArrowTypeString(w.arrow_type));
        set_valid(w, start + i);
    }
    w.values.size += b.count * Width;
    return true;
}

// A PostgreSQL date (ISO, "YYYY-MM-DD"; a year before 1 or "infinity" has
// no date32 a reader would take for it).
bool parse_date(const ColumnWriter&, std::string_view text, unsigned char* out) {
    int64_t days = 0;
    if (!st::date_days(text, &days) || days < INT32_MIN || days > INT32_MAX) return false;
    const int32_t day = static_cast<int32_t>(days);
    std::memcpy(out, &day, 4);
    return true;
}

// A PostgreSQL numeric(p, s) as decimal128(p, s): the digits as one integer
// scaled by 10^s, little-endian two's complement.
bool parse_decimal(const ColumnWriter& w, std::string_view text, unsigned char* out) {
    st::Words128 v;
    if (!st::decimal_scaled(text, w.scale, &v)) return false;
    for (int byte = 0; byte < 8; ++byte) {
        out[byte] = static_cast<unsigned char>(v.lo >> (8 * byte));
        out[8 + byte] = static_cast<unsigned char>(v.hi >> (8 * byte));
    }
    return true;
}

// A PostgreSQL timestamp (timestamptz: with its offset) as microseconds
// since 1970-01-01 UTC.
template <bool Zoned>
bool parse_timestamp(const ColumnWriter&, std::string_view text, unsigned char* out) {
    int64_t micros;
    if (!st::timestamp_micros(text, Zoned, &micros)) return false;
    std::memcpy(out, &micros, 8);
    return true;
}

// A boolean's BYTE (0 or 1) as a bit; w.bits counts the rows written.
bool append_bool(ColumnWriter& w, const RecordBlock& b, uint32_t offset, uint32_t) {
    const int64_t start = w.bits;
    const size_t need = static_cast<size_t>((start + b.count + 7) / 8);
    if (need > w.values.size) {
        if (!w.values.reserve(need - w.values.size)) return false;
        std::memset(w.values.data + w.values.size, 0, need - w.values.size);
        w.values.size = need;
    }
    if (!grow_validity(w, start, b.count)) return false;
    const unsigned char* rec = b.first;
    for (uint32_t i = 0; i < b.count; ++i, rec += b.rec_size) {
        const int64_t row = start + i;
        if (is_null(b, rec, w.index)) {
            ++w.nulls;
            continue;
        }
        if (rec[offset]) w.values.data[row >> 3] |= static_cast<unsigned char>(1u << (row & 7));
        set_valid(w, row);
    }
    w.bits += b.count;
    return true;
}

// ARRA: the value's bytes as its length gives them (never more than the
// field), or the whole field from a library without lengths.
bool append_binary(ColumnWriter& w, const RecordBlock& b, uint32_t offset, uint32_t arra) {
    int64_t start;
    int32_t* offsets = open_offsets(w, b.count, &start);
    if (!offsets) return false;
    const uint32_t len = (*b.columns)[w.index].len;
    const unsigned char* rec = b.first;
    for (uint32_t i = 0; i < b.count; ++i, rec += b.rec_size) {
        if (is_null(b, rec, w.index)) {
            ++w.nulls;
        } else {
            uint32_t n = len;
            if (b.lengths_at >= 0) {
                const unsigned char* l = rec + b.lengths_at + 4 * arra;
                const uint32_t given = l[0] | l[1] << 8 | l[2] << 16 | static_cast<uint32_t>(l[3]) << 24;
                if (given < n) n = given;
            }
            if (!w.bytes.reserve(n)) return false;
            if (n) std::memcpy(w.bytes.data + w.bytes.size, rec + offset, n);  // none: maybe no buffer yet
            w.bytes.size += n;
            set_valid(w, start + i);
        }
        if (!end_value(w, offsets, i)) return false;
    }
    w.values.size += b.count * 4u;
    return true;
}

struct Kind {
    ArrowType type;
    Append append;
};

// The Arrow type and writer of a column of the kind the shared rule gives.
Kind kind_of(st::Kind k) {
    switch (k) {
        case st::Kind::Utf8: return {NANOARROW_TYPE_STRING, append_text};
        case st::Kind::Binary: return {NANOARROW_TYPE_BINARY, append_binary};
        case st::Kind::Bool: return {NANOARROW_TYPE_BOOL, append_bool};
        case st::Kind::UInt8: return {NANOARROW_TYPE_UINT8, append_number<uint8_t, uint8_t>};
        case st::Kind::Int16: return {NANOARROW_TYPE_INT16, append_number<int16_t, int16_t>};
        case st::Kind::UInt16: return {NANOARROW_TYPE_UINT16, append_number<uint16_t, uint16_t>};
        case st::Kind::Int32: return {NANOARROW_TYPE_INT32, append_number<int32_t, int32_t>};
        case st::Kind::UInt32: return {NANOARROW_TYPE_UINT32, append_number<uint32_t, uint32_t>};
        case st::Kind::Int64: return {NANOARROW_TYPE_INT64, append_number<int64_t, int64_t>};
        case st::Kind::Float32: return {NANOARROW_TYPE_FLOAT, append_number<float, float>};
        case st::Kind::Float64: return {NANOARROW_TYPE_DOUBLE, append_number<double, double>};
        case st::Kind::Date32: return {NANOARROW_TYPE_DATE32, append_date};
        case st::Kind::DateText: return {NANOARROW_TYPE_DATE32, append_parsed<4, parse_date>};
        case st::Kind::Decimal128: return {NANOARROW_TYPE_DECIMAL128, append_parsed<16, parse_decimal>};
        case st::Kind::Timestamp: return {NANOARROW_TYPE_TIMESTAMP, append_parsed<8, parse_timestamp<false>>};
        case st::Kind::TimestampTz: return {NANOARROW_TYPE_TIMESTAMP, append_parsed<8, parse_timestamp<true>>};
        default: return {NANOARROW_TYPE_UNINITIALIZED, nullptr};
    }
}

// Moves a filled buffer into slot i of a nanoarrow array (which frees it
// with the same allocator: malloc's).
void move_buffer(ArrowArray* a, int64_t i, Buffer& from) {
    ArrowBuffer b;
    ArrowBufferInit(&b);
    b.size_bytes = b.capacity_bytes = static_cast<int64_t>(from.size);
    b.data = from.take();
    ArrowArraySetBuffer(a, i, &b);
}

}  // namespace

int BatchBuilder::describe(PyObject* description, bool utf8, const std::vector<values::ServerType>& server_types) {
    columns_.clear();
    Ref seq(PySequence_Fast(description, "description must be a sequence"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        Ref name(PySequence_GetItem(item, 0));
        Ref code(name ? PySequence_GetItem(item, 1) : nullptr);
        if (!code) return -1;
        const long type = PyLong_AsLong(code.get());
        if (type == -1 && PyErr_Occurred()) return -1;
        const values::ServerType server = static_cast<size_t>(i) < server_types.size() ? server_types[i]
                                                                                        : values::ServerType{0, -1};
        const st::ColumnKind ck = st::column_kind(static_cast<int>(type), server.oid, server.mod);
        const Kind kind = kind_of(ck.kind);
        if (!kind.append) {
            PyErr_Format(PyExc_TypeError, "column %zd has the element type %ld, which has no Arrow type", i + 1, type);
            return -1;
        }
        Ref text(PyObject_Str(name.get()));
        const char* chars = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!chars) return -1;
        auto w = std::make_unique<ColumnWriter>();
        w->name = chars;
        w->type = static_cast<int>(type);
        w->arrow_type = kind.type;
        w->append = kind.append;
        w->index = static_cast<uint32_t>(i);
        w->utf8 = utf8;
        w->precision = ck.precision;
        w->scale = ck.scale;
        if (ck.kind == st::Kind::TimestampTz) w->zone = "UTC";
        columns_.push_back(std::move(w));
    }
    return 0;
}

int BatchBuilder::add(const RecordBlock& b) {
    if (b.columns->size() != columns_.size()) {
        raise_message("ProgrammingError", "the result's columns changed while it was read");
        return -1;
    }
    uint32_t offset = 0, arra = 0;
    for (size_t k = 0; k < columns_.size(); ++k) {
        const values::ColumnCodec& c = (*b.columns)[k];
        if (c.type != columns_[k]->type) {
            raise_message("ProgrammingError", "the result's columns changed while it was read");
            return -1;
        }
        if (!columns_[k]->append(*columns_[k], b, offset, arra)) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return -1;
        }
        offset += c.len;
        arra += c.type == QSCLI_ET_ARRA;
    }
    rows_ += b.count;
    return 0;
}

void BatchBuilder::show_zone(const std::string& zone) {
    for (auto& w : columns_)
        if (!w->zone.empty()) w->zone = zone;
}

size_t BatchBuilder::bytes() const {
    size_t n = 0;
    for (const auto& w : columns_) n += w->values.size + w->bytes.size;
    return n;
}

int BatchBuilder::schema(ArrowSchema* out) const {
    return qx_arrow_schema::struct_schema(out, columns_, [](const ColumnWriter& w, ArrowSchema* child) {
        return qx_arrow_schema::set_type(child, w.arrow_type, w.precision, w.scale,
                                         w.zone.empty() ? nullptr : w.zone.c_str());
    });
}

bool BatchBuilder::same_types(const ArrowSchema& theirs) const {
    ArrowSchema ours;
    if (schema(&ours) != NANOARROW_OK) return false;
    bool same = theirs.n_children == ours.n_children && std::strcmp(theirs.format, ours.format) == 0;
    for (int64_t k = 0; same && k < ours.n_children; ++k) {
        const char* a = theirs.children[k]->format;
        same = std::strcmp(a, ours.children[k]->format) == 0;
    }
    ours.release(&ours);
    return same;
}

int BatchBuilder::finish(ArrowArray* out, std::string* why) {
    int rc = ArrowArrayInitFromType(out, NANOARROW_TYPE_STRUCT);
    if (rc == NANOARROW_OK) rc = ArrowArrayAllocateChildren(out, static_cast<int64_t>(columns_.size()));
    for (size_t k = 0; rc == NANOARROW_OK && k < columns_.size(); ++k) {
        ColumnWriter& w = *columns_[k];
        ArrowArray* child = out->children[k];
        rc = ArrowArrayInitFromType(child, w.arrow_type);
        if (rc != NANOARROW_OK) break;
        const bool varying = w.arrow_type == NANOARROW_TYPE_STRING || w.arrow_type == NANOARROW_TYPE_BINARY;
        if (varying && w.values.size == 0) {
            // A batch of no rows still has its one offset.
            if (!w.values.reserve(4)) rc = ENOMEM;
            else std::memset(w.values.data, 0, 4), w.values.size = 4;
        }
        if (w.nulls) move_buffer(child, 0, w.validity);
        else w.validity.size = 0;
        move_buffer(child, 1, w.values);
        if (varying) move_buffer(child, 2, w.bytes);
        child->length = rows_;
        child->null_count = w.nulls;
        w.nulls = 0;
        w.bits = 0;
    }
    out->length = rows_;
    rows_ = 0;
    if (rc == NANOARROW_OK) {
        ArrowError error{};
        rc = ArrowArrayFinishBuildingDefault(out, &error);
        if (rc != NANOARROW_OK) *why = error.message;
    }
    if (rc != NANOARROW_OK && out->release) out->release(out);
    return rc;
}

}  // namespace qx::arrow
