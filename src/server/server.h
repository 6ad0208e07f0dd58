// Start-up and the accept loop.
#pragma once

#include "runtime/result.h"

namespace server {

/// Registers the endpoints, listens on 127.0.0.1:9091 and serves connections one after
/// another, forever. Returns only with the first error met anywhere, for the fatal exit.
runtime::Result<void> run();

}  // namespace server
