// The standard descriptors at start-up.
#pragma once

#include "runtime/result.h"

namespace runtime {

/// Makes sure descriptors 0, 1 and 2 are open, opening /dev/null on each one that is not.
/// Run first: a process started with one of them closed would otherwise give it to the
/// listener or a connection, and log lines written to 2 would go into a client's answer.
/// Errors: those of open (FileNotFound, AccessDenied, ...).
Result<void> openStandardDescriptors();

}  // namespace runtime
