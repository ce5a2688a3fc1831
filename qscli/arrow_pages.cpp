// The page allocator of the library's Arrow buffers (see arrow_pages.h).
#include "arrow_pages.h"

#include <cstdlib>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define QSE_PAGES 1
#endif

namespace qse {

#ifdef QSE_PAGES

namespace {

// Below this a buffer stays on the heap, where small blocks are cheap and
// reused at once.
constexpr int64_t MAPPED_FROM = 64 << 10;

size_t pages_of(int64_t bytes) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (static_cast<size_t>(bytes) + page - 1) / page * page;
}

uint8_t* map(int64_t bytes) {
    void* p = mmap(nullptr, pages_of(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

void release(ArrowBufferAllocator*, uint8_t* ptr, int64_t size) {
    if (!ptr) return;
    if (size >= MAPPED_FROM) munmap(ptr, pages_of(size));
    else std::free(ptr);
}

uint8_t* reallocate(ArrowBufferAllocator* self, uint8_t* ptr, int64_t old_size, int64_t new_size) {
    const bool was_mapped = ptr && old_size >= MAPPED_FROM;
    if (new_size < MAPPED_FROM && !was_mapped) return static_cast<uint8_t*>(std::realloc(ptr, static_cast<size_t>(new_size)));
#ifdef __linux__
    if (was_mapped && new_size >= MAPPED_FROM) {
        void* p = mremap(ptr, pages_of(old_size), pages_of(new_size), MREMAP_MAYMOVE);
        return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    }
#endif
    uint8_t* fresh = new_size >= MAPPED_FROM ? map(new_size) : static_cast<uint8_t*>(std::malloc(static_cast<size_t>(new_size)));
    if (!fresh) return nullptr;
    if (ptr) {
        std::memcpy(fresh, ptr, static_cast<size_t>(old_size < new_size ? old_size : new_size));
        release(self, ptr, old_size);
    }
    return fresh;
}

}  // namespace

void use_pages(ArrowArray* array) {
    ArrowBufferAllocator pages{reallocate, release, nullptr};
    for (int64_t i = 0; i < array->n_buffers; ++i) ArrowBufferSetAllocator(ArrowArrayBuffer(array, i), pages);
    for (int64_t k = 0; k < array->n_children; ++k) use_pages(array->children[k]);
}

#else

void use_pages(ArrowArray*) {}

#endif

}  // namespace qse
