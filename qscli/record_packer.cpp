// Laying out and packing result records for either backend.
#include "record_packer.h"

#include <cstring>

namespace qse {

namespace {

constexpr uint64_t RECORD_LIMIT = 0x7fffffffu;

int too_big(Conn* c) { return c->fail(QSCLI_E_TOOBIG, "result records would exceed 2147483647 bytes"); }

}  // namespace

int RecordPacker::lay_out(Conn* c) {
    const int ncols = static_cast<int>(desc_.size());
    RecordShape& shape = own_;
    shape_ = &own_;
    uint64_t off = 0;
    for (ColStruct_t& d : desc_) {
        d.off = static_cast<uint32_t>(off);
        off += d.len;
        if (off > RECORD_LIMIT) return too_big(c);
    }
    shape.flags_at = static_cast<uint32_t>(off);
    off += st_->flag_bytes(ncols);
    // Only records with lengths of ARRA values keep where each one goes.
    shape.length_at.clear();
    for (int k = 0; k < ncols && st_->arra_lengths(); ++k) {
        if (desc_[k].type != QSCLI_ET_ARRA) continue;
        shape.length_at.resize(static_cast<size_t>(ncols), 0);
        shape.length_at[k] = static_cast<uint32_t>(off), off += 4;
    }
    if (off > RECORD_LIMIT) return too_big(c);
    // A row of no columns (PostgreSQL's "select from t") still takes a byte:
    // records of no size would read as no rows, and 0 as no result.
    if (off == 0) off = 1;
    shape.trailer = static_cast<uint32_t>(off) - shape.flags_at;
    shape.size = static_cast<uint32_t>(off);
    rec_size_ = shape.size;
    out_.reset(rec_size_, spill_);
    return 0;
}

void RecordPacker::lay_out_as(const RecordShape& shape) {
    shape_ = &shape;
    rec_size_ = shape.size;
    out_.reset(rec_size_, spill_);
}

bool RecordPacker::put(int k, const Value& v, unsigned char* rec, std::string* why) const {
    const ColStruct_t& d = desc_[k];
    if (pack_exact(d.type, v, rec + d.off)) return true;
    uint32_t width = 0;
    if (pack_value(d.type, d.len, v, rec + d.off, why, &width)) return false;
    const RecordShape& shape = *shape_;
    if (v.kind == VKind::Null && st_->null_flags) rec[shape.flags_at + k / 8] |= static_cast<unsigned char>(1u << (k & 7));
    if (!shape.length_at.empty() && shape.length_at[k])
        for (int b = 0; b < 4; ++b) rec[shape.length_at[k] + b] = static_cast<unsigned char>(width >> (8 * b));
    return true;
}

void copy_name(char* dst, const std::string& cp866) {
    // CP866 is one byte a character, so the cut never splits one; in UTF-8
    // it stops before the character it would split.
    size_t n = cp866.size() < 31 ? cp866.size() : 31;
    if (n < cp866.size())
        while (n > 0 && (static_cast<unsigned char>(cp866[n]) & 0xC0) == 0x80) --n;
    std::memcpy(dst, cp866.data(), n);
    dst[n] = 0;
}

}  // namespace qse
