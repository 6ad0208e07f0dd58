// A plain TCP client for tests that talk to a real listener on the loopback address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/fd.h"

namespace testing_support {

/// A blocking connection to 127.0.0.1:`port`; retries for up to `timeout_ms` while refused.
runtime::Fd connectLoopback(std::uint16_t port, int timeout_ms = 5000);

/// Connects, sends `request`, and returns everything the server sends until it closes.
std::string roundTrip(std::uint16_t port, std::string_view request, int timeout_ms = 5000);

/// Closes `fd` with a reset instead of an orderly end of stream.
void resetAndClose(runtime::Fd fd);

}  // namespace testing_support
