#include "platform.h"

#include <atomic>
#include <mutex>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <io.h>
#include <fcntl.h>
#include <process.h>
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

namespace qse {
namespace platform {

const char* find_nocase(const char* text, const char* needle) {
    // ASCII folding, not std::tolower: that one calls into the locale for
    // every byte, and statement texts are scanned whole.
    auto fold = [](unsigned char ch) { return ch >= 'A' && ch <= 'Z' ? ch | 0x20 : ch; };
    const size_t n = std::strlen(needle);
    if (n == 0) return text;
    const unsigned char first = fold(static_cast<unsigned char>(needle[0]));
    for (; *text; ++text) {
        if (fold(static_cast<unsigned char>(*text)) != first) continue;
        size_t i = 1;
        while (i < n && text[i] && fold(static_cast<unsigned char>(text[i])) == fold(static_cast<unsigned char>(needle[i])))
            ++i;
        if (i == n) return text;
    }
    return nullptr;
}

namespace {

std::string endpoint(const sockaddr_storage& a, bool* local_socket) {
    char host[INET6_ADDRSTRLEN] = {0};
    if (a.ss_family == AF_INET) {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, const_cast<in_addr*>(&in->sin_addr), host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (a.ss_family == AF_INET6) {
        const sockaddr_in6* in = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, const_cast<in6_addr*>(&in->sin6_addr), host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(in->sin6_port));
    }
    *local_socket = true;
#if !defined(_WIN32)
    const sockaddr_un* un = reinterpret_cast<const sockaddr_un*>(&a);
    if (un->sun_path[0]) return std::string("unix:") + un->sun_path;
#endif
    return "";
}

}  // namespace

void socket_ends(int fd, std::string* remote, std::string* local, bool* local_socket) {
    sockaddr_storage a;
    socklen_t n = sizeof a;
    *local_socket = false;
    std::memset(&a, 0, sizeof a);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) *remote = endpoint(a, local_socket);
    n = sizeof a;
    std::memset(&a, 0, sizeof a);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) *local = endpoint(a, local_socket);
}

#if defined(_WIN32)

int temp_file() {
    char dir[MAX_PATH + 1], path[MAX_PATH + 1];
    if (!GetTempPathA(sizeof dir, dir) || !GetTempFileNameA(dir, "qsc", 0, path)) return -1;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}

namespace {
template <typename Op>
bool transfer(int fd, size_t bytes, uint64_t at, Op op) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    size_t done = 0;
    while (done < bytes) {
        OVERLAPPED o = {};
        o.Offset = static_cast<DWORD>(at + done);
        o.OffsetHigh = static_cast<DWORD>((at + done) >> 32);
        const DWORD want = static_cast<DWORD>(bytes - done < (1u << 30) ? bytes - done : (1u << 30));
        DWORD got = 0;
        if (!op(h, done, want, &got, &o) || got == 0) return false;
        done += got;
    }
    return true;
}
}  // namespace

bool write_at(int fd, const void* data, size_t bytes, uint64_t at) {
    const char* p = static_cast<const char*>(data);
    return transfer(fd, bytes, at, [p](HANDLE h, size_t done, DWORD want, DWORD* got, OVERLAPPED* o) {
        return WriteFile(h, p + done, want, got, o) != 0;
    });
}

bool read_at(int fd, void* out, size_t bytes, uint64_t at) {
    char* p = static_cast<char*>(out);
    return transfer(fd, bytes, at, [p](HANDLE h, size_t done, DWORD want, DWORD* got, OVERLAPPED* o) {
        return ReadFile(h, p + done, want, got, o) != 0;
    });
}

void close_file(int fd) { _close(fd); }

bool silence_socket(int) { return false; }  // no fork here

std::string host_name() {
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {0};
    DWORD n = sizeof host;
    return GetComputerNameA(host, &n) ? std::string(host, n) : std::string();
}

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

void* open_library(const char* file, std::string* why) {
    HMODULE h = LoadLibraryA(file);
    if (!h) *why = std::string(file) + ": error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(h);
}

void* library_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

#else

int temp_file() {
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    std::string path = std::string(dir) + "/qscli-results-XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd >= 0) unlink(path.c_str());
    return fd;
}

bool write_at(int fd, const void* data, size_t bytes, uint64_t at) {
    const char* p = static_cast<const char*>(data);
    while (bytes) {
        const ssize_t w = pwrite(fd, p, bytes, static_cast<off_t>(at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        bytes -= static_cast<size_t>(w);
        at += static_cast<uint64_t>(w);
    }
    return true;
}

bool read_at(int fd, void* out, size_t bytes, uint64_t at) {
    char* p = static_cast<char*>(out);
    while (bytes) {
        const ssize_t got = pread(fd, p, bytes, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        bytes -= static_cast<size_t>(got);
        at += static_cast<uint64_t>(got);
    }
    return true;
}

void close_file(int fd) { close(fd); }

bool silence_socket(int fd) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return false;
    const bool ok = dup2(null, fd) >= 0;
    close(null);
    return ok;
}

std::string host_name() {
    char host[256] = {0};
    return gethostname(host, sizeof host - 1) == 0 ? std::string(host) : std::string();
}

namespace {
// Asked on every call (the fork check), so kept rather than asked of the
// system each time; a fork's child learns its own at once.
std::atomic<long> own_pid{0};
void note_fork() { own_pid.store(static_cast<long>(getpid()), std::memory_order_relaxed); }
}  // namespace

long process_id() {
    long pid = own_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static std::once_flag watching;
        std::call_once(watching, [] { pthread_atfork(nullptr, nullptr, note_fork); });
        pid = static_cast<long>(getpid());
        own_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

void* open_library(const char* file, std::string* why) {
    void* h = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        *why = e ? e : file;
    }
    return h;
}

void* library_symbol(void* library, const char* name) { return dlsym(library, name); }

#endif

}  // namespace platform
}  // namespace qse
