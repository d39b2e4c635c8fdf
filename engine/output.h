// The engine's one channel for diagnostic text (debugPrint) and its one-line
// status (statusPrint).  Each host installs its sinks before it starts the
// engine; without a sink the text goes nowhere.  Any thread may print.
#pragma once

#include <string_view>

namespace qv {

// Returns nonzero when the host took the text (queued or shown).
using DebugSink = int (*)(std::string_view text);
using StatusSink = void (*)(std::string_view text);

void setDebugSink(DebugSink sink);
void setStatusSink(StatusSink sink);

// A finished text, printed as it stands ("%" is not special).
int debugPrint(std::string_view text);
// printf-style formatting into a text of any length, then debugPrint.
int debugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void statusPrint(std::string_view text);

}  // namespace qv
