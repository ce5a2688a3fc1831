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

// Encodes an exact str with the same strictness straight into `out`: its
// first min(len(str), room) characters are written, the rest only checked.
// Returns len(str) (one byte per character), or -1 with the codec's
// UnicodeEncodeError set.
Py_ssize_t cp866_encode_into(PyObject* str, unsigned char* out, Py_ssize_t room);

// The C string of an encoded text (bytes or bytearray, as cp866_encode
// returns it). A NUL inside would silently cut the text short at the
// library, so it is refused with ValueError; null then.
const char* c_text(PyObject* encoded);

}  // namespace qx
