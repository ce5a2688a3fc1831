// Rows of values kept in bytes until a result's column widths are known
// (TEXT and BLOB columns, types inferred from the values), on every backend:
// per value a kind byte, then 8 bytes of number or a 4-byte length and the
// bytes.
#pragma once

#include "records.h"
#include "value.h"

#include <string>
#include <string_view>

namespace qse {

// Appends `v` to a staged row.
void stage_value(const Value& v, std::string& row);

// Staged bytes held in one piece in memory, read in place.
class BytesReader {
public:
    explicit BytesReader(std::string_view s)
        : p_(reinterpret_cast<const unsigned char*>(s.data())), end_(p_ + s.size()) {}
    const unsigned char* take(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) return nullptr;
        const unsigned char* p = p_;
        p_ += n;
        return p;
    }

private:
    const unsigned char* p_;
    const unsigned char* end_;
};

// The next staged value from `in` (a StageReader or a BytesReader); false
// when the bytes cannot be read. Text and bytes are borrowed from the reader
// until its next take.
template <class Reader>
bool unstage_value(Reader& in, Value& v) {
    const unsigned char* t = in.take(1);
    if (!t) return false;
    v = Value();
    v.kind = static_cast<VKind>(*t);
    if (v.kind == VKind::Int || v.kind == VKind::Float) {
        const unsigned char* b = in.take(8);
        if (!b) return false;
        if (v.kind == VKind::Int) std::memcpy(&v.i, b, 8);
        else std::memcpy(&v.d, b, 8);
    } else if (v.kind != VKind::Null) {
        const unsigned char* b = in.take(4);
        if (!b) return false;
        uint32_t n;
        std::memcpy(&n, b, 4);
        v.n = n;
        v.p = n ? in.take(n) : b;
        if (!v.p) return false;
    }
    return true;
}

}  // namespace qse
