// Code page 866 from tables. Every text crossing the client library goes
// through here, CHAR values of every fetched row included, so neither side
// looks a codec up per value; both give exactly what the "cp866" codec gives.
#include "cp866.h"

#include "../client/cp866_table.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace qx {

namespace {

constexpr std::array<uint16_t, 256> make_decode_table() {
    std::array<uint16_t, 256> table{};
    for (int b = 0; b < 128; ++b) table[b] = static_cast<uint16_t>(b);
    for (int b = 128; b < 256; ++b) table[b] = QSCLI_CP866_HIGH[b - 128];
    return table;
}
constexpr auto kDecode = make_decode_table();

// The highest code point of the page is U+25A0. The encoding table maps each
// code point up to it to its byte; 0 marks a character the page lacks (U+0000
// itself is ASCII and never looked up here).
constexpr Py_UCS4 kEncodeLimit = 0x25A1;
constexpr std::array<uint8_t, kEncodeLimit> make_encode_table() {
    std::array<uint8_t, kEncodeLimit> table{};
    for (int b = 128; b < 256; ++b) table[QSCLI_CP866_HIGH[b - 128]] = static_cast<uint8_t>(b);
    return table;
}
constexpr auto kEncode = make_encode_table();

// Length of the leading run of ASCII bytes, eight at a time.
Py_ssize_t ascii_prefix(const unsigned char* s, Py_ssize_t size) {
    Py_ssize_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & UINT64_C(0x8080808080808080)) break;
    }
    while (i < size && s[i] < 0x80) ++i;
    return i;
}

thread_local bool t_text_utf8 = false;

}  // namespace

bool text_utf8() { return t_text_utf8; }

TextScope::TextScope(bool utf8) : outer_(t_text_utf8) { t_text_utf8 = utf8; }
TextScope::~TextScope() { t_text_utf8 = outer_; }

// One library serves the process: once it has refused UTF-8, it has no
// connection in UTF-8.
std::atomic<bool> g_library_without_utf8{false};

void note_library_without_utf8() { g_library_without_utf8.store(true, std::memory_order_relaxed); }

const char* unencodable_reason() {
    if (t_text_utf8) return "a lone surrogate, which UTF-8 cannot carry";
    return g_library_without_utf8.load(std::memory_order_relaxed)
               ? "a character that code page 866 lacks (the client library speaks only code page 866)"
               : "a character that code page 866 lacks (the connection chose code page 866)";
}

namespace {

// The str of `size` ASCII bytes, as both decoders build it.
PyObject* ascii_text(const unsigned char* s, Py_ssize_t size) {
    PyObject* text = PyUnicode_New(size, 127);
    if (text && size) std::memcpy(PyUnicode_1BYTE_DATA(text), s, size);
    return text;
}

}  // namespace

namespace {

// Text of one- and two-byte characters alone (the Latin, Greek, Cyrillic,
// Hebrew and Arabic alphabets), built in the narrowest kind that holds it;
// null without an error for any other text (wider characters, or bytes
// that are not UTF-8), which the codec then reads.
PyObject* two_byte_text(const unsigned char* s, Py_ssize_t size, Py_ssize_t ascii) {
    Py_ssize_t chars = ascii;
    Py_UCS4 widest = 0x7F;
    for (Py_ssize_t i = ascii; i < size; ++chars) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        if (s[i] < 0xC2 || s[i] > 0xDF || i + 1 == size || (s[i + 1] & 0xC0) != 0x80) return nullptr;
        const Py_UCS4 ch = (Py_UCS4{s[i]} & 0x1F) << 6 | (s[i + 1] & 0x3F);
        if (ch > widest) widest = ch;
        i += 2;
    }
    PyObject* text = PyUnicode_New(chars, widest);
    if (!text) return nullptr;
    const int kind = PyUnicode_KIND(text);
    void* out = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0, k = 0; i < size; ++k) {
        Py_UCS4 ch = s[i++];
        if (ch >= 0x80) ch = (ch & 0x1F) << 6 | (s[i++] & 0x3F);
        PyUnicode_WRITE(kind, out, k, ch);
    }
    return text;
}

}  // namespace

// ASCII, most text, is copied as it is, and text of two-byte characters is
// read here too; the codec reads the rest (and refuses what is not UTF-8).
PyObject* utf8_decode(const char* data, Py_ssize_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    const Py_ssize_t ascii = ascii_prefix(s, size);
    if (ascii == size) return ascii_text(s, size);
    if (PyObject* text = two_byte_text(s, size, ascii)) return text;
    if (PyErr_Occurred()) return nullptr;
    return PyUnicode_DecodeUTF8(data, size, "strict");
}

