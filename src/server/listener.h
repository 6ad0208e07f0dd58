// The listening socket: created, bound, listening, its address read back.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/fd.h"
#include "runtime/result.h"

namespace server {

/// The listener's state.
struct Server {
    std::uint32_t kernel_backlog = 128;
    /// SO_REUSEADDR before bind: a restart is not refused for the minute the connections this
    /// process closed first linger in TIME_WAIT. A live listener still makes bind fail.
    bool reuse_address = true;
    /// TCP_CORK on the listener, which accepted connections inherit (no call per connection).
    /// An answer is written as many small pieces; corked, they wait in the send queue and leave
    /// together with the FIN at the close (or the shutdown before a lingering close): a few
    /// segments instead of one per piece, no Nagle/delayed-acknowledgement stall, and a client
    /// that has already gone cannot reset the connection between two pieces of its answer.
    bool cork = true;
    sockaddr_storage listen_address{};  ///< read back after listen (an IPv4 address when created here)
    runtime::Fd sockfd;                 ///< the listening socket, once listening; empty before
};

/// The IPv4 address `text` (dotted decimal) with `port`, or nothing if the text is not one.
std::optional<sockaddr_in> parseIp4Address(std::string_view text, std::uint16_t port) noexcept;

/// Creates a blocking, close-on-exec TCP socket, sets the options `server` asks for, binds it
/// to `address`, listens with its backlog and reads the bound address back into
/// `server.listen_address`. Returns the listening socket, which the caller owns; if a step
/// after its creation fails, the socket is closed.
/// Errors: those of socket, setsockopt, bind, listen and getsockname.
runtime::Result<runtime::Fd> listen(Server& server, const sockaddr_in& address);

/// The next connection on `listener`, blocking and close-on-exec, owned by the caller. An
/// interrupted wait is repeated. Errors: those of accept4 (ConnectionAborted, ...).
runtime::Result<runtime::Fd> accept(const runtime::Fd& listener);

/// The next connection on the non-blocking `listener`, as accept gives it, or nothing when no
/// connection is waiting. Errors: those of accept4.
runtime::Result<std::optional<runtime::Fd>> acceptPending(const runtime::Fd& listener);

}  // namespace server
