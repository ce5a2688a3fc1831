// Text: UTF-8 inside the databases; across the library boundary CP866, or
// UTF-8 for a connection that asked for it (QSCLI_ATTR_TEXT_UTF8).
//
// The boundary's encoding is the calling connection's: each entry point that
// works for a connection sets it for its call (BoundaryText), and every
// conversion below follows it. In UTF-8 the conversions copy, and those
// towards the client still check the text (valid UTF-8, no NUL, the room).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qse {

// Whether the call running on this thread speaks UTF-8 at the boundary.
bool boundary_utf8();

// Sets the boundary's encoding for the lifetime of an entry point's call;
// a callback's own call on another connection restores it as it ends.
class BoundaryText {
public:
    explicit BoundaryText(bool utf8);
    ~BoundaryText();
    BoundaryText(const BoundaryText&) = delete;
    BoundaryText& operator=(const BoundaryText&) = delete;

private:
    bool outer_;
};

// The bytes a record field of `chars` characters takes at the boundary: a
// character is one byte in CP866, up to four in UTF-8.
uint32_t char_field_bytes(uint32_t chars);

// The characters of UTF-8 text (its bytes that start one).
size_t utf8_chars(const unsigned char* p, size_t n);


// Appends the UTF-8 form of `n` CP866 bytes to `out`.
void cp866_to_utf8(const unsigned char* in, size_t n, std::string& out);

enum class TextStatus { Ok, TooLong, Unmapped, Invalid, Nul };

// Checks UTF-8 text as the boundary in UTF-8 takes it (valid, no NUL) and
// holds it to `chars` characters (0: any number), without a copy.
TextStatus check_utf8(const unsigned char* p, size_t n, size_t chars);

// Converts UTF-8 to CP866 into `out` (room for `cap` bytes); *written is the
// number of bytes produced. Stops at the first problem.
TextStatus utf8_to_cp866(const unsigned char* in, size_t n, unsigned char* out, size_t cap,
                         size_t* written);
// The same into a string (no length limit).
TextStatus utf8_to_cp866(const unsigned char* in, size_t n, std::string& out);
// A CP866 rendering for names and messages: unmapped characters become '?'.
std::string utf8_to_cp866_lossy(const char* in);
const char* text_problem(TextStatus st);

// The UTF-8 form of n CP866 bytes.
std::string to_utf8(const char* p, size_t n);

}  // namespace qse
