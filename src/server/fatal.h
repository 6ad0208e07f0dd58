// The fatal exit: the error's name, its trace, exit status 1.
#pragma once

#include "runtime/error.h"

namespace server {

/// Writes "error: {name}\n" as a log line, then the error trace without the lock, and ends
/// the process with status 1, whether or not standard error took the lines.
[[noreturn]] void fatalExit(runtime::Error error) noexcept;

}  // namespace server
