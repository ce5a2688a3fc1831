// Result records in chunks of about a megabyte. A result larger than the
// memory budget keeps its first chunks in memory and the rest in an unlinked
// temporary file, so one statement never holds more than the budget.
#include "engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace qse {

namespace {
constexpr size_t CHUNK_BYTES = 1u << 20;
uint64_t g_budget = uint64_t(64) << 20;

int open_temp_file() {
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    std::string path = std::string(dir) + "/qscli-results-XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd >= 0) unlink(path.c_str());
    return fd;
}
}  // namespace

void RecordStore::set_memory_budget(uint64_t bytes) { g_budget = bytes; }

RecordStore::~RecordStore() { clear(); }

void RecordStore::clear() {
    mem_.clear();
    mem_.shrink_to_fit();
    spill_buf_.reset();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    spilling_ = false;
    spilled_ = 0;
    cur_ = nullptr;
    used_ = 0;
    count_base_ = 0;
}

void RecordStore::reset(uint32_t rec_size) {
    clear();
    rec_ = rec_size ? rec_size : 1;
    per_chunk_ = CHUNK_BYTES / rec_;
    if (per_chunk_ == 0) per_chunk_ = 1;
}

bool RecordStore::spill(size_t index, const unsigned char* data, size_t bytes) {
    off_t at = static_cast<off_t>(index) * static_cast<off_t>(per_chunk_) * rec_;
    while (bytes) {
        ssize_t w = pwrite(fd_, data, bytes, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        bytes -= static_cast<size_t>(w);
        at += w;
    }
    return true;
}

bool RecordStore::next_chunk() {
    const size_t bytes = per_chunk_ * rec_;
    if (cur_) {
        count_base_ += used_;
        used_ = 0;
        if (spilling_) {
            if (!spill(spilled_, cur_, bytes)) return false;
            ++spilled_;
            return true;  // the spill buffer is reused
        }
    }
    if (!mem_.empty() && (mem_.size() + 1) * bytes > g_budget) {
        if (fd_ < 0) fd_ = open_temp_file();
        if (fd_ < 0) return false;
        spill_buf_.reset(new (std::nothrow) unsigned char[bytes]);
        if (!spill_buf_) return false;
        spilling_ = true;
        cur_ = spill_buf_.get();
        return true;
    }
    unsigned char* chunk = new (std::nothrow) unsigned char[bytes];
    if (!chunk) return false;
    mem_.emplace_back(chunk);
    cur_ = chunk;
    return true;
}

bool RecordStore::append_bytes(const void* p, size_t n) {
    const unsigned char* src = static_cast<const unsigned char*>(p);
    while (n) {
        if (!cur_ || used_ == per_chunk_) {
            if (!next_chunk()) return false;
        }
        size_t take = per_chunk_ - used_;
        if (take > n) take = n;
        std::memcpy(cur_ + used_, src, take);
        used_ += take;
        src += take;
        n -= take;
    }
    return true;
}

bool RecordStore::finish() {
    // The partial last chunk goes to the file at its place; reading then finds
    // every chunk past the memory ones there.
    if (spilling_ && used_) return spill(spilled_, cur_, used_ * rec_);
    return true;
}

int64_t RecordStore::read(uint64_t start, void* buf, uint64_t cap) {
    const uint64_t total = count();
    if (start >= total || !rec_) return 0;
    uint64_t n = cap / rec_;
    if (n > total - start) n = total - start;
    unsigned char* out = static_cast<unsigned char*>(buf);
    uint64_t r = start, left = n;
    while (left) {
        uint64_t chunk = r / per_chunk_, within = r % per_chunk_;
        uint64_t take = per_chunk_ - within;
        if (take > left) take = left;
        size_t bytes = static_cast<size_t>(take * rec_);
        if (chunk < mem_.size()) {
            std::memcpy(out, mem_[chunk].get() + within * rec_, bytes);
        } else {
            off_t at = static_cast<off_t>(((chunk - mem_.size()) * per_chunk_ + within) * rec_);
            size_t done = 0;
            while (done < bytes) {
                ssize_t got = pread(fd_, out + done, bytes - done, at + static_cast<off_t>(done));
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) return -1;
                done += static_cast<size_t>(got);
            }
        }
        out += bytes;
        r += take;
        left -= take;
    }
    return static_cast<int64_t>(n * rec_);
}

}  // namespace qse
