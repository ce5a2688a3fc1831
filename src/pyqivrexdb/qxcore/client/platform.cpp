#include "platform.h"

#if defined(_WIN32)
#include <windows.h>

namespace qx::platform {

const char* library_name() { return "qscli.dll"; }

LibHandle open_library() { return reinterpret_cast<LibHandle>(LoadLibraryA(library_name())); }

std::string load_error() {
    const DWORD code = GetLastError();
    char text[512] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = 0;
    return std::string(n ? text : "unknown error") + " (error " + std::to_string(code) + ")";
}

void* find_symbol(LibHandle lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(lib), name));
}

void close_library(LibHandle lib) { FreeLibrary(reinterpret_cast<HMODULE>(lib)); }

}  // namespace qx::platform

#else
#include <dlfcn.h>

namespace qx::platform {

const char* library_name() { return "libqscli.so"; }

// RTLD_LOCAL keeps the library's symbols out of the global namespace, as a
// Windows DLL's are; RTLD_NOW makes a broken library fail here, not mid-call.
LibHandle open_library() { return dlopen(library_name(), RTLD_NOW | RTLD_LOCAL); }

std::string load_error() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}

void* find_symbol(LibHandle lib, const char* name) { return lib ? dlsym(lib, name) : nullptr; }

void close_library(LibHandle lib) {
    if (lib) dlclose(lib);
}

}  // namespace qx::platform
#endif
