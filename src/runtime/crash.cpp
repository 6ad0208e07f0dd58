// Crash reporter: a message naming the fault and its address, a call chain, then abort.
#include "runtime/crash.h"

#include <execinfo.h>
#include <signal.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/check.h"
#include "runtime/format.h"
#include "runtime/trace.h"

namespace runtime {
namespace {

// Big enough for the handler and backtrace(); static, so a full stack can still be reported.
alignas(16) std::array<char, std::size_t{64} * 1024> alternate_stack;

std::string_view faultName(int signal) noexcept {
    switch (signal) {
        case SIGSEGV: return "Segmentation fault";
        case SIGILL: return "Illegal instruction";
        case SIGBUS: return "Bus error";
        default: return "Fatal signal";
    }
}

// Only async-signal-safe calls from here on: write, backtrace_symbols_fd, abort.
void onFault(int signal, siginfo_t* info, void*) {
    DigitBuffer digits;
    writeStderrRaw(faultName(signal));
    writeStderrRaw(" at address 0x");
    writeStderrRaw(formatHex(reinterpret_cast<std::uintptr_t>(info->si_addr), digits));
    writeStderrRaw("\n");
    printCallChain();
    std::abort();
}

}  // namespace

void installCrashReporter() noexcept {
    // The first backtrace() loads the unwinder, which allocates; doing it here keeps the
    // handler itself off the heap.
    std::array<void*, 1> warm_up;
    ::backtrace(warm_up.data(), 1);

    // sigaltstack fails only for a stack below MINSIGSTKSZ, bad flags or while on that stack,
    // and sigaction only for a signal that cannot be caught or a bad pointer: none can happen
    // here, so a failure is a broken invariant.
    stack_t stack{};
    stack.ss_sp = alternate_stack.data();
    stack.ss_size = alternate_stack.size();
    CHECK(::sigaltstack(&stack, nullptr) == 0);

    struct sigaction action{};
    action.sa_sigaction = onFault;
    action.sa_flags = static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_RESETHAND);
    CHECK(sigemptyset(&action.sa_mask) == 0);
    for (int signal : {SIGSEGV, SIGILL, SIGBUS}) CHECK(::sigaction(signal, &action, nullptr) == 0);
}

}  // namespace runtime
