// Dynamic loading of the client library: the only platform-specific code of
// the extension. No Python here, so the loader builds for every platform.
#pragma once

#include <string>

namespace qx::platform {

using LibHandle = void*;

// The library's bare file name; the platform's search rule finds it.
const char* library_name();

// Loads the library by its bare name; null when it cannot be loaded. Loading
// a loaded library again returns the same handle and counts one more load.
LibHandle open_library();

// Why the last open_library() on this thread failed, in the platform
// loader's own words (dlerror(), or GetLastError()'s message).
std::string load_error();

// The address of an exported entry point, or null.
void* find_symbol(LibHandle lib, const char* name);

// Drops one load; the library is unmapped when its count reaches zero. A null
// handle is refused by the platform and ignored here.
void close_library(LibHandle lib);

}  // namespace qx::platform
