// Calls into code the server does not trust (extension libraries) with a
// guard: a fault signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL) raised on this
// thread inside the call returns to the guard instead of ending the
// process.  The handler runs on an alternate signal stack of the thread, so
// a call that overflows its stack is caught too.  A fault anywhere else
// keeps the action it had before (the sanitizer's report, or a core dump):
// the server's own bugs are not hidden.
//
// A guard is not a sandbox: the call may have damaged memory or left locks
// held before it faulted.
#pragma once

#include <cstdint>
#include <string_view>

namespace qv {

// Runs call(arg).  0 when it returned, else the number of the fault signal
// that ended it.
int runGuarded(void (*call)(void*), void* arg);

// The exception code and name a fault signal is reported with:
// 0xC0000005 "ACCESS_VIOLATION" for SIGSEGV and SIGBUS, 0xC000001D for
// SIGILL, 0xC0000094 for SIGFPE (these two without a name).
uint32_t faultCode(int signo);
std::string_view faultName(int signo);

}  // namespace qv
