// Streamed results: records made from a RowSource a batch at a time, as
// they are read. Each batch is laid out by the widths of its own variable
// values, so one long value widens only the records of its batch; a row that
// would make a full batch wider than the batch budget starts the next one.
// A result that does not stream is one batch of the whole source.
#include "stream.h"

#include "elemtype.h"
#include "record_packer.h"
#include "stage.h"
#include "text.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace qse {

namespace {

// The first batch is small, so the first row comes at once; later ones
// hold about a megabyte of records.
constexpr uint64_t FIRST_ROWS = 64;
constexpr uint64_t FIRST_BYTES = 16u << 10;
constexpr uint64_t BATCH_BYTES = 1u << 20;
constexpr uint64_t WIDTH_LIMIT = 0x7fffffffu;
constexpr uint64_t RECORD_LIMIT = 0x7fffffffu;

struct Limits {
    uint64_t rows;   // 0: no limit
    uint64_t bytes;  // of records; 0: no limit
};

bool variable(const ColStruct_t& d) { return d.len == 0 && (d.type == QSCLI_ET_CHAR || d.type == QSCLI_ET_ARRA); }

// What the values of a column of inferred type were: its type follows.
struct Seen {
    bool text = false, blob = false, real = false, big = false;
};

// Why the packer refuses a text for a CHAR column, in its words.
std::string packer_why(const Value& v) {
    std::string why;
    std::vector<unsigned char> room(v.n + 1);
    pack_value(QSCLI_ET_CHAR, static_cast<uint32_t>(v.n), v, room.data(), &why, nullptr);
    return why;
}

// Rows appended at the end of one piece of memory, not cleared first.
class HeldRows {
public:
    // Room for n more bytes; null when memory fails.
    unsigned char* append(size_t n) {
        if (cap_ - used_ < n && !grow(n)) return nullptr;
        unsigned char* p = mem_.get() + used_;
        used_ += n;
        return p;
    }
    void cut(size_t n) { used_ = n; }
    size_t size() const { return used_; }
    const unsigned char* data() const { return mem_.get(); }

private:
    bool grow(size_t n) {
        const size_t cap = std::max(used_ + n, cap_ ? 2 * cap_ : size_t(1) << 12);
        std::unique_ptr<unsigned char[]> mem(new (std::nothrow) unsigned char[cap]);
        if (!mem) return false;
        if (used_) std::memcpy(mem.get(), mem_.get(), used_);
        mem_ = std::move(mem);
        cap_ = cap;
        return true;
    }
    std::unique_ptr<unsigned char[]> mem_;
    size_t used_ = 0, cap_ = 0;
};

// A stream's batch (it may not spill: its budget bounds it) until its
// widths are known: each row's fixed fields packed as they will stand in its
// record, in a record without the variable columns (`desc`, those 0 bytes
// wide; the trailer the same), `size` bytes a row in `rows`; its variable
// values staged one after another in `bytes` as stage_variable makes them.
// A record is then the runs of fixed fields copied, the variable values put
// between them: a fixed value is packed once, a text copied twice at most.
struct Held {
    std::vector<ColStruct_t> desc;
    RecordStore unused;  // the held packer's store: the rows are kept in `rows`
    uint32_t size = 0;
    uint32_t trailer = 0;  // the bytes at the end of a row that start cleared
    HeldRows rows;
    std::string bytes;
};

class BatchMaker {
public:
    // A streamed result's next batch.
    BatchMaker(Conn* c, Stmt* st, Limits lim)
        : BatchMaker(c, st, st->streamed, st->source.get(), st->streamed.columns, lim, nullptr) {
        owner_ = &st->source;
    }
    // A stream's first batch from a source its backend holds, by the columns
    // and the plan it keeps (worked out here when not ready for these records).
    BatchMaker(Conn* c, Stmt* st, RowSource& source, const std::vector<ColStruct_t>& columns, BatchPlan& plan,
               Limits lim)
        : BatchMaker(c, st, st->streamed, &source, columns, lim, nullptr, &plan) {}
    // A whole result (`inferred` set, one flag a column): failures are
    // reported at once.
    BatchMaker(Conn* c, Stmt* st, Streamed& s, RowSource* source, const std::vector<ColStruct_t>& cols, Limits lim,
               const std::vector<bool>* inferred, BatchPlan* kept = nullptr)
        : c_(c), st_(st), s_(s), source_(source), cols_(cols), lim_(lim), ncols_(cols_.size()), values_(s.row),
          whole_(inferred != nullptr), inferred_(inferred), plan_(kept ? *kept : own_plan_), keep_(kept != nullptr) {
        if (!plan_.ready || plan_.null_flags != st_->null_flags) work_out_plan();
        if (inferred_ && !plan_.fixed) seen_.resize(ncols_);
    }
    // Makes records into desc, rec_size and out from the row left over by
    // the last batch and then the source; their count. A failure ends the
    // source and waits in Streamed::error for the read after these records.
    uint64_t make(std::vector<ColStruct_t>& desc, uint32_t& rec_size, RecordStore& out, bool spill);

private:
    uint64_t stage_rows(RecordStore& staged, std::vector<uint64_t>& widths);
    uint64_t hold_rows(Held& held, std::vector<uint64_t>& widths);
    int take_row();
    void carry_row(const char* staged, size_t n, const std::vector<uint64_t>& widths);
    uint64_t assemble(const Held& held, uint64_t rows, std::vector<ColStruct_t>& desc, uint32_t& rec_size,
                      RecordStore& out);
    uint64_t pack_rows(std::vector<ColStruct_t>& desc, uint32_t& rec_size, RecordStore& out, bool spill);
    int next_row(std::string& row, std::vector<uint64_t>& widths);
    bool stage_variable(size_t k, const Value& v, std::string& row, uint64_t& width);
    bool stage_inferred(size_t k, const Value& v, std::string& row, uint64_t& width);
    void infer_types(std::vector<ColStruct_t>& desc) const;
    uint64_t record_bytes(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) const;
    uint64_t pack(RecordStore& staged, uint64_t rows, std::vector<ColStruct_t>& desc, uint32_t& rec_size,
                  RecordStore& out);
    // A failure of the builder's own; one the source or the packer met
    // is already reported (reported).
    void fail(int code, const std::string& text) {
        if (whole_) c_->fail(code, text);
        reported(code);
        s_.error_text = text;
    }
    void reported(int code) {
        s_.error = code;
        s_.error_text = c_->last_text();
        s_.carry.clear();
        end_source();
    }
    void end_source() {
        if (source_) source_->close();
        source_ = nullptr;
        if (owner_) owner_->reset();
    }
    bool inferred(size_t k) const { return inferred_ && (*inferred_)[k]; }
    void work_out_plan();

