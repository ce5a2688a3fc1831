// Staged values: written as they arrive, read back once the widths are known.
#include "stage.h"

#include <cstring>

namespace qse {

void stage_value(const Value& v, std::string& row) {
    row.push_back(static_cast<char>(v.kind));
    switch (v.kind) {
    case VKind::Int: row.append(reinterpret_cast<const char*>(&v.i), 8); break;
    case VKind::Float: row.append(reinterpret_cast<const char*>(&v.d), 8); break;
    case VKind::Text:
    case VKind::Text866:
    case VKind::Blob: {
        const uint32_t n = static_cast<uint32_t>(v.n);
        row.append(reinterpret_cast<const char*>(&n), 4);
        if (n) row.append(reinterpret_cast<const char*>(v.p), n);
        break;
    }
    default: break;
    }
}

bool unstage_value(StageReader& in, Value& v) {
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
