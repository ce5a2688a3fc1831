// Result columns as Arrow arrays: one writer per column, chosen from its
// element type when the result is described, fills plain C buffers from the
// records a block at a time; a batch then leaves as one struct array whose
// children own those buffers. No Python object is made for a value.
#pragma once

#include "../cursor/cursor.h"
#include <nanoarrow/nanoarrow.h>

#include <memory>
#include <string>
#include <vector>

namespace qx::arrow {

// A growable buffer of malloc'd bytes, handed to an ArrowArray as it is.
struct Buffer {
    unsigned char* data = nullptr;
    size_t size = 0, capacity = 0;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();
    bool reserve(size_t more);  // false when out of memory
    unsigned char* take();      // the bytes, now the caller's to free
};

struct ColumnWriter;
using Append = bool (*)(ColumnWriter& w, const RecordBlock& b, uint32_t offset, uint32_t index);

// One column of the batch being built.
struct ColumnWriter {
    std::string name;
    int type;              // QSCLI_ET_*
    ArrowType arrow_type;
    Append append;
    uint32_t index = 0;    // the column's position in the record
    Buffer validity, values, bytes;  // bytes: text and binary data (values then holds int32 offsets)
    int64_t nulls = 0;
    bool utf8 = false;     // CHAR fields hold UTF-8 (QSCLI_ATTR_TEXT_UTF8), else CP866
    int precision = 0, scale = 0;  // a decimal128's
    std::string zone;      // a timestamp's timezone (timestamptz: UTC); empty for none
    int64_t bits = 0;      // a bool column's rows written (its values are bits)
};

class BatchBuilder {
public:
    // For the columns of `description` (names and element types); 0, or -1
    // with NotSupportedError for a type without an Arrow counterpart. `utf8`:
    // the records' text is UTF-8 (the connection's choice), else CP866.
    // `server_types` (may be empty): PostgreSQL's date and numeric(p, s),
    // which come as the server's text, become date32 and decimal128(p, s).
    int describe(PyObject* description, bool utf8, const std::vector<values::ServerType>& server_types);
    // Shows the timestamptz columns in `zone` (an Arrow time zone), not UTC.
    void show_zone(const std::string& zone);
    int schema(ArrowSchema* out) const;  // 0, or an errno (out released)
    // Whether the library's Arrow schema of the same result has this one's
    // types: its batches and ours can then follow one another in one stream.
    bool same_types(const ArrowSchema& theirs) const;
    // Adds a block of records; 0, or -1 with MemoryError set.
    int add(const RecordBlock& block);
    int64_t rows() const { return rows_; }
    size_t bytes() const;
    // Moves the rows added into `out` as a struct array, checked by
    // nanoarrow; 0, or an errno (out released, *why the reason).
    int finish(ArrowArray* out, std::string* why);

private:
    std::vector<std::unique_ptr<ColumnWriter>> columns_;
    int64_t rows_ = 0;
};

}  // namespace qx::arrow
