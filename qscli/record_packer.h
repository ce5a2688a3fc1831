// The records of a result set, the same on every backend: fields in column
// order at the widths of the column record, then the optional trailer (null
// flags, then the lengths of the ARRA values).
#pragma once

#include "conn.h"
#include "stmt_handle.h"
#include "value.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qse {

// Where the parts of a record stand, as lay_out() works them out from the
// columns: kept, it lays the next records of the same columns out as they are.
struct RecordShape {
    uint32_t size = 0;                 // the record's bytes
    uint32_t flags_at = 0;             // where the trailer begins
    uint32_t trailer = 0;              // its bytes
    std::vector<uint32_t> length_at;   // per column: offset of its ARRA length, or 0; empty when none has one
};

class RecordPacker {
public:
    explicit RecordPacker(Stmt* st) : RecordPacker(st, st->desc, st->records, st->rec_size) {}
    // Packs into other records than the statement's own (a streamed result's
    // rest), by the statement's settings; `spill` as RecordStore::reset.
    RecordPacker(Stmt* st, std::vector<ColStruct_t>& desc, RecordStore& out, uint32_t& rec_size, bool spill = true)
        : st_(st), desc_(desc), out_(out), rec_size_(rec_size), spill_(spill) {}
    RecordPacker(const RecordPacker&) = delete;
    RecordPacker& operator=(const RecordPacker&) = delete;
    // Lays records out by the element types and widths in desc (which gets
    // the offsets) and readies the records for them. 0, or QSCLI_E_TOOBIG
    // reported through c when a record would pass 2^31 bytes.
    int lay_out(Conn* c);
    // Lays records out as `shape` (kept from lay_out() of the same columns
    // under the same settings; desc holds their offsets) and readies the
    // records for them.
    void lay_out_as(const RecordShape& shape);
    const RecordShape& shape() const { return *shape_; }
    // A new record at the end of the records, its trailer cleared; null when
    // the store fails.
    unsigned char* new_record() {
        unsigned char* rec = out_.append();
        if (rec && shape_->trailer) std::memset(rec + shape_->flags_at, 0, shape_->trailer);
        return rec;
    }
    // Packs `v` into column k of `rec` and marks it in the trailer. False,
    // with the reason in *why, for a value that does not fit.
    bool put(int k, const Value& v, unsigned char* rec, std::string* why) const;

private:
    Stmt* st_;
    std::vector<ColStruct_t>& desc_;
    RecordStore& out_;
    uint32_t& rec_size_;
    bool spill_;
    RecordShape own_;                   // what lay_out() worked out
    const RecordShape* shape_ = &own_;  // own_, or the shape lay_out_as() was given
};

// The column record's name fields hold 31 bytes and a NUL.
void copy_name(char* dst, const std::string& cp866);

}  // namespace qse