PyObject* message_decode(const char* data, Py_ssize_t size) {
    return t_text_utf8 ? PyUnicode_DecodeUTF8(data, size, "replace") : cp866_decode(data, size);
}

PyObject* cp866_decode(const char* data, Py_ssize_t size) {
    if (t_text_utf8) return utf8_decode(data, size);
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    const Py_ssize_t ascii = ascii_prefix(s, size);
    if (ascii == size) return ascii_text(s, size);
    // A str must be built in the narrowest kind that holds its widest
    // character: Latin-1 when only the four Latin-1 signs of the page occur.
    Py_UCS4 widest = 0x80;
    for (Py_ssize_t i = ascii; i < size && widest < 0x100; ++i)
        if (kDecode[s[i]] > widest) widest = kDecode[s[i]];
    PyObject* text = PyUnicode_New(size, widest);
    if (!text) return nullptr;
    if (widest < 0x100) {
        Py_UCS1* out = PyUnicode_1BYTE_DATA(text);
        for (Py_ssize_t i = 0; i < size; ++i) out[i] = static_cast<Py_UCS1>(kDecode[s[i]]);
    } else {
        Py_UCS2* out = PyUnicode_2BYTE_DATA(text);
        for (Py_ssize_t i = 0; i < size; ++i) out[i] = kDecode[s[i]];
    }
    return text;
}

namespace {

// The byte of one code point, or -1 when the page lacks it.
inline int encode_char(Py_UCS4 ch) {
    if (ch < 0x80) return static_cast<int>(ch);
    if (ch < kEncodeLimit && kEncode[ch]) return kEncode[ch];
    return -1;
}

// Raises the codec's own UnicodeEncodeError for `str` (which has a character
// the page lacks), so the error carries exactly the codec's arguments.
void raise_codec_error(PyObject* str) {
    Ref encoded(PyUnicode_AsEncodedString(str, "cp866", "strict"));
    if (encoded) PyErr_SetString(PyExc_SystemError, "cp866: the codec accepted what the table refused");
}

}  // namespace

Py_ssize_t cp866_encode_into(PyObject* str, unsigned char* out, Py_ssize_t room) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) return -1;
#endif
    const Py_ssize_t size = PyUnicode_GET_LENGTH(str);
    const Py_ssize_t n = size < room ? size : room;
    if (PyUnicode_IS_ASCII(str)) {
        std::memcpy(out, PyUnicode_1BYTE_DATA(str), static_cast<size_t>(n));
        return size;
    }
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const int b = encode_char(PyUnicode_READ(kind, data, i));
        if (b < 0) {
            raise_codec_error(str);
            return -1;
        }
        if (i < n) out[i] = static_cast<unsigned char>(b);
    }
    return size;
}

Ref cp866_encode(PyObject* obj) {
    if (t_text_utf8 && PyUnicode_Check(obj)) return Ref(PyUnicode_AsUTF8String(obj));
    if (PyUnicode_CheckExact(obj)) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(obj) < 0) return Ref();
#endif
        const Py_ssize_t size = PyUnicode_GET_LENGTH(obj);
        if (PyUnicode_IS_ASCII(obj))
            return Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(obj)), size));
        const int kind = PyUnicode_KIND(obj);
        const void* data = PyUnicode_DATA(obj);
        Ref out(PyBytes_FromStringAndSize(nullptr, size));
        if (!out) return Ref();
        auto* dst = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
        for (Py_ssize_t i = 0; i < size; ++i) {
            const int b = encode_char(PyUnicode_READ(kind, data, i));
            if (b < 0) {
                raise_codec_error(obj);
                return Ref();
            }
            dst[i] = static_cast<unsigned char>(b);
        }
        return out;
    }
    Ref out(PyObject_CallMethod(obj, "encode", "s", "cp866"));
    if (out && !PyBytes_Check(out.get()) && !PyByteArray_Check(out.get())) {
        PyErr_Format(PyExc_TypeError, "encode() did not return bytes, but %.100s", Py_TYPE(out.get())->tp_name);
        return Ref();
    }
    return out;
}

Ref cp866_bytes(PyObject* str) {
    if (PyUnicode_CheckExact(str) || t_text_utf8) return cp866_encode(str);
    return Ref(PyUnicode_AsEncodedString(str, "cp866", "strict"));
}

Ref library_text(PyObject* obj, const char** text) {
    Ref encoded = cp866_encode(obj);
    if (!encoded) return encoded;
    if (!PyBytes_Check(encoded.get())) {
        encoded.reset(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(encoded.get()),
                                                PyByteArray_GET_SIZE(encoded.get())));
        if (!encoded) return encoded;
    }
    const char* data = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(data) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return Ref();
    }
    *text = data;
    return encoded;
}

}  // namespace qx
