// Start-up and the accept loop.
#pragma once

#include "runtime/result.h"

namespace server {

/// Registers the endpoints, listens on 127.0.0.1:9091 (or on the listener a service manager
/// handed in: LISTEN_PID and LISTEN_FDS) and serves connections one after another, forever.
/// Returns the first error met anywhere, for the fatal exit; returns success only when a
/// process handed its listener (SIGTERM), or process 1 of its PID namespace (SIGTERM, SIGINT),
/// is asked to stop, between two connections.
runtime::Result<void> run();

}  // namespace server
