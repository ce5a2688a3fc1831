// CP866 <-> UTF-8 through tables: the database keeps UTF-8 so other SQLite
// tools read the same text, the library boundary speaks CP866 unless the
// connection asked for UTF-8.
#include "text.h"

#include <cstring>

#include "../src/pyqivrexdb/qxcore/client/cp866_table.h"

namespace qse {

namespace {

constexpr uint32_t REVERSE_LIMIT = 0x25A1;  // past the highest code point above

struct Tables {
    // UTF-8 of each byte: length in [0], bytes in [1..3].
    unsigned char utf8[256][4];
    // Code point -> CP866 byte + 1 (0: not in the code page), for code
    // points below REVERSE_LIMIT.
    unsigned char reverse[REVERSE_LIMIT];

    Tables() {
        std::memset(reverse, 0, sizeof reverse);
        for (unsigned b = 0; b < 256; ++b) {
            uint32_t cp = b < 0x80 ? b : QSCLI_CP866_HIGH[b - 0x80];
            unsigned char* u = utf8[b];
            if (cp < 0x80) {
                u[0] = 1;
                u[1] = static_cast<unsigned char>(cp);
            } else if (cp < 0x800) {
                u[0] = 2;
                u[1] = static_cast<unsigned char>(0xC0 | (cp >> 6));
                u[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            } else {
                u[0] = 3;
                u[1] = static_cast<unsigned char>(0xE0 | (cp >> 12));
                u[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
                u[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            }
            if (b >= 0x80) reverse[cp] = static_cast<unsigned char>(b - 0x80 + 1);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// Decodes one multi-byte UTF-8 sequence starting at in[0] (>= 0x80).
// Returns its length, 0 when malformed.
size_t decode_utf8(const unsigned char* in, size_t n, uint32_t* cp) {
    unsigned char c = in[0];
    if (c >= 0xC2 && c <= 0xDF) {
        if (n < 2 || (in[1] & 0xC0) != 0x80) return 0;
        *cp = ((c & 0x1Fu) << 6) | (in[1] & 0x3Fu);
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (n < 3 || (in[1] & 0xC0) != 0x80 || (in[2] & 0xC0) != 0x80) return 0;
        uint32_t v = ((c & 0x0Fu) << 12) | ((in[1] & 0x3Fu) << 6) | (in[2] & 0x3Fu);
        if (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF)) return 0;
        *cp = v;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (n < 4 || (in[1] & 0xC0) != 0x80 || (in[2] & 0xC0) != 0x80 ||
            (in[3] & 0xC0) != 0x80)
            return 0;
        uint32_t v = ((c & 0x07u) << 18) | ((in[1] & 0x3Fu) << 12) | ((in[2] & 0x3Fu) << 6) |
                     (in[3] & 0x3Fu);
        if (v < 0x10000 || v > 0x10FFFF) return 0;
        *cp = v;
        return 4;
    }
    return 0;
}

// The CP866 byte of a non-ASCII code point; -1 when it has none.
inline int to_cp866(uint32_t cp) {
    if (cp >= REVERSE_LIMIT) return -1;
    unsigned char r = tables().reverse[cp];
    return r ? 0x80 + r - 1 : -1;
}

thread_local bool t_boundary_utf8 = false;

// Whether eight bytes are all ASCII and none of them NUL.
inline bool plain_word(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    const uint64_t high = 0x8080808080808080ull;
    return !((v & high) | ((v - 0x0101010101010101ull) & ~v & high));
}

// Whether text is ASCII without a NUL, most text: a word at a time, the last
// word overlapping the one before.
bool plain_ascii(const unsigned char* p, size_t n) {
    if (n < 8) {
        for (size_t k = 0; k < n; ++k)
            if (p[k] == 0 || p[k] >= 0x80) return false;
        return true;
    }
    for (size_t k = 0; k + 8 <= n; k += 8)
        if (!plain_word(p + k)) return false;
    return plain_word(p + n - 8);
}

// Copies text that is ASCII without a NUL, a word at a time; false, having
// copied some of it, for any other text.
inline bool copy_plain_ascii(const unsigned char* in, size_t n, unsigned char* out) {
    if (n < 8) {
        for (size_t k = 0; k < n; ++k) {
            if (in[k] == 0 || in[k] >= 0x80) return false;
            out[k] = in[k];
        }
        return true;
    }
    for (size_t k = 0; k + 8 <= n; k += 8) {
        if (!plain_word(in + k)) return false;
        std::memcpy(out + k, in + k, 8);
    }
    if (!plain_word(in + n - 8)) return false;  // the last word overlaps the one before
    std::memcpy(out + n - 8, in + n - 8, 8);
    return true;
}

// UTF-8 kept as it is, checked as utf8_to_cp866 checks CP866.
TextStatus copy_utf8(const unsigned char* in, size_t n, unsigned char* out, size_t cap, size_t* written) {
    size_t k = 0;
    TextStatus st = TextStatus::Ok;
    while (k < n) {
        // Eight ASCII bytes, none of them NUL, at once, as in CP866.
        if (n - k >= 8 && cap - k >= 8 && plain_word(in + k)) {
            k += 8;
            continue;
        }
        unsigned char c = in[k];
        size_t len = 1;
        if (c == 0) { st = TextStatus::Nul; break; }
        if (c >= 0x80) {
            uint32_t cp;
            len = decode_utf8(in + k, n - k, &cp);
            if (!len) { st = TextStatus::Invalid; break; }
        }
        if (cap - k < len) { st = TextStatus::TooLong; break; }
        k += len;
    }
    std::memcpy(out, in, k);
    *written = k;
    return st;
}

}  // namespace

bool boundary_utf8() { return t_boundary_utf8; }

BoundaryText::BoundaryText(bool utf8) : outer_(t_boundary_utf8) { t_boundary_utf8 = utf8; }
BoundaryText::~BoundaryText() { t_boundary_utf8 = outer_; }

uint32_t char_field_bytes(uint32_t chars) {
    if (!t_boundary_utf8) return chars;
    const uint64_t bytes = 4ull * chars;
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

TextStatus check_utf8(const unsigned char* p, size_t n, size_t chars) {
    if (plain_ascii(p, n)) return chars && n > chars ? TextStatus::TooLong : TextStatus::Ok;
    size_t k = 0, count = 0;
    while (k < n) {
        if (n - k >= 8 && plain_word(p + k)) {
            k += 8;
            count += 8;
            continue;
        }
        if (p[k] == 0) return TextStatus::Nul;
        size_t len = 1;
        if (p[k] >= 0x80) {
            uint32_t cp;
            if (!(len = decode_utf8(p + k, n - k, &cp))) return TextStatus::Invalid;
        }
        k += len;
        ++count;
    }
    return chars && count > chars ? TextStatus::TooLong : TextStatus::Ok;
}

size_t utf8_chars(const unsigned char* p, size_t n) {
    size_t chars = 0;
    for (size_t k = 0; k < n; ++k) chars += (p[k] & 0xC0) != 0x80;
    return chars;
}

void cp866_to_utf8(const unsigned char* in, size_t n, std::string& out) {
    if (t_boundary_utf8) {
        out.append(reinterpret_cast<const char*>(in), n);
        return;
    }
    const Tables& t = tables();
    size_t start = out.size();
    out.resize(start + 3 * n);
    char* o = &out[start];
    for (size_t k = 0; k < n; ++k) {
        unsigned char b = in[k];
        if (b < 0x80) {
            *o++ = static_cast<char>(b);
        } else {
            const unsigned char* u = t.utf8[b];
            for (unsigned j = 1; j <= u[0]; ++j) *o++ = static_cast<char>(u[j]);
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
}

TextStatus utf8_to_cp866(const unsigned char* in, size_t n, unsigned char* out, size_t cap,
                         size_t* written) {
    // ASCII without a NUL is the same text in either encoding: copied as it
    // is, before the encoding is even looked up.
    if (n <= cap && copy_plain_ascii(in, n, out)) {
        *written = n;
        return TextStatus::Ok;
    }
    if (t_boundary_utf8) return copy_utf8(in, n, out, cap, written);
    size_t w = 0, k = 0;
    TextStatus st = TextStatus::Ok;
    while (k < n) {
        // Eight ASCII bytes, none of them NUL, at once: most text is such.
        if (n - k >= 8 && cap - w >= 8 && plain_word(in + k)) {
            std::memcpy(out + w, in + k, 8);
            w += 8;
            k += 8;
            continue;
        }
        unsigned char c = in[k];
        if (c - 1u < 0x7f) {
            if (w == cap) { st = TextStatus::TooLong; break; }
            out[w++] = c;
            ++k;
            continue;
        }
        // A record's text ends at its first NUL: one inside would cut it.
        if (c == 0) { st = TextStatus::Nul; break; }
        uint32_t cp;
        size_t len = decode_utf8(in + k, n - k, &cp);
        if (!len) { st = TextStatus::Invalid; break; }
        int b = to_cp866(cp);
        if (b < 0) { st = TextStatus::Unmapped; break; }
        if (w == cap) { st = TextStatus::TooLong; break; }
        out[w++] = static_cast<unsigned char>(b);
        k += len;
    }
    *written = w;
    return st;
}

TextStatus utf8_to_cp866(const unsigned char* in, size_t n, std::string& out) {
    size_t start = out.size();
    out.resize(start + n);  // CP866 is never longer than its UTF-8, nor UTF-8 itself
    size_t w = 0;
    TextStatus st = utf8_to_cp866(in, n, reinterpret_cast<unsigned char*>(&out[start]), n, &w);
    out.resize(start + w);
    return st;
}

std::string utf8_to_cp866_lossy(const char* in) {
    std::string out;
    if (!in) return out;
    if (t_boundary_utf8) return out.assign(in);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    size_t n = std::strlen(in);
    size_t k = 0;
    while (k < n) {
        if (p[k] < 0x80) {
            out.push_back(static_cast<char>(p[k++]));
            continue;
        }
        uint32_t cp;
        size_t len = decode_utf8(p + k, n - k, &cp);
        int b = len ? to_cp866(cp) : -1;
        out.push_back(b < 0 ? '?' : static_cast<char>(b));
        k += len ? len : 1;
    }
    return out;
}

const char* text_problem(TextStatus st) {
    switch (st) {
    case TextStatus::TooLong: return "is longer than its column";
    case TextStatus::Unmapped: return "has a character outside code page 866";
    case TextStatus::Invalid: return "is not valid UTF-8";
    case TextStatus::Nul: return "has a NUL character, where a text would end";
    default: return "";
    }
}

std::string to_utf8(const char* p, size_t n) {
    std::string out;
    cp866_to_utf8(reinterpret_cast<const unsigned char*>(p), n, out);
    return out;
}

}  // namespace qse
