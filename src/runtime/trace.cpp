// Error traces and call chains on standard error, without the heap.
#include "runtime/trace.h"

#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "runtime/format.h"
#include "runtime/result.h"

namespace runtime {
namespace {

constexpr std::size_t MaxSourceLine = 240;

/// Line `number` (1-based) of the file at `path`, cut at MaxSourceLine bytes, or empty.
std::string_view readSourceLine(const char* path, std::uint_least32_t number,
                                std::array<char, MaxSourceLine>& line) noexcept {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::array<char, 4096> chunk;
    std::uint_least32_t current = 1;
    std::size_t length = 0;
    bool done = false;
    while (!done) {
        ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t i = 0; i < got && !done; ++i) {
            char c = chunk[static_cast<std::size_t>(i)];
            if (c == '\n') {
                done = current == number;
                ++current;
            } else if (current == number && length < line.size()) {
                line[length++] = c;
            }
        }
    }
    ::close(fd);
    return current >= number ? std::string_view(line.data(), length) : std::string_view{};
}

bool sameLocation(const std::source_location& a, const std::source_location& b) noexcept {
    return a.line() == b.line() && a.column() == b.column() && std::string_view(a.file_name()) == b.file_name();
}

}  // namespace

ErrorTrace& errorTrace() noexcept {
    static ErrorTrace trace;
    return trace;
}

void recordErrorHop(std::source_location at) noexcept {
    ErrorTrace& trace = errorTrace();
    // A system-call wrapper raises its error at its caller's place, so the TRY around that call
    // is the hop already recorded; any later hop is a place of its own.
    if (trace.count == 1 && sameLocation(trace.entries[0], at)) return;
    if (trace.count < trace.entries.size()) {
        trace.entries[trace.count++] = at;
    } else {
        ++trace.dropped;
    }
}

int writeStderrRaw(std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t put = ::write(2, text.data(), text.size());
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return errno;
        if (put == 0) return EIO;  // took nothing: trying again would never end
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return 0;
}

void printTraceEntry(std::source_location at) noexcept {
    DigitBuffer digits;
    writeStderrRaw(at.file_name());
    writeStderrRaw(":");
    writeStderrRaw(formatDecimal(at.line(), digits));
    writeStderrRaw(":");
    writeStderrRaw(formatDecimal(at.column(), digits));
    writeStderrRaw(": in ");
    writeStderrRaw(at.function_name());
    writeStderrRaw("\n");
    std::array<char, MaxSourceLine> storage;
    std::string_view line = readSourceLine(at.file_name(), at.line(), storage);
    if (line.empty()) return;
    writeStderrRaw(line);
    writeStderrRaw("\n");
    // Tabs stay tabs so the caret lines up under the column whatever the tab width.
    std::array<char, MaxSourceLine> pad;
    std::size_t width = std::min<std::size_t>(at.column() > 0 ? at.column() - 1 : 0, line.size());
    for (std::size_t i = 0; i < width; ++i) pad[i] = line[i] == '\t' ? '\t' : ' ';
    writeStderrRaw({pad.data(), width});
    writeStderrRaw("^\n");
}

void printErrorTrace() noexcept {
    const ErrorTrace& trace = errorTrace();
    for (std::size_t i = 0; i < trace.count; ++i) printTraceEntry(trace.entries[i]);
    if (trace.dropped == 0) return;
    DigitBuffer digits;
    writeStderrRaw("(");
    writeStderrRaw(formatDecimal(trace.dropped, digits));
    writeStderrRaw(" more hops not recorded)\n");
}

void printCallChain() noexcept {
    std::array<void*, 64> frames;
    int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
    ::backtrace_symbols_fd(frames.data(), count, 2);
}

}  // namespace runtime
