#include "engine/platform/fault_guard.h"

#include <csetjmp>
#include <csignal>
#include <memory>
#include <mutex>

namespace qv {

namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kAltStackSize = 64 * 1024;

struct sigaction previousActions[NSIG];

struct Guard {
    sigjmp_buf jump;
    volatile sig_atomic_t active = 0;
};
thread_local Guard guard;

// The thread's alternate signal stack, made on its first guarded call and
// given up when the thread ends.  One the thread has already (a
// sanitizer's) is kept.
struct AltStack {
    std::unique_ptr<char[]> memory;
    AltStack() {
        stack_t current {};
        if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) && current.ss_size >= kAltStackSize)
            return;
        memory = std::make_unique<char[]>(kAltStackSize);
        stack_t ours {};
        ours.ss_sp = memory.get();
        ours.ss_size = kAltStackSize;
        if (sigaltstack(&ours, nullptr) != 0) memory.reset();
    }
    ~AltStack() {
        if (!memory) return;
        stack_t off {};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    AltStack(const AltStack&) = delete;
    AltStack& operator=(const AltStack&) = delete;
};

// Outside a guarded call the fault goes where it went before: to the
// previous handler, or, for the default action, the handler steps aside and
// the signal is raised again, to arrive with the default action as the
// handler returns (a signal sent with kill or raise would not come back by
// itself).
void onFault(int signo, siginfo_t* info, void* context) {
    if (guard.active) {
        guard.active = 0;
        siglongjmp(guard.jump, signo);
    }
    const struct sigaction& previous = previousActions[signo];
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signo, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signo);
    } else {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signo, &fallback, nullptr);
        raise(signo);
    }
}

void installHandlers() {
    for (int signo : kFaultSignals) {
        struct sigaction action {};
        action.sa_sigaction = onFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(signo, &action, &previousActions[signo]);
    }
}

}  // namespace

int runGuarded(void (*call)(void*), void* arg) {
    static std::once_flag installed;
    std::call_once(installed, installHandlers);
    thread_local AltStack altStack;
    // The mask is saved and restored by the jump: the fault signal, blocked
    // while its handler runs, is open again afterwards.
    int signo = sigsetjmp(guard.jump, 1);
    if (signo != 0) return signo;
    guard.active = 1;
    call(arg);
    guard.active = 0;
    return 0;
}

uint32_t faultCode(int signo) {
    switch (signo) {
    case SIGSEGV:
    case SIGBUS:
        return 0xC0000005u;
    case SIGILL:
        return 0xC000001Du;
    case SIGFPE:
        return 0xC0000094u;
    default:
        return 0;
    }
}

std::string_view faultName(int signo) { return signo == SIGSEGV || signo == SIGBUS ? "ACCESS_VIOLATION" : ""; }

}  // namespace qv
