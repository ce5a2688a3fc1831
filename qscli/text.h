// Text: UTF-8 inside the databases, CP866 across the library boundary.
#pragma once

#include <cstddef>
#include <string>

namespace qse {

// Appends the UTF-8 form of `n` CP866 bytes to `out`.
void cp866_to_utf8(const unsigned char* in, size_t n, std::string& out);

enum class TextStatus { Ok, TooLong, Unmapped, Invalid, Nul };

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
