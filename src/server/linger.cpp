// The lingering close of a connection whose client sent, or announced, more than its head.
#include "server/linger.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>

namespace server {
namespace {

// The lingering close calls the kernel itself, not through runtime::sys: it comes after the
// answer, so none of its failures is an error of the connection. A reset or a failed read ends
// the linger, never the process; EINTR is retried here as the wrappers retry it.

/// Whether the client's bytes may still be waiting unread. When FIONREAD cannot tell, they may:
/// lingering costs a bounded wait, where closing on unread input resets the answer.
bool hasUnreadInput(int file) noexcept {
    int pending = 0;
    return ::ioctl(file, FIONREAD, &pending) != 0 || pending > 0;
}

void drainUntilEnd(int file, LingerLimits limits) noexcept {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limits.total;
    std::array<char, std::size_t{64} * 1024> sink;
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return;
        pollfd ready{file, POLLIN, 0};
        int polled = ::poll(&ready, 1, static_cast<int>(std::min(left, limits.idle).count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return;
        ssize_t got = ::read(file, sink.data(), sink.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
    }
}

}  // namespace

void closeConnection(runtime::Fd file, bool body_announced, LingerLimits limits) noexcept {
    const bool client_may_send = hasUnreadInput(file.get()) || body_announced;
    if (client_may_send && ::shutdown(file.get(), SHUT_WR) == 0) drainUntilEnd(file.get(), limits);
    // `file` closes as it goes.
}

}  // namespace server
