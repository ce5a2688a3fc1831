// One value on its way into or out of a record, and the packing of it.
#pragma once

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

}  // namespace qse
