// Start-up and the accept loop: one connection at a time, one request per connection.
#include "server/server.h"

#include <utility>

#include "endpoints/endpoints.h"
#include "endpoints/worlds.h"
#include "http/connection.h"
#include "runtime/fd.h"
#include "runtime/log.h"
#include "runtime/memory.h"
#include "server/linger.h"
#include "server/listener.h"

namespace server {
namespace {

constexpr std::uint16_t Port = 9091;

/// Returns only with an error.
runtime::Result<void> acceptLoop(const runtime::Fd& listener) {
    for (;;) {
        runtime::info<"Listening..\n">();
        runtime::Fd file = TRY(accept(listener));
        // On error the connection is closed as the error passes up, before the fatal exit.
        http::Served served = TRY(http::handleSocket(file.get(), endpoints::processRequest));
        closeConnection(std::move(file), served.body_announced);
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
    server.sockfd = TRY(listen(server, address));
    return forward(acceptLoop(server.sockfd));
}

}  // namespace server
