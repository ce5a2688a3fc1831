// A record's field read back into a value: what a bulk load hands each
// backend, and what an explicit `return ... as TYPE` repacks.
#include "dates.h"
#include "value.h"

#include <cstring>

namespace qse {

namespace {

int64_t le_int(const unsigned char* p, unsigned n, bool sign) {
    uint64_t v = 0;
    for (unsigned k = 0; k < n; ++k) v |= static_cast<uint64_t>(p[k]) << (8 * k);
    if (sign && n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t{0} << (8 * n);
    return static_cast<int64_t>(v);
}

}  // namespace

bool unpack_value(int type, uint32_t len, const unsigned char* src, Value& v, std::string& scratch,
                  std::string* why) {
    v = Value();
    switch (type) {
    case QSCLI_ET_CHAR:
    case QSCLI_ET_DECIMAL: {
        // The text ends at the first NUL (the loader pads with one NUL and
        // blanks); a text that fills the field has none.
        const void* z = std::memchr(src, 0, len);
        v.kind = VKind::Text866;
        v.p = src;
        v.n = z ? static_cast<size_t>(static_cast<const unsigned char*>(z) - src) : len;
        return true;
    }
    case QSCLI_ET_ARRA: v.kind = VKind::Blob, v.p = src, v.n = len; return true;
    case QSCLI_ET_FLOA: {
        float f;
        std::memcpy(&f, src, 4);
        v.kind = VKind::Float, v.d = f;
        return true;
    }
    case QSCLI_ET_CURR:
    case QSCLI_ET_DFLT: std::memcpy(&v.d, src, 8), v.kind = VKind::Float; return true;
    case QSCLI_ET_DATE: {
        const unsigned packed = static_cast<unsigned>(le_int(src, 2, false));
        if (!packed) return true;
        if (packed > DATE_MAX) {
            *why = "packed date " + std::to_string(packed) + " is past " QSE_DATE_LAST;
            return false;
        }
        scratch.resize(10);
        date_to_iso(packed, &scratch[0]);
        v.kind = VKind::Text866, v.p = reinterpret_cast<const unsigned char*>(scratch.data()), v.n = 10;
        v.i = packed;
        return true;
    }
    default: {
        // The integer element types.
        const unsigned w = natural_width(type);
        const bool sign = type == QSCLI_ET_INTR || type == QSCLI_ET_LONG || type == QSCLI_ET_INT64;
        v.kind = VKind::Int, v.i = le_int(src, w ? w : len, sign);
        return true;
    }
    }
}

}  // namespace qse
