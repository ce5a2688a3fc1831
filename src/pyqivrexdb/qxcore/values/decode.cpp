// Decoders, one per type and, where it pays, per length: ColumnLayout::resolve
// picks one per column so the per-value work is a single indirect call. Also
// cutting whole records and return-value bodies into Python values.
#include "shared.h"

#include "../client/cp866.h"
#include "dates.h"
#include "overlays.h"

#include <cstring>
#include <type_traits>

namespace qx::values {

namespace {

template <typename V>
PyObject* to_python(V v) {
    if constexpr (std::is_floating_point_v<V>) return PyFloat_FromDouble(static_cast<double>(v));
    else if constexpr (std::is_same_v<V, uint32_t>) return PyLong_FromUnsignedLong(v);
    else return PyLong_FromLong(static_cast<long>(v));
}

// Short texts repeat across the rows of a result (codes, states, names of
// places): a direct-mapped cache of the str last made for a short byte string
// spares the allocation of a repeated value. A str is immutable, so rows may
// share one. The entries live until exit.
constexpr uint32_t kCachedTextMax = 32;
constexpr uint32_t kTextSlots = 256;

struct CachedText {
    uint32_t len = 0;
    bool read_again = false;  // the str was read again since it came or since the last miss
    unsigned char bytes[kCachedTextMax];
    PyObject* text = nullptr;
};
// One cache an encoding: the same bytes read otherwise in the other.
CachedText g_text_cache[kTextSlots];
CachedText g_utf8_cache[kTextSlots];

uint32_t text_slot(const unsigned char* p, uint32_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull * (n + 1);
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    uint64_t tail = 0;
    for (uint32_t k = 0; i + k < n; ++k) tail |= uint64_t{p[i + k]} << (8 * k);
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
    // Texts that differ in their last byte alone (NAME0001, NAME0002) would
    // mostly share the top bits: mixed once more, they spread.
    h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<uint32_t>(h >> 56) & (kTextSlots - 1);
}

}  // namespace

namespace {

template <PyObject* (*decode)(const char*, Py_ssize_t)>
PyObject* cached_text(CachedText* cache, const unsigned char* p, uint32_t n) {
    if (n > kCachedTextMax) return decode(reinterpret_cast<const char*>(p), n);
    CachedText& slot = cache[text_slot(p, n)];
    if (slot.text && slot.len == n && std::memcmp(slot.bytes, p, n) == 0) {
        slot.read_again = true;
        Py_INCREF(slot.text);
        return slot.text;
    }
    PyObject* text = decode(reinterpret_cast<const char*>(p), n);
    if (!text) return nullptr;
    // A str read again keeps its slot through one miss: a column whose
    // values never repeat (names, keys) then passes by the values of another
    // that do (codes), instead of putting them out every few rows.
    if (slot.read_again) {
        slot.read_again = false;
        return text;
    }
    Py_INCREF(text);
    Py_XSETREF(slot.text, text);  // the old str only frees memory: no code runs
    slot.len = n;
    std::memcpy(slot.bytes, p, n);
    return text;
}

}  // namespace

PyObject* text_value(const unsigned char* p, uint32_t n) {
    return text_utf8() ? cached_text<utf8_decode>(g_utf8_cache, p, n) : cached_text<cp866_decode>(g_text_cache, p, n);
}

PyObject* utf8_text_value(const unsigned char* p, uint32_t n) { return cached_text<utf8_decode>(g_utf8_cache, p, n); }

namespace {

PyObject* dec_char(const ColumnCodec& c, const unsigned char* p) { return text_value(p, c.len); }

// The column's decoder when b2a_hex was the standard one as the layout was
// resolved (a later rebinding makes the layout stale), and the one that
// looks it up for every value otherwise.
PyObject* dec_arra(const ColumnCodec& c, const unsigned char* p) { return hex_of(p, c.len); }
PyObject* dec_arra_late(const ColumnCodec& c, const unsigned char* p) { return arra_value(p, c.len); }

// The ARRA decoder for a layout resolved now.
// A value of exactly the overlay's width (all fixed-width reads, and the
// overlay types at their natural len).
template <typename O>
PyObject* dec_full(const ColumnCodec&, const unsigned char* p) {
    O o;
    std::memcpy(o.bytes, p, O::width);
    return to_python(o.get());
}

// An overlay type shorter than its overlay: the bytes it has, high bytes 0.
template <typename O>
PyObject* dec_part(const ColumnCodec& c, const unsigned char* p) {
    O o;
    o.load(p, c.len);
    return to_python(o.get());
}

PyObject* dec_nmbr3(const ColumnCodec&, const unsigned char* p) {
    NMBR_CHAR o;
    std::memcpy(o.bytes, p, 3);
    return to_python(o.get());
}

PyObject* dec_date(const ColumnCodec&, const unsigned char* p) {
    WORD_CHAR o;
    std::memcpy(o.bytes, p, 2);
    return qxdate2pydate(o.get());
}

}  // namespace

// The ARRA decoder for a layout resolved now.
Decoder arra_decoder() {
    Ref fn;
    const int standard = bound_hex(B2A_HEX, &fn);
    if (standard < 0) PyErr_Clear();  // the late decoder meets the same failure at the value
    return standard > 0 ? dec_arra : dec_arra_late;
}

Decoder decoder_for(int type, uint32_t len) {
    switch (type) {
        case QSCLI_ET_CHAR: return dec_char;
        case QSCLI_ET_ARRA: return dec_arra_late;
        case QSCLI_ET_BYTE: return dec_full<UCHAR_CHAR>;
        case QSCLI_ET_INTR: return dec_full<INTR_CHAR>;
        case QSCLI_ET_WORD: return dec_full<WORD_CHAR>;
        case QSCLI_ET_DATE: return dec_date;
        case QSCLI_ET_NMBR: return len == 3 ? dec_nmbr3 : dec_part<NMBR_CHAR>;
        case QSCLI_ET_LONG: return len == 4 ? dec_full<LONG_CHAR> : dec_part<LONG_CHAR>;
        case QSCLI_ET_DWRD: return len == 4 ? dec_full<DWRD_CHAR> : dec_part<DWRD_CHAR>;
        case QSCLI_ET_FLOA: return len == 4 ? dec_full<FLOA_CHAR> : dec_part<FLOA_CHAR>;
        case QSCLI_ET_CURR:
        case QSCLI_ET_DFLT: return len == 8 ? dec_full<DFLT_CHAR> : dec_part<DFLT_CHAR>;
        default: return nullptr;
    }
}

PyObject* decode_any(const ColumnCodec& col, const unsigned char* p) {
    if (col.type < 0 || col.type >= QSCLI_ET_COUNT) return field_type_error();
    // A hand-made column gets the reader's length rule too.
    if (check_len(col.type, col.len, 0, Purpose::Read) < 0) return nullptr;
    return decoder_for(col.type, col.len)(col, p);
}

PyObject* decode_body(PyObject* type, const unsigned char* body, uint32_t size, bool* decoded) {
    *decoded = true;
    Codes codes;
    const int code = codes.match(type);
    if (code == -2) return nullptr;
    if (code == -1) {
        *decoded = false;
        return nullptr;
    }
    switch (code) {
        case QSCLI_ET_CHAR:
        case QSCLI_ET_ARRA: {
            const void* zero = std::memchr(body, 0, size);
            const Py_ssize_t n = zero ? static_cast<const unsigned char*>(zero) - body : size;
            return code == QSCLI_ET_CHAR ? cp866_decode(reinterpret_cast<const char*>(body), n)
                                         : arra_value(body, n);
        }
        case QSCLI_ET_DATE: {
            WORD_CHAR o;
            o.load(body, size);
            return qxdate2pydate(o.get());
        }
        default: {
            // Every numeric type through its overlay: at most the overlay's
            // width is copied and a short body leaves the high bytes 0.
            const ColumnCodec col{code, size, nullptr};
            switch (code) {
                case QSCLI_ET_BYTE: return dec_part<UCHAR_CHAR>(col, body);
                case QSCLI_ET_INTR: return dec_part<INTR_CHAR>(col, body);
                case QSCLI_ET_WORD: return dec_part<WORD_CHAR>(col, body);
                case QSCLI_ET_NMBR: return dec_part<NMBR_CHAR>(col, body);
                case QSCLI_ET_LONG: return dec_part<LONG_CHAR>(col, body);
                case QSCLI_ET_DWRD: return dec_part<DWRD_CHAR>(col, body);
                case QSCLI_ET_FLOA: return dec_part<FLOA_CHAR>(col, body);
                default: return dec_part<DFLT_CHAR>(col, body);
            }
        }
    }
}

}  // namespace qx::values
