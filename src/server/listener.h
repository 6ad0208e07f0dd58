// The listening socket: created, bound, listening, its address read back.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/result.h"

namespace server {

/// The listener's state.
struct Server {
    std::uint32_t kernel_backlog = 128;
    /// SO_REUSEADDR before bind: a restart is not refused for the minute the connections this
    /// process closed first linger in TIME_WAIT. A live listener still makes bind fail.
    bool reuse_address = true;
    /// TCP_NODELAY on the listener, which accepted connections inherit: an answer goes out as
    /// many small writes, and with Nagle's algorithm each write after the first waited for the
    /// client's (delayed) acknowledgement, stalling some answers by 40 ms or more.
    bool no_delay = true;
    sockaddr_in listen_address{};  ///< read back after listen
    std::optional<int> sockfd;     ///< the listening socket, once listening
};

/// The IPv4 address `text` (dotted decimal) with `port`, or nothing if the text is not one.
std::optional<sockaddr_in> parseIp4Address(std::string_view text, std::uint16_t port) noexcept;

/// Creates a blocking, close-on-exec TCP socket, sets its options, binds it to `address`,
/// listens and reads the bound address back. If any step after the socket's creation fails,
/// the socket is closed.
/// Errors: those of socket, setsockopt, bind, listen and getsockname.
runtime::Result<void> listen(Server& server, const sockaddr_in& address);

}  // namespace server
