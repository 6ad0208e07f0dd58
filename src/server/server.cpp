// Start-up and the accept loop: one connection at a time, one request per connection.
#include "server/server.h"

#include <sys/socket.h>

#include <array>

#include "endpoints/endpoints.h"
#include "endpoints/worlds.h"
#include "http/connection.h"
#include "runtime/log.h"
#include "runtime/memory.h"
#include "runtime/sys.h"
#include "server/linger.h"
#include "server/listener.h"

namespace server {
namespace {

constexpr std::uint16_t Port = 9091;

/// Room for any socket address kind the listener knows, Unix-domain ones included.
constexpr socklen_t PeerAddressLength = 112;

/// Returns only with an error.
runtime::Result<void> acceptLoop(int listener) {
    for (;;) {
        runtime::info<"Listening..\n">();
        alignas(sockaddr_storage) std::array<std::byte, PeerAddressLength> peer;
        socklen_t peer_length = PeerAddressLength;
        int file = TRY(runtime::sys::accept4(listener, reinterpret_cast<sockaddr*>(peer.data()), &peer_length,
                                             SOCK_CLOEXEC));
        // On error the connection stays open until the process is gone.
        TRY(http::handleSocket(file));
        closeConnection(file);
    }
}

}  // namespace

runtime::Result<void> run() {
    endpoints::endpoints = endpoints::EndpointTable(runtime::gpa);
    runtime::info<"All your codebase are belong to us.\n">();
    TRY(endpoints::endpoints.put("/api/v1/worlds", endpoints::worldsList));
    Server server;
    // A fixed literal: it always parses.
    sockaddr_in address = *parseIp4Address("127.0.0.1", Port);
    TRY(listen(server, address));
    TRY(acceptLoop(*server.sockfd));
    return {};
}

}  // namespace server
