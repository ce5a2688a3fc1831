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

class RecordPacker {
public:
    explicit RecordPacker(Stmt* st) : RecordPacker(st, st->desc, st->records, st->rec_size) {}
    // Packs into other records than the statement's own (a streamed result's
    // rest), by the statement's settings; `spill` as RecordStore::reset.
    RecordPacker(Stmt* st, std::vector<ColStruct_t>& desc, RecordStore& out, uint32_t& rec_size, bool spill = true)
        : st_(st), desc_(desc), out_(out), rec_size_(rec_size), spill_(spill) {}
    // Lays records out by the element types and widths in desc (which gets
    // the offsets) and readies the records for them. 0, or QSCLI_E_TOOBIG
    // reported through c when a record would pass 2^31 bytes.
    int lay_out(Conn* c);
    // A new record at the end of the records, its trailer cleared; null when
    // the store fails.
    unsigned char* new_record() {
        unsigned char* rec = out_.append();
        if (rec && trailer_) std::memset(rec + flags_at_, 0, trailer_);
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
    uint32_t flags_at_ = 0;            // where the trailer begins
    uint32_t trailer_ = 0;             // its bytes
    std::vector<uint32_t> length_at_;  // per column: offset of its ARRA length, or 0; empty when none has one
};

// The column record's name fields hold 31 bytes and a NUL.
void copy_name(char* dst, const std::string& cp866);

}  // namespace qse
