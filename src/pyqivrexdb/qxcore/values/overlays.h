// Byte overlays: a value of one element type seen as the bytes it occupies in
// a record. Byte i of a field is byte i of its overlay, least significant
// first, whatever the host's byte order. An overlay starts zeroed, so copying
// in fewer bytes than its width leaves the high bytes 0.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qx::values {

template <typename Value, unsigned Width>
struct Overlay {
    static constexpr unsigned width = Width;
    unsigned char bytes[Width] = {};

    // Copies min(n, Width) bytes of `src` in; never reads past either side.
    void load(const unsigned char* src, uint32_t n) {
        std::memcpy(bytes, src, n < Width ? n : Width);
    }

    Value get() const {
        uint64_t bits = 0;
        for (unsigned i = 0; i < Width; ++i) bits |= uint64_t{bytes[i]} << (8 * i);
        return from_bits(bits);
    }

    void set(Value v) {
        const uint64_t bits = to_bits(v);
        for (unsigned i = 0; i < Width; ++i) bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
    }

private:
    // The value's bit pattern as a number, and back (memcpy keeps floats exact).
    using Bits = std::conditional_t<sizeof(Value) == 8, uint64_t,
                 std::conditional_t<sizeof(Value) == 4, uint32_t,
                 std::conditional_t<sizeof(Value) == 2, uint16_t, uint8_t>>>;
    static uint64_t to_bits(Value v) {
        Bits b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    }
    static Value from_bits(uint64_t bits) {
        const Bits b = static_cast<Bits>(bits);
        Value v;
        std::memcpy(&v, &b, sizeof v);
        return v;
    }
};

using UCHAR_CHAR = Overlay<uint8_t, 1>;   // BYTE
using INTR_CHAR = Overlay<int16_t, 2>;    // INTR
using WORD_CHAR = Overlay<uint16_t, 2>;   // WORD, DATE
using NMBR_CHAR = Overlay<uint32_t, 4>;   // NMBR: three bytes used, four wide
using LONG_CHAR = Overlay<int32_t, 4>;    // LONG
using DWRD_CHAR = Overlay<uint32_t, 4>;   // DWRD
using FLOA_CHAR = Overlay<float, 4>;      // FLOA
using DFLT_CHAR = Overlay<double, 8>;     // CURR, DFLT

}  // namespace qx::values
