// The failure of an always-on check.
#include "runtime/check.h"

#include <cstdlib>

#include "runtime/trace.h"

namespace runtime {

namespace {

[[noreturn]] void failWith(std::string_view kind, std::string_view what, std::string_view error_name,
                           std::source_location at) noexcept {
    writeStderrRaw(kind);
    writeStderrRaw(what);
    if (!error_name.empty()) {
        writeStderrRaw(": ");
        writeStderrRaw(error_name);
    }
    writeStderrRaw("\n");
    printTraceEntry(at);
    printCallChain();
    std::abort();
}

}  // namespace

void checkFailed(std::string_view condition, std::source_location at) noexcept {
    failWith("CHECK failed: ", condition, {}, at);
}

void mustFailed(std::string_view expr, Error error, std::source_location at) noexcept {
    failWith("MUST failed: ", expr, errorName(error), at);
}

}  // namespace runtime
