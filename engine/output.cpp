#include "engine/output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace qv {

namespace {
std::atomic<DebugSink> debugSink{nullptr};
std::atomic<StatusSink> statusSink{nullptr};
}  // namespace

void setDebugSink(DebugSink sink) { debugSink.store(sink); }
void setStatusSink(StatusSink sink) { statusSink.store(sink); }

int debugPrint(std::string_view text) {
    DebugSink sink = debugSink.load();
    return sink ? sink(text) : 0;
}

int debugPrintf(const char* format, ...) {
    if (!debugSink.load()) return 0;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (needed < 0) {
        va_end(copy);
        return 0;
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(needed));
    } else {
        text.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, copy);
        text.resize(static_cast<std::size_t>(needed));
    }
    va_end(copy);
    return debugPrint(text);
}

void statusPrint(std::string_view text) {
    if (StatusSink sink = statusSink.load()) sink(text);
}

}  // namespace qv
