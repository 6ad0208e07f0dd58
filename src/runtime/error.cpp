// Names of the errors, as the fatal exit prints them.
#include "runtime/error.h"

#include <array>
#include <cstddef>

namespace runtime {
namespace {

constexpr std::array Names = {
#define WORLDS_ERROR_NAME(name) std::string_view(#name),
    WORLDS_ERRORS(WORLDS_ERROR_NAME)
#undef WORLDS_ERROR_NAME
};

}  // namespace

std::string_view errorName(Error error) noexcept { return Names[static_cast<std::size_t>(error)]; }

}  // namespace runtime
