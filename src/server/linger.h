// Closing a served connection without losing the answer to a reset.
#pragma once

#include <chrono>

#include "runtime/fd.h"

namespace server {

/// How long a lingering close waits for the client's end of stream.
struct LingerLimits {
    std::chrono::milliseconds total{30'000};  ///< in all
    std::chrono::milliseconds idle{5'000};    ///< without a byte arriving
};

/// Closes `file`, which it takes over. If the client sent bytes nobody read, or announced a body
/// (`body_announced`) that may not have arrived yet, closing at once would answer its bytes with
/// a reset that destroys the answer still in flight, or make its send fail before it reads;
/// so first the sending side is shut, which sends the answer and its end, then whatever
/// arrives is read and dropped until the client's end of stream, within `limits`. There is no byte limit:
/// nothing is kept. Never fails: the answer is complete by now, so a failure while draining
/// only ends the draining.
void closeConnection(runtime::Fd file, bool body_announced, LingerLimits limits = {}) noexcept;

}  // namespace server
