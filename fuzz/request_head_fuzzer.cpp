// The request path of one connection: arbitrary bytes through handleSocket over a socket pair.
// It must never fail or crash on its own input, never consume a byte past the blank line, and
// answer with one of the defined pages or, without a blank line, with nothing.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "endpoints/endpoints.h"
#include "endpoints/worlds.h"
#include "fuzz_support.h"
#include "http/connection.h"
#include "support/wire.h"

namespace {

bool initialise() {
    std::signal(SIGPIPE, SIG_IGN);
    endpoints::endpoints = endpoints::EndpointTable(runtime::gpa);
    fuzzing::check(endpoints::endpoints.put("/api/v1/worlds", endpoints::worldsList).has_value(), "register");
    return true;
}

/// Where the head ends for a reader that stops after the first line that is exactly CR: the
/// offset just past that line's LF, or nothing.
std::optional<std::size_t> headEnd(std::string_view input) {
    for (std::size_t line = 0; line < input.size();) {
        if (input.substr(line, 2) == "\r\n") return line + 2;
        std::size_t lf = input.find('\n', line);
        if (lf == std::string_view::npos) return std::nullopt;
        line = lf + 1;
    }
    return std::nullopt;
}

std::string readToEnd(int fd) {
    std::string text;
    std::array<char, 65536> buffer;
    for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) text.append(buffer.data(), static_cast<std::size_t>(got));
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool initialised = initialise();
    (void)initialised;
    // The first byte sets the head limit (16 to 2056 bytes), so short inputs reach the 431
    // answer and both sides of its boundary; the logic is the one the 1 MiB limit runs.
    if (size == 0) return 0;
    const std::size_t limit = 16 + std::size_t{data[0]} * 8;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    int fds[2];
    fuzzing::check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    std::thread client([&] {
        for (std::string_view left = input; !left.empty();) {
            ssize_t put = ::send(fds[1], left.data(), left.size(), MSG_NOSIGNAL);
            if (put <= 0) break;
            left.remove_prefix(static_cast<std::size_t>(put));
        }
        ::shutdown(fds[1], SHUT_WR);
    });
    runtime::Result<void> served = http::handleSocket(fds[0], runtime::gpa, limit);
    ::shutdown(fds[0], SHUT_WR);
    const std::string unread = readToEnd(fds[0]);
    client.join();
    const std::string answer = readToEnd(fds[1]);
    ::close(fds[0]);
    ::close(fds[1]);

    using namespace testing_support;
    fuzzing::check(served.has_value(), "a well-behaved peer never makes handleSocket fail");
    const std::size_t consumed = input.size() - unread.size();
    // The blank line's CR LF is not part of the stored head.
    const std::optional<std::size_t> end = headEnd(input);
    if (answer == TooLargePage) {
        fuzzing::check(consumed > limit && consumed <= limit + 2, "the head limit stops reading at the first byte beyond it");
        fuzzing::check(!end || *end - 2 > limit, "a head within the limit is never refused");
        return 0;
    }
    fuzzing::check(consumed == end.value_or(input.size()), "reading stops right after the blank line");
    fuzzing::check(!end || *end - 2 <= limit, "a head over the limit is refused");
    fuzzing::check(answer.empty() == !end.has_value(), "a head without a blank line gets no answer");
    fuzzing::check(answer.empty() || answer == NotFoundPage || answer == WorldsAnswer || answer == BadRequestPage ||
                       answer == NotImplementedPage,
                   "the answer is one of the defined pages");
    return 0;
}