    Conn* c_;
    Stmt* st_;
    Streamed& s_;
    RowSource* source_;
    std::unique_ptr<RowSource>* owner_ = nullptr;  // a stream's: ended with it
    const std::vector<ColStruct_t>& cols_;
    Limits lim_;
    size_t ncols_;
    std::vector<Value>& values_;  // s_.row
    bool ended_ = false;
    bool whole_;
    const std::vector<bool>* inferred_;  // columns whose type their values decide
    std::vector<Seen> seen_;
    BatchPlan own_plan_;
    BatchPlan& plan_;  // own_plan_, or the one the backend keeps
    bool keep_;        // plan_ is the backend's: what is worked out stays for the next result
};

void BatchMaker::work_out_plan() {
    BatchPlan& p = plan_;
    p = BatchPlan();
    p.null_flags = st_->null_flags;
    p.fixed_bytes = st_->flag_bytes(static_cast<int>(ncols_));
    for (size_t k = 0; k < ncols_; ++k) {
        p.fixed = p.fixed && !variable(cols_[k]) && !inferred(k);
        if (variable(cols_[k])) p.varying.push_back(k);
        else p.fixed_bytes += cols_[k].len;
        if (st_->arra_lengths() && cols_[k].type == QSCLI_ET_ARRA) p.fixed_bytes += 4;
    }
    p.ready = true;
}

// Variable text and bytes are staged as they will be packed (text in CP866,
// numbers as the column shows them), so their widths are the true ones.
bool BatchMaker::stage_variable(size_t k, const Value& v, std::string& row, uint64_t& width) {
    if (v.kind == VKind::Null) {
        stage_value(v, row);
        return true;
    }
    const bool text = cols_[k].type == QSCLI_ET_CHAR;
    char buf[40];
    size_t n = 0;
    const unsigned char* p = field_bytes(v, buf, &n);
    // The kind, the length, then the bytes: CP866 is never longer than its UTF-8.
    const size_t at = row.size();
    row.resize(at + 5 + n);
    unsigned char* out = reinterpret_cast<unsigned char*>(&row[at]);
    out[0] = static_cast<unsigned char>(text ? VKind::Text866 : VKind::Blob);
    size_t len = n;
    if (text && (v.kind == VKind::Text || v.kind == VKind::Blob)) {
        if (utf8_to_cp866(p, n, out + 5, n, &len) != TextStatus::Ok) {
            fail(QSCLI_E_MISMATCH, column_label(cols_[k]) + packer_why(v));
            return false;
        }
        row.resize(at + 5 + len);
    } else if (n) {
        std::memcpy(out + 5, p, n);
    }
    if (len > WIDTH_LIMIT) {
        fail(QSCLI_E_TOOBIG, column_label(cols_[k]) + "value of more than 2147483647 bytes");
        return false;
    }
    const uint32_t len32 = static_cast<uint32_t>(len);
    std::memcpy(&row[at + 1], &len32, 4);
    width = len;
    return true;
}

// A column of inferred type: text goes in as CP866 (its width is what it
// takes there), numbers as they are, measured as the column would show them.
bool BatchMaker::stage_inferred(size_t k, const Value& v, std::string& row, uint64_t& width) {
    Seen& seen = seen_[k];
    switch (v.kind) {
    case VKind::Text:
    case VKind::Text866: {
        seen.text = true;
        row.push_back(static_cast<char>(VKind::Text866));
        const size_t at = row.size();
        row.append(4, '\0');
        if (v.kind == VKind::Text866) {
            row.append(reinterpret_cast<const char*>(v.p), v.n);
        } else if (utf8_to_cp866(v.p, v.n, row) != TextStatus::Ok) {
            fail(QSCLI_E_MISMATCH, column_label(cols_[k]) + packer_why(v));
            return false;
        }
        const uint32_t len = static_cast<uint32_t>(row.size() - at - 4);
        std::memcpy(&row[at], &len, 4);
        width = len;
        return true;
    }
    case VKind::Int:
        if (v.i < INT32_MIN || v.i > INT32_MAX) seen.big = true;
        width = digits_of(v.i);
        break;
    case VKind::Float: {
        seen.real = true;
        char buf[40];
        width = render_number(v, buf, sizeof buf);
        break;
    }
    case VKind::Blob:
        seen.blob = true;
        width = v.n;
        break;
    default: break;
    }
    stage_value(v, row);
    return true;
}

// The type of each inferred column from what its values were: no value
// makes it LONG.
void BatchMaker::infer_types(std::vector<ColStruct_t>& desc) const {
    for (size_t k = 0; k < ncols_; ++k) {
        if (!inferred(k)) continue;
        const Seen& seen = seen_[k];
        int& type = desc[k].type;
        if (seen.blob) type = QSCLI_ET_ARRA;
        else if (seen.text) type = QSCLI_ET_CHAR;
        else if (seen.big && !seen.real && st_->int64) type = QSCLI_ET_INT64;
        else if (seen.real || seen.big) type = QSCLI_ET_DFLT;
        else type = QSCLI_ET_LONG;
        if (type != QSCLI_ET_CHAR && type != QSCLI_ET_ARRA) desc[k].len = natural_width(type);
    }
}

// 1 with the source's next row staged at the end of `row`, 0 at its end,
// <0 when it failed.
int BatchMaker::next_row(std::string& row, std::vector<uint64_t>& widths) {
    if (!source_) return 0;
    values_.resize(ncols_);
    const int rc = source_->next(values_);
    if (rc == 0) {
        ended_ = true;
        end_source();
        return 0;
    }
    if (rc < 0) {
        reported(rc);
        return rc;
    }
    widths.assign(ncols_, 0);
    for (size_t k = 0; k < ncols_; ++k) {
        if (inferred(k)) {
            if (!stage_inferred(k, values_[k], row, widths[k])) return -1;
        } else if (!variable(cols_[k])) {
            stage_value(values_[k], row);
        } else if (!stage_variable(k, values_[k], row, widths[k])) {
            return -1;
        }
    }
    return 1;
}

// Bytes of a record whose variable columns are as wide as the wider of a
// and b (at least one byte).
uint64_t BatchMaker::record_bytes(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) const {
    uint64_t n = plan_.fixed_bytes;
    for (size_t k : plan_.varying) n += std::max<uint64_t>({a[k], b[k], 1});
    return n;
}

// Stages rows until the batch is full; their count, with the widest value
// of each variable column in `widths`.
uint64_t BatchMaker::stage_rows(RecordStore& staged, std::vector<uint64_t>& widths) {
    std::vector<uint64_t> row_widths(ncols_, 0);
    std::string row;
    uint64_t rows = 0;
    for (;;) {
        if (!s_.carry.empty()) {
            row.swap(s_.carry);
            s_.carry.clear();
            row_widths = s_.carry_widths;
        } else {
            row.clear();
            if (next_row(row, row_widths) <= 0) return rows;
        }
        const uint64_t bytes = record_bytes(widths, row_widths);
        if (rows && lim_.bytes && (rows + 1) * bytes > lim_.bytes) {
            s_.carry.swap(row);
            s_.carry_widths = row_widths;
            return rows;
        }
        if (!staged.append_bytes(row.data(), row.size())) {
            fail(QSCLI_E_IO, "cannot keep the result records");
            return rows;
        }
        ++rows;
        for (size_t k = 0; k < ncols_; ++k) widths[k] = std::max(widths[k], row_widths[k]);
        if ((lim_.rows && rows >= lim_.rows) || (lim_.bytes && (rows * bytes >= lim_.bytes || staged.count() >= lim_.bytes)))
            return rows;
    }
}

// The next row in values_: the one left by the batch before (borrowed from
// s_.carry until the row is held), else the source's; 1, 0 at the end, <0
// when it failed.
int BatchMaker::take_row() {
    values_.resize(ncols_);
    if (!s_.carry.empty()) {
        BytesReader in(s_.carry);
        for (Value& v : values_)
            if (!unstage_value(in, v)) return fail(QSCLI_E_IO, "cannot keep the result records"), -1;
        return 1;
    }
    if (!source_) return 0;
    const int rc = source_->next(values_);
    if (rc == 0) {
        ended_ = true;
        end_source();
    } else if (rc < 0) {
        reported(rc);
    }
    return rc;
}

// Leaves the row in values_, whose variable values are staged in `staged`,
// for the next batch, staged as next_row stages one.
void BatchMaker::carry_row(const char* staged, size_t n, const std::vector<uint64_t>& widths) {
    std::string& row = s_.carry;
    row.clear();
    BytesReader in(std::string_view(staged, n));
    Value v;
    for (size_t k = 0; k < ncols_; ++k) {
        if (!variable(cols_[k])) stage_value(values_[k], row);
        else if (unstage_value(in, v)) stage_value(v, row);
    }
    s_.carry_widths = widths;
}

// stage_rows for a batch held in `held`: the rows until it is full, their
// count, with the widest value of each variable column in `widths`.
uint64_t BatchMaker::hold_rows(Held& held, std::vector<uint64_t>& widths) {
    held.desc = cols_;
    for (ColStruct_t& d : held.desc)
        if (variable(d)) d.len = 0;
    RecordPacker packer(st_, held.desc, held.unused, held.size, false);
    if (int rc = packer.lay_out(c_)) return reported(rc), 0;
    held.trailer = held.size - (held.desc.back().off + held.desc.back().len);
    std::vector<uint64_t> row_widths(ncols_, 0);
    std::string why;
    uint64_t rows = 0;
    for (;;) {
        if (take_row() <= 0) return rows;
        const size_t rows_at = held.rows.size(), bytes_at = held.bytes.size();
        unsigned char* rec = held.rows.append(held.size);
        if (!rec) return fail(QSCLI_E_IO, "cannot keep the result records"), rows;
        std::memset(rec + held.size - held.trailer, 0, held.trailer);
        size_t k = 0;
        for (; k < ncols_; ++k) {
            const Value& v = values_[k];
            if (variable(cols_[k])) {
                row_widths[k] = 0;
                if (!stage_variable(k, v, held.bytes, row_widths[k])) break;
            } else if (!packer.put(static_cast<int>(k), v, rec, &why)) {
                fail(QSCLI_E_MISMATCH, column_label(cols_[k]) + why);
                break;
            }
        }
        const uint64_t bytes = k < ncols_ ? 0 : record_bytes(widths, row_widths);
        const bool past = k == ncols_ && rows && lim_.bytes && (rows + 1) * bytes > lim_.bytes;
        if (past) carry_row(held.bytes.data() + bytes_at, held.bytes.size() - bytes_at, row_widths);
        if (k < ncols_ || past) {
            held.rows.cut(rows_at);
            held.bytes.resize(bytes_at);
            return rows;
        }
        s_.carry.clear();  // the row it left is held now
        ++rows;
        for (size_t j : plan_.varying) widths[j] = std::max(widths[j], row_widths[j]);
        if ((lim_.rows && rows >= lim_.rows) ||
            (lim_.bytes && (rows * bytes >= lim_.bytes || held.rows.size() + held.bytes.size() >= lim_.bytes)))
            return rows;
    }
}

// The records of a held batch laid out by desc: each row's runs of fixed
// fields and its trailer copied as they are, its variable values put
// between them.
uint64_t BatchMaker::assemble(const Held& held, uint64_t rows, std::vector<ColStruct_t>& desc, uint32_t& rec_size,
                              RecordStore& out) {
    RecordPacker packer(st_, desc, out, rec_size, false);
    if (int rc = packer.lay_out(c_)) {
        out.reset(1);
        reported(rc);
        return 0;
    }
    struct Run {
        uint32_t from, to, n;
    };
    std::vector<Run> runs;
    auto add = [&runs](uint32_t from, uint32_t to, uint32_t n) {
        if (!runs.empty() && runs.back().from + runs.back().n == from && runs.back().to + runs.back().n == to)
            runs.back().n += n;
        else if (n)
            runs.push_back(Run{from, to, n});
    };
    for (size_t k = 0; k < ncols_; ++k)
        if (!variable(cols_[k])) add(held.desc[k].off, desc[k].off, desc[k].len);
    add(held.size - held.trailer, rec_size - held.trailer, held.trailer);
    const unsigned char* src = held.rows.data();
    BytesReader in(held.bytes);
    std::string why;
    Value v;
    for (uint64_t r = 0; r < rows; ++r, src += held.size) {
        // The source is done with, so a cancel no longer reaches it here.
        if ((r & 1023) == 0 && c_->cancel_requested()) return fail(QSCLI_E_INTERRUPTED, "interrupted"), out.finish(), r;
        unsigned char* rec = packer.new_record();
        if (!rec) return fail(QSCLI_E_IO, "cannot keep the result records"), out.finish(), r;
        for (const Run& run : runs) std::memcpy(rec + run.to, src + run.from, run.n);
        for (size_t k : plan_.varying) {
            if (!unstage_value(in, v)) return fail(QSCLI_E_IO, "cannot keep the result records"), out.finish(), r;
            if (!packer.put(static_cast<int>(k), v, rec, &why))
                return fail(QSCLI_E_MISMATCH, column_label(cols_[k]) + why), out.finish(), r;
        }
    }
    if (!out.finish()) return fail(QSCLI_E_IO, "cannot keep the result records"), 0;
    return rows;
}

// Rows of fixed widths only: packed as the source gives them.
uint64_t BatchMaker::pack_rows(std::vector<ColStruct_t>& desc, uint32_t& rec_size, RecordStore& out, bool spill) {
    RecordPacker packer(st_, desc, out, rec_size, spill);
    if (plan_.laid) {
        desc = plan_.desc;
        packer.lay_out_as(plan_.shape);
    } else {
        desc = cols_;
        if (int rc = packer.lay_out(c_)) {
            out.reset(1);
            reported(rc);
            return 0;
        }
        if (keep_) {
            plan_.desc = desc;
            plan_.shape = packer.shape();
            plan_.laid = true;
        }
    }
    std::string why;
    uint64_t rows = 0;
    while (!(lim_.rows && rows >= lim_.rows) && !(lim_.bytes && rows && (rows + 1) * rec_size > lim_.bytes)) {
        if (!source_) break;
        values_.resize(ncols_);
        const int rc = source_->next(values_);
        if (rc == 0) {
            ended_ = true;
            end_source();
            break;
        }
        if (rc < 0) {
            reported(rc);
            break;
        }
        unsigned char* rec = packer.new_record();
        if (!rec) {
            fail(QSCLI_E_IO, "cannot keep the result records");
            break;
        }
        size_t k = 0;
        while (k < ncols_ && packer.put(static_cast<int>(k), values_[k], rec, &why)) ++k;
        if (k < ncols_) {
            fail(QSCLI_E_MISMATCH, column_label(cols_[k]) + why);
            break;
        }
        ++rows;
    }
    if (!out.finish()) return fail(QSCLI_E_IO, "cannot keep the result records"), 0;
    return rows;
}

uint64_t BatchMaker::make(std::vector<ColStruct_t>& desc, uint32_t& rec_size, RecordStore& out, bool spill) {
    s_.making = true;
    uint64_t rows;
    if (plan_.fixed) {
        rows = pack_rows(desc, rec_size, out, spill);
    } else {
        std::vector<uint64_t> widths(ncols_, 0);
        Held held;
        RecordStore staged;
        if (spill) staged.reset(1, spill);
        rows = spill ? stage_rows(staged, widths) : hold_rows(held, widths);
        desc = cols_;
        infer_types(desc);
        for (size_t k = 0; k < ncols_; ++k)
            if (variable(desc[k]) || (inferred(k) && (desc[k].type == QSCLI_ET_CHAR || desc[k].type == QSCLI_ET_ARRA)))
                desc[k].len = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(widths[k], 1), WIDTH_LIMIT));
        if (!spill)
            rows = assemble(held, rows, desc, rec_size, out);
        else if (staged.finish())
            rows = pack(staged, rows, desc, rec_size, out);
        else
            rows = (fail(QSCLI_E_IO, "cannot keep the result records"), 0);
    }
    // Records are numbered by a signed 32-bit start.
    if (s_.made + rows > RECORD_LIMIT) {
        rows = RECORD_LIMIT - s_.made;
        fail(QSCLI_E_TOOBIG, "result has more than 2147483647 records");
    }
    s_.made += rows;
    if (ended_ && !s_.error) {
        s_.complete = true;
        st_->rows = s_.made;
    }
    s_.making = false;
    return rows;
}

