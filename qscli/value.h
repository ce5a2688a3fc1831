// One value on its way into or out of a record, and the packing of it.
#pragma once

#include "elemtype.h"
#include "qscli_api.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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
// Why `v` does not fit a field of `type`: "text 'abc' WHAT (CHAR)", as a
// refused pack_value names it.
std::string refusal(const Value& v, int type, const char* what);
int pack_value(int type, uint32_t len, const Value& v, unsigned char* dst, std::string* why,
               uint32_t* width = nullptr);
// A value already of its field's own kind, packed with no more than a range
// check: an integer into a LONG field it fits or an INT64 field, a real into
// a DFLT field (as pack_value packs them). False, with nothing written, for
// every other pair: pack_value's to pack or refuse. Neither NULL nor ARRA,
// so a record's trailer has nothing to mark for it.
inline bool pack_exact(int type, const Value& v, unsigned char* dst) {
    if (v.kind == VKind::Int) {
        if (type == QSCLI_ET_INT64) {
            for (unsigned k = 0; k < 8; ++k) dst[k] = static_cast<unsigned char>(static_cast<uint64_t>(v.i) >> (8 * k));
            return true;
        }
        if (type != QSCLI_ET_LONG || v.i < INT32_MIN || v.i > INT32_MAX) return false;
        for (unsigned k = 0; k < 4; ++k) dst[k] = static_cast<unsigned char>(static_cast<uint64_t>(v.i) >> (8 * k));
        return true;
    }
    if (v.kind != VKind::Float || type != QSCLI_ET_DFLT) return false;
    std::memcpy(dst, &v.d, 8);
    return true;
}
// A number (Int or Float) as text, the way a CHAR column shows it on every
// backend (a real as SQLite shows one); its length. `cap` of 40 holds any.
size_t render_number(const Value& v, char* buf, size_t cap);
// The bytes a CHAR or ARRA field takes for `v`: its own, or a number's
// text in `buf` (40 bytes); their count in *n.
inline const unsigned char* field_bytes(const Value& v, char* buf, size_t* n) {
    if (v.kind == VKind::Int || v.kind == VKind::Float) {
        *n = render_number(v, buf, 40);
        return reinterpret_cast<const unsigned char*>(buf);
    }
    *n = v.n;
    return v.p;
}
// The length of render_number's text of an integer.
inline unsigned digits_of(int64_t i) {
    uint64_t u = i < 0 ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
    unsigned n = i < 0 ? 2 : 1;
    while (u >= 10) {
        u /= 10;
        ++n;
    }
    return n;
}
// Reads a field of element type `type` and `len` bytes at `src` back into
// `v`, the one way every backend does: CHAR as CP866 text up to its first
// NUL and ARRA as its bytes (both borrowed from src), the integer types as
// Int, FLOA, CURR and DFLT as Float, a DATE as its ISO text (in `scratch`)
// with the day count in v.i, or Null for day 0. False, with the reason in
// *why, for a date past the last day.
bool unpack_value(int type, uint32_t len, const unsigned char* src, Value& v, std::string& scratch,
                  std::string* why);

// The records the library is handed, the one reader of them: fields one
// after the other; then, when flagged, a null flag bit a field; then, with
// lengths, a 4-byte length an ARRA field (as results with
// QSCLI_ATTR_NULL_FLAGS 2). qcSqlExecRecords' records have both, those of
// qcSqlAddRecords flags at most.
struct RecordLayout {
    struct Field {
        int type;
        uint32_t len;
        uint32_t off;
        uint32_t length_at;  // ARRA with lengths: where its length is in the record
    };
    std::vector<Field> fields;
    uint32_t flags_at = 0;  // also the bytes of the fields
    uint32_t rec_size = 0;
    bool flagged = false, lengths = false;

    // From `n` pairs of element type and len; false when they do not make
    // records of rec_size bytes.
    bool read(int n, const int* pairs, unsigned size) {
        if (n < 1 || n > 32767 || !pairs) return false;
        flagged = lengths = true;
        fields.assign(static_cast<size_t>(n), Field());
        uint64_t at = 0;
        for (Field& f : fields) {
            f.type = pairs[0];
            f.len = static_cast<uint32_t>(pairs[1]);
            pairs += 2;
            const bool known = (f.type >= 0 && f.type < QSCLI_ET_COUNT) || f.type == QSCLI_ET_INT64;
            const uint32_t natural = f.type == QSCLI_ET_INT64 ? 8 : known ? natural_width(f.type) : 0;
            if (!known || f.len == 0 || f.len > (1u << 30) || (natural && f.len != natural)) return false;
            f.off = static_cast<uint32_t>(at);
            at += f.len;
        }
        flags_at = static_cast<uint32_t>(at);
        at += (fields.size() + 7) / 8;
        for (Field& f : fields)
            if (f.type == QSCLI_ET_ARRA) f.length_at = static_cast<uint32_t>(at), at += 4;
        rec_size = size;
        return at == size;
    }
    // The records of a table's `table` fields (each with a type and a len),
    // with null flags when `flags` allows them and `size` says so; false
    // when `size` is neither (flags_at is then the size without flags).
    template <class TableFields>
    bool of_table(const TableFields& table, bool flags, unsigned size) {
        fields.clear();
        uint64_t at = 0;
        for (const auto& t : table) {
            fields.push_back(Field{t.type, t.len, static_cast<uint32_t>(at), 0});
            at += t.len;
        }
        flags_at = static_cast<uint32_t>(at);
        lengths = false;
        flagged = flags && at + (fields.size() + 7) / 8 == size;
        rec_size = size;
        return flagged || at == size;
    }
    // Field k of record `rec` as unpack_value reads it (Null when flagged
    // so), an ARRA value of its own length; false with *why as unpack_value.
    bool value(const unsigned char* rec, size_t k, Value& v, std::string& scratch, std::string* why) const {
        const Field& f = fields[k];
        if (flagged && rec[flags_at + (k >> 3)] >> (k & 7) & 1) return v = Value(), true;
        if (!unpack_value(f.type, f.len, rec + f.off, v, scratch, why)) return false;
        if (lengths && f.type == QSCLI_ET_ARRA) {
            uint32_t n;
            std::memcpy(&n, rec + f.length_at, 4);
            v.n = n < f.len ? n : f.len;  // never more than the field holds
        }
        return true;
    }
};

// Why records of `rec_size` bytes do not fit table `name`, whose fields take `size`.
inline std::string record_size_refusal(unsigned rec_size, const std::string& name, uint64_t size) {
    return "records of " + std::to_string(rec_size) + " bytes do not match table " + name + " (" +
           std::to_string(size) + " bytes a record)";
}

}  // namespace qse
