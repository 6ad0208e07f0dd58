// hashString and eqlString: the key functions of every HashMap in the server.
#pragma once

#include <cstdint>
#include <string_view>

namespace http {

/// 64-bit Wyhash of `key`'s bytes with seed 0, in the hash's early published form: 32-byte
/// rounds, a 0..31-byte tail folded in by its length, then mixed with the total length.
std::uint64_t hashString(std::string_view key) noexcept;

/// Same length and same bytes; letter case matters.
inline bool eqlString(std::string_view a, std::string_view b) noexcept { return a == b; }

}  // namespace http