// Packs the staged rows; those before a value that does not fit.
uint64_t BatchMaker::pack(RecordStore& staged, uint64_t rows, std::vector<ColStruct_t>& desc, uint32_t& rec_size,
                          RecordStore& out) {
    RecordPacker packer(st_, desc, out, rec_size);
    if (int rc = packer.lay_out(c_)) {
        out.reset(1);
        reported(rc);
        return 0;
    }
    StageReader in(staged);
    std::string why;
    Value v;
    for (uint64_t r = 0; r < rows; ++r) {
        // The source is done with, so a cancel no longer reaches it here.
        if ((r & 1023) == 0 && c_->cancel_requested()) return fail(QSCLI_E_INTERRUPTED, "interrupted"), out.finish(), r;
        unsigned char* rec = packer.new_record();
        if (!rec) return fail(QSCLI_E_IO, "cannot keep the result records"), out.finish(), r;
        for (size_t k = 0; k < ncols_; ++k) {
            if (!unstage_value(in, v)) return fail(QSCLI_E_IO, "cannot keep the result records"), out.finish(), r;
            if (!packer.put(static_cast<int>(k), v, rec, &why))
                return fail(QSCLI_E_MISMATCH, column_label(cols_[k]) + why), out.finish(), r;
        }
    }
    if (!out.finish()) return fail(QSCLI_E_IO, "cannot keep the result records"), 0;
    return rows;
}

