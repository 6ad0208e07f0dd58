// The crash reporter for SIGSEGV, SIGILL and SIGBUS.
#pragma once

namespace runtime {

/// Installs handlers that print "Segmentation fault at address 0x{x}\n" (likewise
/// "Illegal instruction ..." and "Bus error ..."), the call chain, then abort. Runs on an
/// alternate stack so a stack overflow is reported too. Call once, before main's work.
void installCrashReporter() noexcept;

}  // namespace runtime
