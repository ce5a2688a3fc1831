#include "platform.h"

#if defined(_WIN32)
#include <windows.h>

namespace qx::platform {

const char* library_name() { return "qscli.dll"; }

LibHandle open_library() { return reinterpret_cast<LibHandle>(LoadLibraryA(library_name())); }

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

void* find_symbol(LibHandle lib, const char* name) { return lib ? dlsym(lib, name) : nullptr; }

void close_library(LibHandle lib) {
    if (lib) dlclose(lib);
}

}  // namespace qx::platform
#endif