// The batch after the current one (the rest read ahead, else new records
// from the source); 0, or the failure the stream met there.
int next_batch(Conn* c, Stmt* st) {
    Streamed& s = st->streamed;
    s.first += s.count;
    s.count = 0;
    if (!s.rest.empty()) {
        Batch& next = s.rest.front();
        std::swap(st->desc, next.desc);
        st->rec_size = next.rec_size;
        st->records.swap(next.records);
        s.count = next.count;
        s.rest.pop_front();
        return 0;
    }
    if (s.error) {
        const int code = s.error;
        s.error = 0;
        s.finished = true;
        st->records.clear();
        return c->fail(code, s.error_text);
    }
    if (!st->source && s.carry.empty()) {
        s.finished = true;
        st->records.clear();
        return 0;
    }
    s.count = BatchMaker(c, st, Limits{0, BATCH_BYTES}).make(st->desc, st->rec_size, st->records, false);
    return s.count ? 0 : next_batch(c, st);
}

}  // namespace

std::string column_label(const ColStruct_t& d) {
    const char* name = d.asname[0] ? d.asname : d.fname;
    std::string out = "column ";
    cp866_to_utf8(reinterpret_cast<const unsigned char*>(name), std::strlen(name), out);
    return out + ": ";
}

namespace {

// The stream's state before its first batch, of `ncols` columns.
void start(Stmt* st, size_t ncols) {
    Streamed& s = st->streamed;
    s.reset();
    s.on = true;
    st->ncols = static_cast<int>(ncols);
    st->rows = 0;
    st->results = true;
    st->sab_type = 1;
}

constexpr Limits FIRST_BATCH{FIRST_ROWS, FIRST_BYTES};

}  // namespace

