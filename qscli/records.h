// Result records: append-only storage, spilling to a temporary file.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace qse {

// Append-only storage of fixed-size records (or of bytes, with size 1), in
// chunks that start small and double up to about a megabyte; chunks beyond
// the memory budget go to an anonymous temporary file.
class RecordStore {
public:
    RecordStore() = default;
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;
    ~RecordStore();

    // Empties the store for records of rec_size bytes; `spill` false keeps
    // them all in memory (a streamed batch, bounded by its own size).
    void reset(uint32_t rec_size, bool spill = true);
    void clear();
    void swap(RecordStore& other);
    // Room for one more record (rec_size bytes, contents undefined); null
    // when memory or the temporary file fails.
    unsigned char* append() {
        if (used_ == cap_) {
            if (!next_chunk()) return nullptr;
        }
        return cur_ + (used_++) * rec_;
    }
    // Appends raw bytes (byte stores).
    bool append_bytes(const void* p, size_t n);
    // Makes everything appended readable.
    bool finish();
    uint64_t count() const { return base_ + used_; }
    uint32_t rec_size() const { return rec_; }
    // Copies whole records from `start` into buf (cap bytes); bytes copied,
    // or -1 on an I/O error.
    int64_t read(uint64_t start, void* buf, uint64_t cap);
    static void set_memory_budget(uint64_t bytes);

private:
    struct Chunk {
        std::unique_ptr<unsigned char[]> mem;  // null when in the file
        uint64_t first = 0;                    // its first record
        size_t cap = 0;                        // records it holds
        uint64_t file_off = 0;
    };
    bool next_chunk();
    bool spill_current();

    uint32_t rec_ = 1;
    size_t cap_ = 0;        // records the current chunk holds
    size_t used_ = 0;       // records in the current chunk
    uint64_t base_ = 0;     // records before the current chunk
    unsigned char* cur_ = nullptr;
    std::vector<Chunk> chunks_;
    uint64_t mem_bytes_ = 0;
    std::unique_ptr<unsigned char[]> spill_buf_;  // the current chunk once spilling
    // The first chunk of the last result, kept for the next one: a run of
    // small statements allocates nothing for its records.
    std::unique_ptr<unsigned char[]> spare_;
    size_t spare_bytes_ = 0;
    size_t spill_cap_ = 0;
    bool spilling_ = false;
    bool may_spill_ = true;
    uint64_t file_end_ = 0;
    int fd_ = -1;
};

// Reads the records of a store back in order through a window of at most
// 1 MiB (staged rows of both backends).
class StageReader {
public:
    explicit StageReader(RecordStore& s) : s_(s), total_(s.count()) {}
    const unsigned char* take(size_t n) {
        if (len_ - at_ < n) {
            if (len_ > at_) std::memmove(win_.data(), win_.data() + at_, len_ - at_);
            len_ -= at_;
            at_ = 0;
            uint64_t left_all = total_ - pos_ + len_;
            size_t want = left_all < (1u << 20) ? static_cast<size_t>(left_all) : (1u << 20);
            if (want < n) want = n;
            if (win_.size() < want) win_.resize(want);
            uint64_t left = total_ - pos_;
            size_t room = win_.size() - len_;
            size_t get = left < room ? static_cast<size_t>(left) : room;
            if (get) {
                int64_t got = s_.read(pos_, win_.data() + len_, get);
                if (got != static_cast<int64_t>(get)) return nullptr;
                pos_ += get;
                len_ += get;
            }
            if (len_ < n) return nullptr;
        }
        const unsigned char* p = win_.data() + at_;
        at_ += n;
        return p;
    }

private:
    RecordStore& s_;
    uint64_t total_;
    uint64_t pos_ = 0;
    std::vector<unsigned char> win_;
    size_t at_ = 0, len_ = 0;
};

}  // namespace qse
