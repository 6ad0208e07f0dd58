// The wrappers of the system calls whose failures are errors of the run: EINTR is retried
// inside, error numbers become Error names. (The trace writer and the lingering close call the
// kernel themselves: their failures are not errors of the run.)
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstddef>
#include <optional>
#include <source_location>
#include <span>

#include "runtime/result.h"

namespace runtime::sys {

/// One row of an errno table: the platform's number and the name it becomes.
struct ErrnoName {
    int number;
    Error name;
};

/// The tables each wrapper uses; any number not listed becomes Unexpected.
extern const std::span<const ErrnoName> SocketErrors;
extern const std::span<const ErrnoName> BindErrors;
extern const std::span<const ErrnoName> ListenErrors;
extern const std::span<const ErrnoName> GetSockNameErrors;
extern const std::span<const ErrnoName> SetSockOptErrors;
extern const std::span<const ErrnoName> GetSockOptErrors;
extern const std::span<const ErrnoName> FcntlErrors;
extern const std::span<const ErrnoName> PollErrors;
extern const std::span<const ErrnoName> AcceptErrors;
extern const std::span<const ErrnoName> OpenErrors;
extern const std::span<const ErrnoName> ReadErrors;
extern const std::span<const ErrnoName> WriteErrors;

/// The name `table` gives `number`, raised at `at`; for a number without a name, writes the
/// "unexpected errno: {}\n" diagnostic and the current call chain, then raises Unexpected.
[[nodiscard]] std::unexpected<Error> errorFromErrno(std::span<const ErrnoName> table, int number,
                                                    std::source_location at);

/// Writes the line "unexpected errno: {number}\n" to standard error with plain writes, without
/// the lock: for a log line whose own write failed, which holds it already.
void writeUnexpectedErrnoLine(int number) noexcept;

/// Writes the unexpected-number diagnostic line under the standard-error lock, then the
/// current call chain.
void reportUnexpectedErrno(int number) noexcept;

Result<int> socket(int domain, int type, int protocol, std::source_location at = std::source_location::current());
Result<void> bind(int fd, const sockaddr* address, socklen_t length,
                  std::source_location at = std::source_location::current());
Result<void> setsockopt(int fd, int level, int name, int value,
                        std::source_location at = std::source_location::current());
/// The integer value of a socket option.
Result<int> getsockopt(int fd, int level, int name, std::source_location at = std::source_location::current());
/// fcntl with an integer argument (F_GETFD, F_SETFD, F_GETFL, F_SETFL); the call's result.
Result<int> fcntl(int fd, int command, int argument, std::source_location at = std::source_location::current());
/// Waits without a time limit, with the signal mask `mask` in place meanwhile, until `fd` has
/// input (or a hang-up or error) to report: true; or until a signal handler ran: false.
Result<bool> waitReadable(int fd, const sigset_t& mask, std::source_location at = std::source_location::current());
Result<void> listen(int fd, int backlog, std::source_location at = std::source_location::current());
Result<void> getsockname(int fd, sockaddr* address, socklen_t* length,
                         std::source_location at = std::source_location::current());
/// Repeats the call when a signal interrupts it.
Result<int> accept4(int fd, sockaddr* address, socklen_t* length, int flags,
                    std::source_location at = std::source_location::current());
/// accept4 on a non-blocking listener: nothing when no connection is waiting (another process
/// sharing the listener took it). Repeats the call when a signal interrupts it.
Result<std::optional<int>> acceptPending(int fd, sockaddr* address, socklen_t* length, int flags,
                                         std::source_location at = std::source_location::current());
/// Opens `path` (no file is created). Repeats the call when a signal interrupts it.
Result<int> open(const char* path, int flags, std::source_location at = std::source_location::current());
/// Never fails: an interrupted close counts as done, and other failures are ignored, except
/// EBADF, a descriptor that is not open (a double close): CHECK fails.
void close(int fd) noexcept;
/// Bytes read, 0 at end of stream. Repeats the call when a signal interrupts it.
Result<std::size_t> read(int fd, char* buffer, std::size_t length,
                         std::source_location at = std::source_location::current());
/// Bytes taken, possibly fewer than given. Repeats the call when a signal interrupts it.
Result<std::size_t> write(int fd, const char* bytes, std::size_t length,
                          std::source_location at = std::source_location::current());

}  // namespace runtime::sys
