// Printing the error trace and the current call chain to standard error.
#pragma once

#include <source_location>
#include <string_view>

namespace runtime {

/// Writes `text` to descriptor 2 with plain write calls, continuing after partial writes and
/// repeating interrupted ones; stops at the first failure and returns its error number (0 when
/// all went out). Async-signal-safe; takes no lock and maps no error.
int writeStderrRaw(std::string_view text) noexcept;

/// One trace entry: "file:line:column: in function", then the source line and a caret under
/// the column when the source file can be read.
void printTraceEntry(std::source_location at) noexcept;

/// The error trace, from where the error arose to the last hop recorded.
void printErrorTrace() noexcept;

/// The current call chain, one frame per line, as the C library can name it.
void printCallChain() noexcept;

}  // namespace runtime
