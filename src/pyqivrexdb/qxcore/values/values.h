// Element types: how one value of each of the twelve types lies in a record
// buffer and how it becomes a Python value and back. The cursor reads records
// and return values through this file, the bulk loader writes records.
#pragma once

#include "../client/qscli.h"
#include "../base/late.h"

#include <cstdint>
#include <vector>

namespace qx::values {

struct ColumnCodec;

// Decodes one field at `p` into a new reference (null with an exception).
using Decoder = PyObject* (*)(const ColumnCodec& col, const unsigned char* p);
// Makes the Python value of a server's text form, the n bytes at p (CP866,
// no NUL): a new reference, or null with an exception (ValueError for a
// value Python cannot hold).
using TextLoader = PyObject* (*)(const char* p, size_t n);

// One column of a record as the reader or the writer uses it: the element
// type (the QSCLI_ET_* branch its Field.type matched) and its length in bytes.
struct ColumnCodec {
    int type;
    uint32_t len;
    // Chosen by ColumnLayout::resolve for this type and length; null in a ColumnCodec
    // made by hand, which decode_field then dispatches on `type`.
    Decoder decode = nullptr;
    // The server's type when the library told it (0: not told), and the
    // loaders its decoder calls: of the value's text, and of an array's items.
    uint32_t oid = 0;
    TextLoader load = nullptr;
    TextLoader item = nullptr;
};

// A result column's type on the server, as QSCLI_ATTR_SERVER_TYPES tells it:
// a PostgreSQL type OID and modifier (-1 for none).
struct ServerType {
    uint32_t oid;
    int32_t mod;
};

// What a ColumnLayout is resolved for: the lengths a reader can cut safely are not
// all lengths a writer can fill (see resolve()).
enum class Purpose { Read, Write };

// Which values a reader makes: the core's (CHAR as the whole field, ARRA as
// hexadecimal digits) or the standard face's (CHAR up to its first NUL, ARRA
// as the raw bytes); the other types read alike.
enum class Face { Core, Standard };

// The columns of a Field list, resolved once against the QSCLI_ET_* codes as
// they are bound now. current() tells whether the resolution still holds
// (neither the module namespace nor any Field changed since), so a reader can
// re-resolve exactly when a late-bound name or a Field attribute changed.
class ColumnLayout {
public:
    // Resolves every Field of `fields` (a list). A type code above 11 or
    // below 0, one that matches no QSCLI_ET_* code, or a len that would make
    // the reader or writer touch bytes outside the field raises
    // ProgrammingError. 0, or -1 with an exception set.
    //
    // Purpose::Read refuses BYTE shorter than 1, INTR/WORD/DATE shorter
    // than 2, NMBR/LONG/DWRD/FLOA longer than 4 and CURR/DFLT longer than 8
    // (a longer fixed-width field is read at its natural width and skipped
    // by len). Purpose::Write also refuses a BYTE, INTR, WORD, DATE or NMBR
    // whose len is not exactly 1, 2, 2, 2 or 3, so every field writes
    // exactly len bytes and a record exactly record_size() bytes.
    //
    // `server_types` (standard face, reading): the library's type and
    // modifier of each column (QSCLI_ATTR_SERVER_TYPES); a column of a type
    // with a loader decodes through it, the others as without.
    int resolve(PyObject* fields, Purpose purpose = Purpose::Read, Face face = Face::Core,
                const std::vector<ServerType>* server_types = nullptr);
    bool current() const;
    const std::vector<ColumnCodec>& columns() const { return columns_; }
    // Sum of the columns' len: the bytes one record takes.
    uint64_t record_size() const { return record_size_; }
    // Whether every column's loader is plain (plain_loader), and how many
    // columns are ARRA: what a reader derives from the columns, kept with them.
    bool plain() const { return plain_; }
    uint32_t arrays() const { return arrays_; }

private:
    std::vector<ColumnCodec> columns_;
    uint64_t record_size_ = 0;
    bool plain_ = true;
    uint32_t arrays_ = 0;
    LateBound names_;  // the QSCLI_ET_* names and binascii as resolved
    uint64_t field_version_ = 0;
    bool resolved_ = false;
    bool foreign_ = false;  // an item that is not a Field: its changes go unseen
};

// The str of the n CP866 bytes at p; short texts met before are shared.
PyObject* text_value(const unsigned char* p, uint32_t n);
// The same for n bytes of UTF-8.
PyObject* utf8_text_value(const unsigned char* p, uint32_t n);

// The standard face's decoder for a column of `type`, given the core's.
Decoder standard_decoder(int type, Decoder core);

// Whether a value (not None) is of a Python type the standard face takes
// for a field of element type `type`, the one rule of every typed write (a
// str for an integer field is refused, not read as a number). 0, or -1 with
// ProgrammingError "expected ..., not ..." set.
int standard_type_fits(int type, PyObject* value);
// Gives column `col` (its element type resolved) the loader of server type
// `oid`, when there is one (server_types.cpp). 0, or -1 with an exception.
int choose_loader(ColumnCodec& col, uint32_t oid);
// The type code Cursor.description gives a column of element type `type`
// and server type `oid`: the element type whose DB-API type object (NUMBER,
// DATETIME) matches the Python value its loader gives, else `type`.
int described_type(int type, uint32_t oid);

// Whether the values of `col` come from C code alone and hold no references
// that could make a cycle (not a parsed document, a list or an ipaddress
// object, whose loaders run Python code).
bool plain_loader(const ColumnCodec& col);

// The loader json and jsonb values go through: the reading connection's
// (ReadingScope), else the module's (json.loads unless set; `loads` None
// restores it). Borrowed / 0 or -1 with an exception.
PyObject* json_loads();
int set_json_loads(PyObject* loads);

// While it lives, json and jsonb values read through `loads` (borrowed; null
// or None: the module's), and timestamptz values take the tzinfo `zone`
// (borrowed; null or None: each value the fixed offset its text carries).
// Scopes nest: a loads may read another result. A scope not `needed` (no
// column of the result reads json or timestamptz) sets nothing.
class ReadingScope {
public:
    ReadingScope(PyObject* loads, PyObject* zone, bool needed = true);
    ~ReadingScope();
    ReadingScope(const ReadingScope&) = delete;
    ReadingScope& operator=(const ReadingScope&) = delete;

private:
    bool active_;
    PyObject* outer_loads_ = nullptr;
    PyObject* outer_zone_ = nullptr;
};

// Whether the values of server type `oid` (timestamptz and its arrays) are
// read in the session's time zone.
bool zoned_type(uint32_t oid);
// The tzinfo of the session's time zone `name` (the library's text): a
// zoneinfo.ZoneInfo when Python knows the name, else None (an offset zone
// such as "<+05>-05": each value keeps its offset). The last name's is
// kept. Null with an exception set only for a failure other than the name.
Ref session_zone(const char* name, size_t n);

// Encodes `value` into field `col` at `out` for the standard face's bulk
// load: None sets *is_null (the field is zeroed); otherwise the value must
// fit exactly (standard_values.cpp lists the rules). 0, or -1 with DataError or
// ProgrammingError set, its message without the row and field.
int encode_standard(const ColumnCodec& col, PyObject* value, unsigned char* out, bool* is_null);

// Whether field `col` of a bulk load on a `dialect` backend may send a value
// by its row's own statement rather than in a record: a text field whose
// width is no declared length's (in UTF-8), a number's text
// (QSCLI_ET_DECIMAL), a binary field, and on a server a date or real field,
// whose column holds values a record cannot carry.
bool may_go_alone(const ColumnCodec& col, int dialect);
// For such a field, whether `value` (as field_value gives it) goes alone: a
// text longer than the field, bytes of another length than a binary
// field's (a record holds no length of its own: its column stores it at its
// length), a date outside the record's span, a Decimal NaN or infinity.
// 1, 0, or -1 with an exception set.
int goes_alone(const ColumnCodec& col, PyObject* value);

// Decodes field `col` at `p` (len bytes available) into a new reference.
PyObject* decode_any(const ColumnCodec& col, const unsigned char* p);
inline PyObject* decode_field(const ColumnCodec& col, const unsigned char* p) {
    return col.decode ? col.decode(col, p) : decode_any(col, p);
}

// Decodes a return-value body of `size` bytes of element type `type`
// (a code resolved as for a column; CHAR and ARRA stop at the first zero
// byte, the overlay types take at most their overlay's width). Sets *decoded
// to false for a type code that matches no element type (not an error).
// Returns a new reference, or null: with an exception set when *decoded is
// true, without one when it is false.
PyObject* decode_body(PyObject* type, const unsigned char* body, uint32_t size, bool* decoded);

// Encodes `value` into field `col` at `out` (col.len bytes of room), with the
// bulk loader's type and range checks and messages. Returns 0, or -1 with an
// exception set (nothing written in that case is relied upon). `col` comes
// from a ColumnLayout resolved for Purpose::Write: every field writes exactly
// col.len bytes.
int encode_field(const ColumnCodec& col, PyObject* value, unsigned char* out);

// Encodes `value` as `face` packs it: encode_field, or encode_standard.
inline int encode_value(Face face, const ColumnCodec& col, PyObject* value, unsigned char* out, bool* is_null) {
    *is_null = false;
    return face == Face::Standard ? encode_standard(col, value, out, is_null) : encode_field(col, value, out);
}

}  // namespace qx::values
