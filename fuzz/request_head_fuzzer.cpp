// The request path of one connection: arbitrary bytes through serveConnection, read from a
// string as a connection would deliver them. It must never fail or crash on its own input,
// never consume a byte past the blank line, and answer with one of the defined pages or,
// without a blank line, with nothing.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "http/connection.h"
#include "http/pages.h"
#include "support/string_source.h"
#include "support/wire.h"

namespace {

/// Answers every dispatched request with the not-found page, as the server does for any path
/// without an endpoint.
runtime::Result<void> answerNotFound(std::pmr::memory_resource&, const http::Request&, http::Response& res) {
    return runtime::passOn(http::answerPage(res, http::NotFoundPage));
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte sets the head limit (16 to 2056 bytes), so short inputs reach the 431
    // answer and both sides of its boundary; the logic is the one the 1 MiB limit runs.
    if (size == 0) return 0;
    const std::size_t limit = 16 + std::size_t{data[0]} * 8;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    testing_support::StringSource source(input);
    fuzzing::StringWriter out;
    runtime::Result<http::Served> served = http::serveConnection(source, out, answerNotFound, runtime::gpa, limit);
    const std::string& answer = out.text;

    using namespace testing_support;
    fuzzing::check(served.has_value(), "a well-behaved peer never makes serveConnection fail");
    const std::size_t consumed = input.size() - source.rest.size();
    // The blank line's CR LF is not part of the stored head.
    const std::optional<std::size_t> end = headEnd(input);
    if (answer == TooLargePage) {
        fuzzing::check(consumed > limit && consumed <= limit + 2,
                       "the head limit stops reading at the first byte beyond it");
        fuzzing::check(!end || *end - 2 > limit, "a head within the limit is never refused");
        return 0;
    }
    fuzzing::check(consumed == end.value_or(input.size()), "reading stops right after the blank line");
    fuzzing::check(!end || *end - 2 <= limit, "a head over the limit is refused");
    fuzzing::check(answer.empty() == !end.has_value(), "a head without a blank line gets no answer");
    fuzzing::check(answer.empty() || answer == NotFoundPage || answer == BadRequestPage || answer == NotImplementedPage,
                   "the answer is one of the defined pages");
    return 0;
}
