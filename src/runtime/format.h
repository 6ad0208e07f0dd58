// Number formatting into caller-provided storage: no heap, safe in a signal handler.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace runtime {

/// The hexadecimal digits, lower case: the one table for every hexadecimal the server writes.
inline constexpr std::string_view HexDigits = "0123456789abcdef";

/// Enough room for the 20 digits of the largest unsigned 64-bit value.
using DigitBuffer = std::array<char, 20>;

/// `value` in decimal, without padding; a view into `buffer`.
constexpr std::string_view formatDecimal(std::uint64_t value, DigitBuffer& buffer) noexcept {
    std::size_t start = buffer.size();
    do {
        buffer[--start] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return {buffer.data() + start, buffer.size() - start};
}

/// `value` in lower-case hexadecimal, without padding or prefix; a view into `buffer`.
constexpr std::string_view formatHex(std::uint64_t value, DigitBuffer& buffer) noexcept {
    std::size_t start = buffer.size();
    do {
        buffer[--start] = HexDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    return {buffer.data() + start, buffer.size() - start};
}

}  // namespace runtime
