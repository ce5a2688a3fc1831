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

// The CP866 bytes of a str's own characters (a subclass's encode() is not
// asked): UnicodeEncodeError for a character CP866 lacks. Always bytes.
Ref cp866_bytes(PyObject* str);

// A text for the client library: `obj.encode('cp866')` as cp866_encode
// gives it, held as bytes of its own (a bytearray an encode() returned is
// copied: Python code run while the library reads the text, or between two
// calls that use it, could refill or resize it), with its C string in *text.
// A NUL inside would silently cut the text short at the library, so it is
// refused with ValueError. Null with an exception set.
Ref library_text(PyObject* obj, const char** text);

}  // namespace qx
