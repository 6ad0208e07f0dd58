// Invariants checked in every build: CHECK(condition) and MUST(result).
#pragma once

#include <source_location>
#include <string_view>

#include "runtime/error.h"

namespace runtime {

/// Writes "CHECK failed: {condition}" with where it failed, then the current call chain, to
/// standard error, and aborts. For broken invariants only: nothing is caught and survived.
[[noreturn]] void checkFailed(std::string_view condition,
                              std::source_location at = std::source_location::current()) noexcept;

/// As checkFailed, for a MUST whose result was `error`: "MUST failed: {expr}: {name}".
[[noreturn]] void mustFailed(std::string_view expr, Error error,
                             std::source_location at = std::source_location::current()) noexcept;

}  // namespace runtime

/// Aborts with the condition's text, its place and the call chain unless `condition` holds.
#define CHECK(condition)                                      \
    do {                                                      \
        if (!(condition)) ::runtime::checkFailed(#condition); \
    } while (false)

/// The value of a Result that cannot fail; aborts with the error's name if it did.
#define MUST(expr)                                                                         \
    __extension__({                                                                        \
        auto&& must_result_ = (expr);                                                      \
        if (!must_result_.has_value()) ::runtime::mustFailed(#expr, must_result_.error()); \
        *std::move(must_result_);                                                          \
    })
