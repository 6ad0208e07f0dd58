// The diagnostic log: whole lines on standard error, unbuffered, one write per piece.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <string_view>

#include "runtime/format.h"

namespace runtime {

/// A string literal usable as a template argument, so formats are fixed when the server is built.
template <std::size_t N>
struct FixedString {
    char chars[N]{};
    consteval FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
    consteval FixedString() = default;
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

template <std::size_t N, std::size_t M>
consteval FixedString<N + M - 1> concat(const FixedString<N>& a, const FixedString<M>& b) {
    FixedString<N + M - 1> out;
    std::copy_n(a.chars, N - 1, out.chars);
    std::copy_n(b.chars, M, out.chars + N - 1);
    return out;
}

/// Where the next "{}" of `format` starts at or after `from`, or format.size(). A plain loop:
/// string_view::find is not a constant expression under GCC's undefined-behaviour checks.
consteval std::size_t findPlaceholder(std::string_view format, std::size_t from) {
    for (std::size_t i = from; i + 1 < format.size(); ++i) {
        if (format[i] == '{' && format[i + 1] == '}') return i;
    }
    return format.size();
}

consteval std::size_t countPlaceholders(std::string_view format) {
    std::size_t count = 0;
    for (std::size_t at = findPlaceholder(format, 0); at < format.size(); at = findPlaceholder(format, at + 2)) ++count;
    return count;
}

/// The literal runs of `Format` around its "{}" placeholders, split when the server is built.
template <FixedString Format>
consteval auto splitFormat() {
    constexpr std::string_view format = Format.view();
    std::array<std::string_view, countPlaceholders(format) + 1> runs{};
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
        std::size_t at = findPlaceholder(format, start);
        runs[i] = format.substr(start, at - start);
        start = at + 2;
    }
    runs.back() = format.substr(start);
    return runs;
}

/// Holds the one standard-error lock, stderr_mutex, for its lifetime. A line's own writes
/// never log, so the lock is never taken twice.
class StderrLock {
public:
    StderrLock();
    ~StderrLock();
    StderrLock(const StderrLock&) = delete;
    StderrLock& operator=(const StderrLock&) = delete;
};

/// Writes one piece of a line to descriptor 2, completely. False once a write failed; a
/// failure the write table does not name writes the unexpected-number diagnostic first.
/// An empty piece makes no system call.
bool writeLogPiece(std::string_view piece) noexcept;

inline bool writeLogArgument(std::string_view text) noexcept { return writeLogPiece(text); }

/// A text argument that comes from a client. Each byte below 0x20 and the byte 0x7F is
/// written as "\x" and two lower-case hexadecimal digits, a backslash as "\\", every other
/// byte as it is: a client can neither end the line early (and forge one of its own) nor
/// send control sequences to the terminal of whoever reads the log.
struct Escaped {
    std::string_view text;
};

/// Each run of bytes written as they are is one piece, and so is each escape: a text with
/// nothing to escape is one write, as a plain text argument is.
bool writeLogArgument(Escaped argument) noexcept;

/// An integer that prints as a number: not a bool and not a character type, which would print
/// as 1 or 120 where a text was meant.
template <class T>
concept LogNumber = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                    !std::same_as<T, signed char> && !std::same_as<T, unsigned char> && !std::same_as<T, char8_t> &&
                    !std::same_as<T, char16_t> && !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;

template <LogNumber T>
    requires std::unsigned_integral<T>
bool writeLogArgument(T number) noexcept {
    DigitBuffer digits;
    return writeLogPiece(formatDecimal(number, digits));
}

template <LogNumber T>
    requires std::signed_integral<T>
bool writeLogArgument(T number) noexcept {
    if (number >= 0) return writeLogArgument(static_cast<unsigned long long>(number));
    return writeLogPiece("-") && writeLogArgument(0ULL - static_cast<unsigned long long>(number));
}

/// Writes one whole line under the lock: each literal run and each argument is one piece.
/// A failed write drops the rest of the line; nothing is reported.
template <FixedString Line, class... Args>
void writeLogLine(const Args&... args) noexcept {
    static constexpr auto runs = splitFormat<Line>();
    static_assert(runs.size() == sizeof...(Args) + 1, "one argument per {} in the format");
    StderrLock lock;
    std::size_t i = 0;
    bool ok = true;
    ((ok = ok && writeLogPiece(runs[i]) && writeLogArgument(args), ++i), ...);
    if (ok) writeLogPiece(runs.back());
}

/// One line "info: " + Format, e.g. info<"{} {}\n">(method, path).
template <FixedString Format, class... Args>
void info(const Args&... args) noexcept {
    writeLogLine<concat(FixedString("info: "), Format)>(args...);
}

/// One line "error: " + Format.
template <FixedString Format, class... Args>
void err(const Args&... args) noexcept {
    writeLogLine<concat(FixedString("error: "), Format)>(args...);
}

}  // namespace runtime
