// Code page 866 from tables. Every text crossing the client library goes
// through here, CHAR values of every fetched row included, so neither side
// looks a codec up per value; both give exactly what the "cp866" codec gives.
#include "cp866.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace qx {

namespace {

// Code points of the bytes 0x80..0xFF; the lower half is ASCII.
constexpr uint16_t kHigh[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

constexpr std::array<uint16_t, 256> make_decode_table() {
    std::array<uint16_t, 256> table{};
    for (int b = 0; b < 128; ++b) table[b] = static_cast<uint16_t>(b);
    for (int b = 128; b < 256; ++b) table[b] = kHigh[b - 128];
    return table;
}
constexpr auto kDecode = make_decode_table();

// The highest code point of the page is U+25A0. The encoding table maps each
// code point up to it to its byte; 0 marks a character the page lacks (U+0000
// itself is ASCII and never looked up here).
constexpr Py_UCS4 kEncodeLimit = 0x25A1;
constexpr std::array<uint8_t, kEncodeLimit> make_encode_table() {
    std::array<uint8_t, kEncodeLimit> table{};
    for (int b = 128; b < 256; ++b) table[kHigh[b - 128]] = static_cast<uint8_t>(b);
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

}  // namespace

PyObject* cp866_decode(const char* data, Py_ssize_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    const Py_ssize_t ascii = ascii_prefix(s, size);
    if (ascii == size) {
        PyObject* text = PyUnicode_New(size, 127);
        if (text && size) std::memcpy(PyUnicode_1BYTE_DATA(text), s, size);
        return text;
    }
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
