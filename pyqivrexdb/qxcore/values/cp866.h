// Text in code page 866, both ways, without a codec lookup per value.
#pragma once

#include "../module/ref.h"

namespace qx {

// The str of `size` CP866 bytes; exactly what bytes.decode('cp866') gives.
PyObject* cp866_decode(const char* data, Py_ssize_t size);

// `obj.encode('cp866')` with the codec's strictness: an exact str is encoded
// from a table (UnicodeEncodeError where the codec raises it); any other
// object has its own encode() called. The result is checked to be bytes or
// bytearray (TypeError otherwise).
Ref cp866_encode(PyObject* obj);

}  // namespace qx
