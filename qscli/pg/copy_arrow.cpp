// qcSqlAddArrow on the server: the rows of an Arrow batch written straight
// into a binary COPY, one batch as qcSqlAddRecords loads one (copy.cpp),
// for the pairs of an Arrow type and a field whose binary form is the
// Arrow value's own: integers into integer fields at least as wide, floats
// into double precision, UTF-8 text into the text types. Any other pair is
// answered QSCLI_E_UNSUPPORTED before anything is sent: the caller then
// sends records.
#include "session.h"

#include <cmath>
#include <cstring>

namespace qse {
namespace pg {

namespace {

enum : pq::Oid { INT8 = 20, INT2 = 21, INT4 = 23, TEXT = 25, FLOAT8 = 701, BPCHAR = 1042, VARCHAR = 1043 };

// How an Arrow column's value is read.
enum class Source : uint8_t { I8, I16, I32, I64, F32, F64, Utf8, LargeUtf8 };

bool source_of(const char* format, Source* s) {
    static const struct {
        const char* format;
        Source source;
    } known[] = {{"c", Source::I8},  {"s", Source::I16}, {"i", Source::I32},  {"l", Source::I64},
                 {"f", Source::F32}, {"g", Source::F64}, {"u", Source::Utf8}, {"U", Source::LargeUtf8}};
    for (const auto& k : known)
        if (format && std::strcmp(format, k.format) == 0) return *s = k.source, true;
    return false;
}

int width_of(Source s) {
    switch (s) {
    case Source::I8: return 1;
    case Source::I16: return 2;
    case Source::I32: return 4;
    default: return 8;
    }
}

// Whether a value of `s` goes into field `f` as its binary form, unchanged:
// an integer into an integer field at least as wide, a float into a double
// precision, text (UTF-8 on both sides) into a text field.
bool direct(Source s, const Attribute& f, bool text_utf8) {
    switch (s) {
    case Source::I8:
    case Source::I16:
    case Source::I32:
    case Source::I64: {
        const int width = width_of(s);
        if (f.oid == INT8) return f.type == QSCLI_ET_INT64;
        if (f.oid == INT4) return f.type == QSCLI_ET_LONG && width <= 4;
        if (f.oid == INT2) return f.type == QSCLI_ET_INTR && width <= 2;
        return false;
    }
    case Source::F32:
    case Source::F64: return f.oid == FLOAT8 && f.type == QSCLI_ET_DFLT;
    case Source::Utf8:
    case Source::LargeUtf8:
        return text_utf8 && f.type == QSCLI_ET_CHAR && (f.oid == TEXT || f.oid == VARCHAR || f.oid == BPCHAR);
    }
    return false;
}

void put_be(std::string& out, uint64_t v, unsigned n) {
    char bytes[8];
    for (unsigned k = 0; k < n; ++k) bytes[k] = static_cast<char>(v >> (8 * (n - 1 - k)));
    out.append(bytes, n);
}

template <class T>
T at(const void* buffer, int64_t i) {
    T x;
    std::memcpy(&x, static_cast<const char*>(buffer) + i * static_cast<int64_t>(sizeof(T)), sizeof(T));
    return x;
}

// How each field's column is read; false when a pair of a column's type
// and its field has no direct form here.
bool direct_sources(const std::vector<Attribute>& fields, const int* columns, const ArrowSchema* schema,
                    bool text_utf8, std::vector<Source>& out) {
    for (size_t k = 0; k < fields.size(); ++k) {
        const ArrowSchema* type = schema->children[columns[k]];
        Source s;
        if (!type || type->dictionary || !source_of(type->format, &s) || !direct(s, fields[k], text_utf8))
            return false;
        out.push_back(s);
    }
    return true;
}

// One field: the Arrow child that fills it and how.
struct Column {
    const ArrowArray* array;
    Source source;
    unsigned width;  // the field's binary width (an integer's)
    const Attribute* field;
};

// The rows of a struct array as COPY's binary rows.
class ArrowRows {
public:
    ArrowRows(Conn* c, const ArrowArray* array) : c_(c), base_(array->offset), length_(array->length) {}

    // The child of each field, whose sources direct_sources() gave; false
    // for an array without such a child.
    bool bind(const std::vector<Attribute>& fields, const int* columns, const std::vector<Source>& sources,
              const ArrowArray* array) {
        for (size_t k = 0; k < fields.size(); ++k) {
            const ArrowArray* child = array->children[columns[k]];
            if (!child) return false;
            const unsigned width = fields[k].oid == INT8 ? 8 : fields[k].oid == INT4 ? 4 : 2;
            cols_.push_back({child, sources[k], width, &fields[k]});
        }
        return true;
    }

