// Staged values: written as they arrive, read back once the widths are known.
#include "stage.h"

#include <cstring>

namespace qse {

void stage_value(const Value& v, std::string& row) {
    const size_t at = row.size();
    switch (v.kind) {
    case VKind::Int:
    case VKind::Float:
        row.resize(at + 9);
        std::memcpy(&row[at + 1], v.kind == VKind::Int ? static_cast<const void*>(&v.i) : &v.d, 8);
        break;
    case VKind::Text:
    case VKind::Text866:
    case VKind::Blob: {
        const uint32_t n = static_cast<uint32_t>(v.n);
        row.resize(at + 5 + n);
        std::memcpy(&row[at + 1], &n, 4);
        if (n) std::memcpy(&row[at + 5], v.p, n);
        break;
    }
    default: row.resize(at + 1); break;
    }
    row[at] = static_cast<char>(v.kind);
}

}  // namespace qse
