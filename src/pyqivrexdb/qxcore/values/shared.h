// What the files of values/ share among themselves: the names and widths of
// the element types, matching a type code against the names bound now, the
// binascii late binding, the choice of decoder and the length rule.
#pragma once

#include "../base/common.h"
#include "values.h"

#include <cstddef>
#include <cstdint>

namespace qx::values {

#define QX_CODE_NAME(name, code, width, low, high) "QSCLI_ET_" #name,
inline constexpr const char* kCodeNames[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QX_CODE_NAME)};
#undef QX_CODE_NAME

// Bytes a value of each type occupies; for CHAR and ARRA the field's len.
#define QX_WIDTH(name, code, width, low, high) width,
inline constexpr uint32_t kWidth[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QX_WIDTH)};
#undef QX_WIDTH

// The integers a value written to each integer type may be (0, 0 for the
// other types).
#define QX_LOW(name, code, width, low, high) low,
#define QX_HIGH(name, code, width, low, high) high,
inline constexpr long long kLow[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QX_LOW)};
inline constexpr long long kHigh[QSCLI_ET_COUNT] = {QSCLI_ELEMENT_TYPES(QX_HIGH)};
#undef QX_LOW
#undef QX_HIGH

// The low `len` bytes of `bits`, least significant first, zeros past the
// eighth: an integer's or a date's field, or a real's through its bits.
inline void put_bits(unsigned char* out, uint32_t len, uint64_t bits) {
    for (uint32_t i = 0; i < len; ++i, bits >>= 8) out[i] = static_cast<unsigned char>(bits);
}

// A FLOA, CURR or DFLT field holding `d`; a FLOA holds it narrowed to single
// precision as the FPU rounds it, beyond the single range FLT_MAX or an
// infinity (encode.cpp).
void put_real(const ColumnCodec& col, double d, unsigned char* out);

// ProgrammingError("Field type error"); returns null.
std::nullptr_t field_type_error();

struct CodeTable;

// Matching a type code against the QSCLI_ET_* names as they are bound now,
// in the order of their codes: the first name equal to the code wins
// (codes.cpp).
class Codes {
public:
    // The object bound to the name of code i (borrowed, held by the table),
    // or null with NameError.
    PyObject* get(int i);
    // The branch `type` takes: 0..11, -1 for none, -2 with an exception set.
    int match(PyObject* type);
    // The same for an exact int of C value `value`: the names bound to exact
    // ints compare without a call.
    int match_small(long value, PyObject* type);

private:
    int match_from(int first, PyObject* type, bool small = false, long value = 0);
    static CodeTable& current();
};

// A column's type code: above 11 or below 0 is refused before any name is
// compared, exactly as a reader checks each value. -1 with an exception set.
int classify(PyObject* type, Codes& codes);

// binascii.b2a_hex and a2b_hex as bound now (hex.cpp).
enum HexFunction { B2A_HEX, A2B_HEX };
// 1 when the function as bound now is the standard library's own; 0 when it
// is something else, handed out in *fn; -1 with the lookup's exception.
int bound_hex(HexFunction which, Ref* fn);
// Lower-case hexadecimal digits of n bytes, as the standard b2a_hex gives.
PyObject* hex_of(const unsigned char* p, Py_ssize_t n);
// An ARRA value of the n bytes at p: binascii.b2a_hex of them.
PyObject* arra_value(const unsigned char* p, Py_ssize_t n);

// The decoder of a column of `type` and `len` (decode.cpp); for ARRA the
// one that looks b2a_hex up for every value.
Decoder decoder_for(int type, uint32_t len);
// The ARRA decoder for a layout resolved now.
Decoder arra_decoder();

// Whether `len` keeps a field of `type` within its bytes (column_layout.cpp). 0, or
// -1 with a ProgrammingError naming the field.
int check_len(int type, uint32_t len, Py_ssize_t index, Purpose purpose);

}  // namespace qx::values