int stream_start(Conn* c, Stmt* st) {
    start(st, st->desc.size());
    // The batch lays the result out afresh in st->desc from these.
    st->streamed.columns.swap(st->desc);
    st->streamed.count = BatchMaker(c, st, FIRST_BATCH).make(st->desc, st->rec_size, st->records, false);
    return 0;
}

int stream_start(Conn* c, Stmt* st, RowSource& source, const std::vector<ColStruct_t>& columns, BatchPlan& plan) {
    start(st, columns.size());
    st->streamed.count =
        BatchMaker(c, st, source, columns, plan, FIRST_BATCH).make(st->desc, st->rec_size, st->records, false);
    return 0;
}

int read_result(Conn* c, Stmt* st, RowSource& source, const std::vector<ColStruct_t>& columns,
                const std::vector<bool>& inferred) {
    Streamed whole;
    const uint64_t rows = BatchMaker(c, st, whole, &source, columns, Limits{0, 0}, &inferred)
                              .make(st->desc, st->rec_size, st->records, true);
    if (whole.error) {
        st->clear_result();
        return whole.error;
    }
    st->rows = rows;
    st->ncols = static_cast<int>(st->desc.size());
    st->results = true;
    st->sab_type = 1;
    return 0;
}

int stream_read(Conn* c, Stmt* st, uint64_t start, void* buf, unsigned size, unsigned* delivered) {
    Streamed& s = st->streamed;
    // Records of the batches before are gone.
    if (start < s.first) return QSCLI_E_ARGUMENT;
    const uint64_t end = s.first + s.count;
    if (start < end) {
        if (!buf || size < st->rec_size) return QSCLI_E_ARGUMENT;
        const uint64_t cap = std::min<uint64_t>(size, (end - start) * st->rec_size);
        const int64_t got = st->records.read(start - s.first, buf, cap);
        if (got < 0) return QSCLI_E_IO;
        *delivered = static_cast<unsigned>(got);
        return 0;
    }
    if (start > end || s.finished) return 0;
    BusyGuard held_stmt(st->busy), held_conn(c->busy);
    return next_batch(c, st);
}

// Reads the rest of the result ahead, batch by batch as next_batch would: one
// batch of it all would be as wide as its longest value in every record.
void stream_drain(Conn* c, Stmt* st) {
    Streamed& s = st->streamed;
    if (s.making || !s.rest.empty()) return;
    while ((st->source || !s.carry.empty()) && !s.error) {
        Batch& batch = s.rest.emplace_back();
        batch.count = BatchMaker(c, st, Limits{0, BATCH_BYTES}).make(batch.desc, batch.rec_size, batch.records, true);
        if (!batch.count) s.rest.pop_back();
    }
}

void drain_streams(Conn* c) {
    for (Stmt* st : c->stmts)
        if (st->source || !st->streamed.carry.empty()) stream_drain(c, st);
}

}  // namespace qse
