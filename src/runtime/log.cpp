// The standard-error lock and the piece writer behind every log line.
#include "runtime/log.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "runtime/sys.h"
#include "runtime/trace.h"

namespace runtime {
namespace {

std::mutex stderr_mutex;

/// A log write failed with `number`. A number the write table names is dropped silently; any
/// other gets the unexpected-number diagnostic, written without taking the lock this line
/// already holds.
void noteFailedWrite(int number) noexcept {
    auto named = [number](const sys::ErrnoName& row) { return row.number == number; };
    if (std::ranges::any_of(sys::WriteErrors, named)) return;
    sys::writeUnexpectedErrnoLine(number);
    printCallChain();
}

}  // namespace

StderrLock::StderrLock() { stderr_mutex.lock(); }

StderrLock::~StderrLock() { stderr_mutex.unlock(); }

// Plain write calls, not the error-mapping wrapper: the log never raises an error (so it
// never disturbs the trace of one in flight) and never logs about itself, so it never needs
// the lock it holds.
bool writeLogPiece(std::string_view piece) noexcept {
    const int failed = writeStderrRaw(piece);
    if (failed != 0) noteFailedWrite(failed);
    return failed == 0;
}

bool writeLogArgument(Escaped argument) noexcept {
    auto escaped = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\'; };
    std::string_view text = argument.text;
    while (!text.empty()) {
        auto plain = static_cast<std::size_t>(std::find_if(text.begin(), text.end(), escaped) - text.begin());
        if (!writeLogPiece(text.substr(0, plain))) return false;
        text.remove_prefix(plain);
        if (text.empty()) return true;
        const auto byte = static_cast<unsigned char>(text.front());
        text.remove_prefix(1);
        if (byte == '\\') {
            if (!writeLogPiece("\\\\")) return false;
            continue;
        }
        const std::array<char, 4> hex = {'\\', 'x', HexDigits[byte >> 4], HexDigits[byte & 0xF]};
        if (!writeLogPiece({hex.data(), hex.size()})) return false;
    }
    return true;
}

}  // namespace runtime
