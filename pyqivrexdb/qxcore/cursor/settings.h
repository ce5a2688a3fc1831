// The package settings the statement road reads at every use, without a
// lookup while the module namespace is unchanged (execute.cpp).
#pragma once

#include <cstdint>

namespace qx {

// HEAPCTRL as an unsigned 32-bit value: 0, or -1 with the lookup's or the
// conversion's exception set.
int heap_limit_now(uint32_t* out);

// True while DEBUG is bound to False: a debug line may then be skipped
// without building it. False means "ask debug_log".
bool debug_off();

}  // namespace qx
