// Values derived from late-bound names. Every name of the module namespace
// is looked up at its use, so rebinding it takes effect at once; what is
// derived from one (the truth of DEBUG, HEAPCTRL as a number, the QSCLI_ET_*
// codes, whether binascii's functions are the standard ones, the class bound
// as datetime.date, a resolved column layout) may be kept as long as nothing
// it came from can have changed. A LateBound stamp says whether that holds.
#pragma once

#include "ref.h"

#include <cstdint>

namespace qx {

// A counter that changes whenever the module namespace, or the namespace of
// a module watched through watch_module(), may have changed. Never 0. When
// the interpreter cannot watch (no dict watcher left) it changes at every
// call, so nothing is ever kept: each name is looked up at each use.
uint64_t namespace_version();

// Makes namespace_version() cover the attributes of `module` too, so a value
// derived from one of them can be kept. 1 when they are covered, 0 when
// they cannot be (not a module, or too many watched): then keep nothing
// derived from them.
int watch_module(PyObject* module);

class LateBound {
public:
    // The moment a derivation starts, read before it runs any code: whatever
    // that code changes makes the result stale instead of slipping past it.
    static uint64_t now() { return namespace_version(); }
    // Whether the value kept was derived in the namespaces as they are now.
    bool holds() const { return at_ != 0 && at_ == namespace_version(); }
    // The value kept from here on was derived starting at `moment`.
    void keep(uint64_t moment) { at_ = moment; }
    void forget() { at_ = 0; }

private:
    uint64_t at_ = 0;
};

}  // namespace qx
