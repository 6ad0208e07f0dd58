// Closing a served connection without losing the answer to a reset.
#pragma once

#include <chrono>
#include <cstddef>

namespace server {

inline constexpr std::chrono::milliseconds MaxLingerTime{1000};
inline constexpr std::size_t MaxLingerBytes = 1 << 20;

/// Closes `file`. If the client sent bytes nobody read (a request body), closing at once
/// would answer them with a reset that destroys the response still in flight; so first the
/// sending side is shut, then what arrives is read and dropped until end of stream, at most
/// MaxLingerTime and MaxLingerBytes. Never fails: the answer is complete by now, so a
/// failure while draining only ends the draining.
void closeConnection(int file) noexcept;

}  // namespace server
