#include "engine/platform/shared_library.h"

#include <dlfcn.h>
#include <mutex>
#include <unordered_map>

namespace qv {

namespace {

std::mutex tableMutex;
std::unordered_map<std::string, void*>& table() {
    static auto* loaded = new std::unordered_map<std::string, void*>;  // outlives every thread
    return *loaded;
}

}  // namespace

SharedLibrary loadLibrary(const std::string& path, std::string& error) {
    std::lock_guard lock(tableMutex);
    auto& loaded = table();
    if (auto it = loaded.find(path); it != loaded.end()) return {it->second};
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* message = dlerror();
        error = message ? message : "unknown error";
        return {};
    }
    loaded.emplace(path, handle);
    return {handle};
}

void* librarySymbol(SharedLibrary library, const char* name) {
    return library.handle ? dlsym(library.handle, name) : nullptr;
}

}  // namespace qv