    int64_t length() const { return length_; }

    // Row r of this array; `record` counts the rows of the whole batch.
    bool row(int64_t r, int32_t record, std::string& out) {
        put_be(out, cols_.size(), 2);
        const int64_t row = base_ + r;
        for (const Column& col : cols_) {
            const ArrowArray* a = col.array;
            const int64_t i = a->offset + row;
            const auto* valid = static_cast<const uint8_t*>(a->buffers[0]);
            if (a->null_count != 0 && valid && !(valid[i >> 3] & (1u << (i & 7)))) {
                put_be(out, 0xFFFFFFFFu, 4);
                continue;
            }
            if (!value(col, i, record, out)) return false;
        }
        return true;
    }

private:
    bool value(const Column& col, int64_t i, int32_t r, std::string& out) {
        const void* data = col.array->buffers[1];
        int64_t n;
        switch (col.source) {
        case Source::I8: n = at<int8_t>(data, i); break;
        case Source::I16: n = at<int16_t>(data, i); break;
        case Source::I32: n = at<int32_t>(data, i); break;
        case Source::I64: n = at<int64_t>(data, i); break;
        case Source::F32: return real(col, at<float>(data, i), r, out);
        case Source::F64: return real(col, at<double>(data, i), r, out);
        case Source::Utf8: {
            const int32_t from = at<int32_t>(data, i), to = at<int32_t>(data, i + 1);
            return text(static_cast<const char*>(col.array->buffers[2]) + from, to - from, out);
        }
        case Source::LargeUtf8: {
            const int64_t from = at<int64_t>(data, i), to = at<int64_t>(data, i + 1);
            return text(static_cast<const char*>(col.array->buffers[2]) + from, to - from, out);
        }
        default: return false;
        }
        put_be(out, col.width, 4);
        put_be(out, static_cast<uint64_t>(n), col.width);
        return true;
    }

    // SQLite cannot keep a NaN: refused on both backends, as in a load of
    // records.
    bool real(const Column& col, double d, int32_t r, std::string& out) {
        if (std::isnan(d)) {
            c_->fail(QSCLI_E_MISMATCH,
                     "record " + std::to_string(r) + ", field " + col.field->name + ": NaN is not a number it can keep");
            return false;
        }
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        put_be(out, 8, 4);
        put_be(out, bits, 8);
        return true;
    }

    static bool text(const char* p, int64_t n, std::string& out) {
        put_be(out, static_cast<uint64_t>(n), 4);
        out.append(p, static_cast<size_t>(n));
        return true;
    }

    Conn* c_;
    int64_t base_;  // the struct's offset
    int64_t length_;
    std::vector<Column> cols_;
};

}  // namespace

int Session::add_arrow(const char* table, const std::vector<FieldShape>& shape, const int* columns,
                       const ArrowSchema* schema, const std::vector<const ArrowArray*>& arrays, int32_t count) {
    // A NULL goes as the records' null flag would: only where the
    // connection takes them.
    if (!c->null_flags) return QSCLI_E_UNSUPPORTED;
    return load_batch(table, [&](const Layout& t, bool verify, bool* misfit) {
        bool fits = t.fields.size() == shape.size();
        for (size_t k = 0; fits && k < shape.size(); ++k)
            fits = t.fields[k].type == shape[k].type && t.fields[k].len == shape[k].len;
        if (!fits) {
            *misfit = true;
            return verify ? 0 : c->fail(QSCLI_E_RECORD_LENGTH, "the fields given are not those of table " + t.name);
        }
        std::vector<Source> sources;
        if (!direct_sources(t.fields, columns, schema, c->text_utf8, sources)) return QSCLI_E_UNSUPPORTED;
        std::vector<ArrowRows> batches;
        for (const ArrowArray* a : arrays) {
            batches.emplace_back(c, a);
            if (!batches.back().bind(t.fields, columns, sources, a)) return c->fail(QSCLI_E_ARGUMENT, "an Arrow batch lacks a column");
        }
        // The rows are asked for in order: the array and its row follow them.
        size_t b = 0;
        int64_t at = 0;
        return copy_batch(t, verify, count, true, [&](int32_t r, std::string& out) {
            while (at >= batches[b].length()) ++b, at = 0;
            return batches[b].row(at++, r, out);
        });
    });
}

}  // namespace pg
}  // namespace qse
