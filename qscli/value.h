// One value on its way into or out of a record, and the packing of it.
#pragma once

#include "elemtype.h"
#include "qscli_api.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qse {

enum class VKind : uint8_t { Null, Int, Float, Text, Text866, Blob };
struct Value {
    VKind kind = VKind::Null;
    int64_t i = 0;
    double d = 0;
    const unsigned char* p = nullptr;
    size_t n = 0;
};

// Writes `v` into a field of element type `type` and `len` bytes at `dst`
// (NULL: zero bytes). On a value that does not fit, returns QSCLI_E_MISMATCH with
// the reason in *why; nothing is cut or wrapped. An ARRA value's own length
// (before the zero padding) goes to *width when given.
// Why `v` does not fit a field of `type`: "text 'abc' WHAT (CHAR)", as a
// refused pack_value names it.
std::string refusal(const Value& v, int type, const char* what);
int pack_value(int type, uint32_t len, const Value& v, unsigned char* dst, std::string* why,
               uint32_t* width = nullptr);
// A number (Int or Float) as text, the way a CHAR column shows it on every
// backend (a real as SQLite shows one); its length. `cap` of 40 holds any.
size_t render_number(const Value& v, char* buf, size_t cap);
// The bytes a CHAR or ARRA field takes for `v`: its own, or a number's
// text in `buf` (40 bytes); their count in *n.
inline const unsigned char* field_bytes(const Value& v, char* buf, size_t* n) {
    if (v.kind == VKind::Int || v.kind == VKind::Float) {
        *n = render_number(v, buf, 40);
        return reinterpret_cast<const unsigned char*>(buf);
    }
    *n = v.n;
    return v.p;
}
// The length of render_number's text of an integer.
inline unsigned digits_of(int64_t i) {
    uint64_t u = i < 0 ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
    unsigned n = i < 0 ? 2 : 1;
    while (u >= 10) {
        u /= 10;
        ++n;
    }
    return n;
}
// Reads a field of element type `type` and `len` bytes at `src` back into
// `v`, the one way every backend does: CHAR as CP866 text up to its first
// NUL and ARRA as its bytes (both borrowed from src), the integer types as
// Int, FLOA, CURR and DFLT as Float, a DATE as its ISO text (in `scratch`)
// with the day count in v.i, or Null for day 0. False, with the reason in
// *why, for a date past the last day.
bool unpack_value(int type, uint32_t len, const unsigned char* src, Value& v, std::string& scratch,
                  std::string* why);

// The records of qcSqlExecRecords: fields one after the other, then a null
// flag bit a field, then a 4-byte length an ARRA field (as results with
// QSCLI_ATTR_NULL_FLAGS 2).
struct RecordLayout {
    struct Field {
        int type;
        uint32_t len;
        uint32_t off;
        uint32_t length_at;  // ARRA: where its length is in the record
    };
    std::vector<Field> fields;
    uint32_t flags_at = 0;
    uint32_t rec_size = 0;

    // From `n` pairs of element type and len; false when they do not make
    // records of rec_size bytes.
    bool read(int n, const int* pairs, unsigned size) {
        if (n < 1 || n > 32767 || !pairs) return false;
        fields.assign(static_cast<size_t>(n), Field());
        uint64_t at = 0;
        for (Field& f : fields) {
            f.type = pairs[0];
            f.len = static_cast<uint32_t>(pairs[1]);
            pairs += 2;
            const bool known = (f.type >= 0 && f.type < QSCLI_ET_COUNT) || f.type == QSCLI_ET_INT64;
            const uint32_t natural = f.type == QSCLI_ET_INT64 ? 8 : known ? natural_width(f.type) : 0;
            if (!known || f.len == 0 || f.len > (1u << 30) || (natural && f.len != natural)) return false;
            f.off = static_cast<uint32_t>(at);
            at += f.len;
        }
        flags_at = static_cast<uint32_t>(at);
        at += (fields.size() + 7) / 8;
        for (Field& f : fields)
            if (f.type == QSCLI_ET_ARRA) f.length_at = static_cast<uint32_t>(at), at += 4;
        rec_size = size;
        return at == size;
    }
    bool is_null(const unsigned char* rec, size_t k) const { return rec[flags_at + (k >> 3)] >> (k & 7) & 1; }
    // An ARRA field's bytes, never more than the field holds.
    uint32_t arra_length(const unsigned char* rec, size_t k) const {
        uint32_t n;
        std::memcpy(&n, rec + fields[k].length_at, 4);
        return n < fields[k].len ? n : fields[k].len;
    }
};

}  // namespace qse
