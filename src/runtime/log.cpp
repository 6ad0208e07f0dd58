// The standard-error lock and the piece writer behind every log line.
#include "runtime/log.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "runtime/io.h"

namespace runtime {
namespace {

std::mutex stderr_mutex;
thread_local bool stderr_held = false;

}  // namespace

StderrLock::StderrLock() {
    stderr_mutex.lock();
    stderr_held = true;
}

StderrLock::~StderrLock() {
    stderr_held = false;
    stderr_mutex.unlock();
}

bool StderrLock::heldByThisThread() noexcept { return stderr_held; }

bool writeLogPiece(std::string_view piece) noexcept {
    if (piece.empty()) return true;
    return writeAll(2, piece).has_value();
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
