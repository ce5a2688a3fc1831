// What the library needs from the operating system, in one place: POSIX
// here, Win32 for qscli.dll.
#ifndef QSCLI_PLATFORM_H
#define QSCLI_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

// Keeps a rarely taken path out of line, so that its callers' common path
// saves no registers for it.
#if defined(_MSC_VER)
#define QSE_COLD __declspec(noinline)
#else
#define QSE_COLD __attribute__((noinline, cold))
#endif

namespace qse {
namespace platform {

// A temporary file that is gone once closed (and from the directory at once
// where the system allows), as a descriptor; -1 when none can be made.
int temp_file();
// Whole transfers at an offset; false on any error.
bool write_at(int fd, const void* data, size_t bytes, uint64_t at);
bool read_at(int fd, void* out, size_t bytes, uint64_t at);
void close_file(int fd);

// Points a socket's descriptor at the null device, so that nothing written
// to it reaches the peer (a forked child's copy of its parent's socket);
// false when that cannot be done.
bool silence_socket(int fd);

std::string host_name();  // empty when unknown
long process_id();

// Where `needle` (ASCII) first occurs in `text`, ignoring ASCII case; null
// when it does not.
const char* find_nocase(const char* text, const char* needle);
inline bool contains_nocase(const char* text, const char* needle) { return find_nocase(text, needle) != nullptr; }

// A shared library and its symbols; on failure nullptr and the system's reason.
void* open_library(const char* file, std::string* why);
void* library_symbol(void* library, const char* name);

// The two ends of a connected socket as "host:port" ("[v6]:port"); a local
// (Unix-domain) socket gives "unix:PATH" or "" for the remote end and sets
// *local_socket.
void socket_ends(int fd, std::string* remote, std::string* local, bool* local_socket);

}  // namespace platform
}  // namespace qse

#endif
