// The standard-error lock and the piece writer behind every log line.
#include "runtime/log.h"

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

}  // namespace runtime
