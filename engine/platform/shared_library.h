// Shared objects loaded by path for the life of the process: a library is
// opened once, then found in a table; it is never closed, since another
// thread may be running its code at any time.
#pragma once

#include <string>

namespace qv {

struct SharedLibrary {
    void* handle = nullptr;
};

// The library at `path`, opened on its first use.  Null handle on failure,
// with the loader's message in `error`.
SharedLibrary loadLibrary(const std::string& path, std::string& error);

// The address of an exported symbol, or null.
void* librarySymbol(SharedLibrary library, const char* name);

}  // namespace qv
