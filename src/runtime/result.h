// Result<T>, fail() and TRY: errors as values that remember the code locations they passed through.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <source_location>
#include <utility>

#include "runtime/error.h"

namespace runtime {

inline constexpr std::size_t MaxTraceEntries = 32;

/// Where the error in flight arose and every hop it has taken since, first to last.
/// A fixed array, so recording works even after OutOfMemory. The process has one thread and
/// one error in flight at a time, so one trace serves the whole process.
struct ErrorTrace {
    std::array<std::source_location, MaxTraceEntries> entries{};
    std::size_t count = 0;    ///< entries filled
    std::size_t dropped = 0;  ///< hops past the 32nd, counted but not kept
};

/// The process's error trace.
ErrorTrace& errorTrace() noexcept;

/// Appends one hop to the error trace, unless it is the place the error was raised at (a
/// system-call wrapper raises at its caller's place, where the caller's TRY is the same hop).
void recordErrorHop(std::source_location at) noexcept;

/// A value or an error name. Derived so that a dropped result does not compile.
template <class T>
struct [[nodiscard]] Result : std::expected<T, Error> {
    using std::expected<T, Error>::expected;
};

/// Raises `error` at `at`: starts a new trace with that location.
[[nodiscard]] inline std::unexpected<Error> fail(Error error,
                                                 std::source_location at = std::source_location::current()) noexcept {
    ErrorTrace& trace = errorTrace();
    trace.count = 0;
    trace.dropped = 0;
    recordErrorHop(at);
    return std::unexpected(error);
}

/// Passes `result` on as the enclosing function's own result, recording this hop when it is an
/// error: `return runtime::passOn(res.html(page));` where TRY would need `TRY(...); return {};`.
template <class T>
[[nodiscard]] Result<T> passOn(Result<T> result, std::source_location at = std::source_location::current()) noexcept {
    if (!result.has_value()) recordErrorHop(at);
    return result;
}

}  // namespace runtime

/// Evaluates a Result; on error records this hop and returns the error from the enclosing
/// function, else yields the value. Never nest a TRY inside a TRY.
#define TRY(expr)                                                       \
    __extension__({                                                     \
        auto&& try_result_ = (expr);                                    \
        if (!try_result_.has_value()) {                                 \
            ::runtime::recordErrorHop(std::source_location::current()); \
            return std::unexpected(try_result_.error());                \
        }                                                               \
        *std::move(try_result_);                                        \
    })
