// The entry point: standard descriptors, crash reporter, SIGPIPE ignored, serve, fatal exit on
// the first error.
#include <csignal>
#include <source_location>

#include "runtime/check.h"
#include "runtime/crash.h"
#include "runtime/descriptors.h"
#include "runtime/result.h"
#include "server/fatal.h"
#include "server/server.h"

int main() {
    // Before anything else can take a descriptor: no socket may become 0, 1 or 2.
    runtime::Result<void> served = runtime::openStandardDescriptors();
    if (served) {
        runtime::installCrashReporter();
        // A write to a peer that has gone then fails with BrokenPipe and ends the server
        // through the fatal exit, with its name and trace, instead of silently by the signal.
        CHECK(std::signal(SIGPIPE, SIG_IGN) != SIG_ERR);
        served = server::run();
    }
    if (!served) {
        runtime::recordErrorHop(std::source_location::current());
        server::fatalExit(served.error());
    }
    return 0;
}
