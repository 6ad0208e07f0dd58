// Start-up and the accept loop: one connection at a time, one request per connection.
#include "server/server.h"

#include <unistd.h>

#include <csignal>
#include <utility>

#include "endpoints/endpoints.h"
#include "endpoints/worlds.h"
#include "http/connection.h"
#include "runtime/check.h"
#include "runtime/fd.h"
#include "runtime/log.h"
#include "runtime/memory.h"
#include "server/activation.h"
#include "server/linger.h"
#include "server/listener.h"

namespace server {
namespace {

constexpr std::uint16_t Port = 9091;

/// The next connection; nothing when a stoppable server is asked to stop while it waits.
runtime::Result<std::optional<runtime::Fd>> nextConnection(const runtime::Fd& listener, bool stoppable) {
    if (stoppable) return runtime::passOn(acceptUnlessStopped(listener));
    return TRY(accept(listener));
}

/// Returns with an error, or with success when a stoppable server is asked to stop.
runtime::Result<void> acceptLoop(const runtime::Fd& listener, bool stoppable) {
    for (;;) {
        // A stop asked for while the last connection was served ends the process before the
        // next wait, and so before its log line.
        if (stoppable && stopRequested()) return {};
        runtime::info<"Listening..\n">();
        std::optional<runtime::Fd> file = TRY(nextConnection(listener, stoppable));
        if (!file) return {};
        // On error the connection is closed as the error passes up, before the fatal exit.
        http::Served served = TRY(http::handleSocket(file->get(), endpoints::processRequest));
        closeConnection(std::move(*file), served.body_announced);
    }
}

}  // namespace

runtime::Result<void> run() {
    endpoints::endpoints = endpoints::EndpointTable(runtime::gpa);
    runtime::info<"All your codebase are belong to us.\n">();
    TRY(endpoints::endpoints.put("/api/v1/worlds", endpoints::worldsList));
    Server server;
    const bool activated = TRY(takeActivationEnvironment());
    if (activated) {
        server.sockfd = TRY(adoptListener(server, InheritedListener));
    } else {
        std::optional<sockaddr_in> address = parseIp4Address("127.0.0.1", Port);
        CHECK(address.has_value());  // a fixed literal
        server.sockfd = TRY(listen(server, *address));
    }
    // As the first process of its PID namespace (a container's), the kernel drops every signal
    // that has no handler: SIGTERM and SIGINT would do nothing, and a stop would wait for
    // SIGKILL and cut the answer in flight. So there, both stop it between connections.
    const bool first_process = ::getpid() == 1;
    if (first_process) {
        TRY(stopBetweenConnections(server.sockfd, {SIGTERM, SIGINT}));
    } else if (activated) {
        TRY(stopBetweenConnections(server.sockfd, {SIGTERM}));
    }
    return runtime::passOn(acceptLoop(server.sockfd, activated || first_process));
}

}  // namespace server
