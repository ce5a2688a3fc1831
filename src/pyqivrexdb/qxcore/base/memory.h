// Scratch memory from the Python allocator, owned like a Ref.
#pragma once

#include "ref.h"

#include <cstddef>
#include <memory>

namespace qx {

struct PyMemFree {
    void operator()(void* p) const noexcept { PyMem_Free(p); }
};
// Released on every path out.
using MemBlock = std::unique_ptr<unsigned char[], PyMemFree>;

// `size` bytes (at least one, so the pointer is never null), zeroed unless
// the caller only ever reads what is written into them; or an empty block
// with MemoryError set.
inline MemBlock mem_block(size_t size, bool zeroed = true) {
    if (size == 0) size = 1;
    MemBlock block(static_cast<unsigned char*>(zeroed ? PyMem_Calloc(size, 1) : PyMem_Malloc(size)));
    if (!block) PyErr_NoMemory();
    return block;
}

}  // namespace qx
