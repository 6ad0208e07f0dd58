// UTF-8 well-formedness and code-point decoding for the JSON writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace json {

/// The length of the sequence that `lead` starts: 1 for 0x00-0x7F, 2 for 0xC0-0xDF,
/// 3 for 0xE0-0xEF, 4 for 0xF0-0xF7; 0 for a continuation byte or 0xF8-0xFF.
constexpr std::size_t sequenceLength(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    return 0;
}

/// The code point of the well-formed sequence `bytes` (its whole length is one sequence).
constexpr std::uint32_t decodeSequence(std::string_view bytes) noexcept {
    // The lead byte keeps 7, 5, 4 or 3 value bits for lengths 1 to 4.
    const unsigned lead_bits = bytes.size() == 1 ? 7u : 7u - static_cast<unsigned>(bytes.size());
    std::uint32_t value = static_cast<unsigned char>(bytes[0]) & ((1u << lead_bits) - 1);
    for (std::size_t i = 1; i < bytes.size(); ++i) value = value << 6 | (static_cast<unsigned char>(bytes[i]) & 0x3F);
    return value;
}

/// True if `bytes` is well-formed UTF-8 (RFC 3629): no stray continuation byte, no sequence
/// cut off at the end, no overlong form, no surrogate, nothing above U+10FFFF. The empty
/// string is well-formed.
bool utf8ValidateSlice(std::string_view bytes) noexcept;

}  // namespace json
