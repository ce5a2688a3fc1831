// One value on its way into or out of a record, and the packing of it.
#pragma once

#include "elemtype.h"
#include "qscli_api.h"

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace qse
