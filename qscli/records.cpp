// Result records in chunks. The first chunk is small, so a query of a few
// rows costs no more than it needs; later chunks double up to about a
// megabyte. A result larger than the memory budget keeps its first chunks in
// memory and the rest in an unlinked temporary file, so one statement never
// holds much more than the budget.
#include "records.h"
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

namespace qse {

namespace {
constexpr size_t FIRST_CHUNK_BYTES = 4096;
constexpr size_t CHUNK_BYTES = 1u << 20;
constexpr size_t SPILL_CHUNK_BYTES = 256u << 10;
// Like SQLite's own sorter, which goes to a temporary file past its 2 MB page
// cache: a large result waits in the page cache, not in the process.
std::atomic<uint64_t> g_budget{uint64_t(1) << 20};

}  // namespace

void RecordStore::set_memory_budget(uint64_t bytes) { g_budget.store(bytes); }

RecordStore::~RecordStore() { clear(); }

void RecordStore::clear() {
    if (!chunks_.empty() && chunks_[0].mem && chunks_[0].cap * rec_ <= FIRST_CHUNK_BYTES) {
        spare_ = std::move(chunks_[0].mem);
        spare_bytes_ = chunks_[0].cap * rec_;
    }
    chunks_.clear();
    spill_buf_.reset();
    if (fd_ >= 0) platform::close_file(fd_);
    fd_ = -1;
    spilling_ = false;
    spill_cap_ = 0;
    file_end_ = 0;
    mem_bytes_ = 0;
    cur_ = nullptr;
    cap_ = used_ = 0;
    base_ = 0;
}

void RecordStore::reset(uint32_t rec_size, bool spill) {
    clear();
    rec_ = rec_size ? rec_size : 1;
    may_spill_ = spill;
}

void RecordStore::swap(RecordStore& o) {
    std::swap(rec_, o.rec_);
    std::swap(cap_, o.cap_);
    std::swap(used_, o.used_);
    std::swap(base_, o.base_);
    std::swap(cur_, o.cur_);
    chunks_.swap(o.chunks_);
    std::swap(mem_bytes_, o.mem_bytes_);
    spill_buf_.swap(o.spill_buf_);
    spare_.swap(o.spare_);
    std::swap(spare_bytes_, o.spare_bytes_);
    std::swap(spill_cap_, o.spill_cap_);
    std::swap(spilling_, o.spilling_);
    std::swap(may_spill_, o.may_spill_);
    std::swap(file_end_, o.file_end_);
    std::swap(fd_, o.fd_);
}

bool RecordStore::spill_current() {
    Chunk& c = chunks_.back();
    c.file_off = file_end_;
    if (!platform::write_at(fd_, cur_, used_ * rec_, file_end_)) return false;
    file_end_ += static_cast<uint64_t>(used_) * rec_;
    return true;
}

bool RecordStore::next_chunk() {
    size_t cap;
    if (!cur_) {
        cap = std::max<size_t>(1, FIRST_CHUNK_BYTES / rec_);
    } else {
        if (spilling_ && !spill_current()) return false;
        base_ += used_;
        used_ = 0;
        cap = std::max<size_t>(std::min<size_t>(cap_ * 2, CHUNK_BYTES / rec_), cap_);
    }
    size_t bytes = cap * rec_;
    if (may_spill_ && !spilling_ && !chunks_.empty() && mem_bytes_ + bytes > g_budget.load(std::memory_order_relaxed)) {
        if (fd_ < 0) fd_ = platform::temp_file();
        if (fd_ < 0) return false;
        spilling_ = true;
    }
    if (spilling_) {
        // Chunks on their way to the file pass through one buffer: kept
        // small, it is all a spilling result holds besides its first chunks.
        cap = std::min(cap, std::max<size_t>(1, SPILL_CHUNK_BYTES / rec_));
        bytes = cap * rec_;
    }
    Chunk c;
    c.first = base_;
    c.cap = cap;
    if (spilling_) {
        if (spill_cap_ < bytes) {
            spill_buf_.reset(new (std::nothrow) unsigned char[bytes]);
            if (!spill_buf_) return false;
            spill_cap_ = bytes;
        }
        cur_ = spill_buf_.get();
    } else if (chunks_.empty() && spare_ && spare_bytes_ >= bytes) {
        c.mem = std::move(spare_);
        cur_ = c.mem.get();
        mem_bytes_ += bytes;
    } else {
        c.mem.reset(new (std::nothrow) unsigned char[bytes]);
        if (!c.mem) return false;
        cur_ = c.mem.get();
        mem_bytes_ += bytes;
    }
    chunks_.push_back(std::move(c));
    cap_ = cap;
    return true;
}

bool RecordStore::append_bytes(const void* p, size_t n) {
    const unsigned char* src = static_cast<const unsigned char*>(p);
    while (n) {
        if (used_ == cap_ && !next_chunk()) return false;
        size_t take = std::min(cap_ - used_, n);
        std::memcpy(cur_ + used_, src, take);
        used_ += take;
        src += take;
        n -= take;
    }
    return true;
}

bool RecordStore::finish() {
    // The last chunk goes to the file too; reading then finds every chunk
    // past the memory ones there.
    if (spilling_ && used_) return spill_current();
    return true;
}

int64_t RecordStore::read(uint64_t start, void* buf, uint64_t cap) {
    const uint64_t total = count();
    if (start >= total) return 0;
    uint64_t n = std::min<uint64_t>(cap / rec_, total - start);
    unsigned char* out = static_cast<unsigned char*>(buf);
    // The chunk holding `start`: the last one that begins at or before it.
    size_t k = static_cast<size_t>(
        std::upper_bound(chunks_.begin(), chunks_.end(), start,
                         [](uint64_t r, const Chunk& c) { return r < c.first; }) -
        chunks_.begin() - 1);
    uint64_t r = start, left = n;
    while (left) {
        const Chunk& c = chunks_[k];
        uint64_t within = r - c.first;
        uint64_t take = std::min<uint64_t>(c.cap - within, left);
        size_t bytes = static_cast<size_t>(take * rec_);
        if (c.mem) {
            std::memcpy(out, c.mem.get() + within * rec_, bytes);
        } else {
            uint64_t at = c.file_off + within * rec_;
            if (!platform::read_at(fd_, out, bytes, at)) return -1;
        }
        out += bytes;
        r += take;
        left -= take;
        ++k;
    }
    return static_cast<int64_t>(n * rec_);
}

}  // namespace qse
