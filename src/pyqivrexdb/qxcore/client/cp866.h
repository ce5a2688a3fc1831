// Text in code page 866, both ways, without a codec lookup per value; or in
// UTF-8, for a call made for a connection whose library carries it.
#pragma once

#include "../base/ref.h"

namespace qx {

// The encoding of the texts the running call exchanges with the library:
// UTF-8 for a standard-face connection whose library took
// QSCLI_ATTR_TEXT_UTF8 (ConnectionObject::text_utf8), else CP866. Every
// function below follows it; the core face never sets it.
bool text_utf8();

// Sets it for the lifetime of a call; the outer call's comes back after.
class TextScope {
public:
    explicit TextScope(bool utf8);
    ~TextScope();
    TextScope(const TextScope&) = delete;
    TextScope& operator=(const TextScope&) = delete;

private:
    bool outer_;
};

// Why a str did not encode (UnicodeEncodeError set): the part of a message
// after "has": a lone surrogate no UTF-8 holds, or a character CP866 lacks,
// naming why the text is in CP866: the library refused UTF-8 to a connection
// that asked (note_library_without_utf8), else the connection chose it.
const char* unencodable_reason();
void note_library_without_utf8();

// The str of `size` bytes of UTF-8 from the library (strict).
PyObject* utf8_decode(const char* data, Py_ssize_t size);

// A message of the library (an error text, a name cut to its buffer) as
// cp866_decode reads it; in UTF-8 a character its cut split reads as U+FFFD.
PyObject* message_decode(const char* data, Py_ssize_t size);

// The str of `size` CP866 bytes; exactly what bytes.decode('cp866') gives.
// In UTF-8 (text_utf8()) the str of that UTF-8.
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
// asked): UnicodeEncodeError for a character CP866 lacks. Always bytes. In
// UTF-8 (text_utf8()) its UTF-8 bytes; a lone surrogate is refused.
Ref cp866_bytes(PyObject* str);

// A text for the client library: `obj.encode('cp866')` as cp866_encode
// gives it, held as bytes of its own (a bytearray an encode() returned is
// copied: Python code run while the library reads the text, or between two
// calls that use it, could refill or resize it), with its C string in *text.
// A NUL inside would silently cut the text short at the library, so it is
// refused with ValueError. Null with an exception set.
Ref library_text(PyObject* obj, const char** text);

}  // namespace qx
