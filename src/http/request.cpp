// The request head reader and the request-line parser.
#include "http/request.h"

#include <array>

namespace http {
namespace {

constexpr std::array<std::string_view, 9> MethodNames = {
    "GET", "HEAD", "POST", "OPTIONS", "CONNECT", "TRACE", "PUT", "PATCH", "DELETE",
};

}  // namespace

std::string_view methodName(HttpMethod method) noexcept {
    return MethodNames[static_cast<std::size_t>(method)];
}

std::optional<HttpMethod> parseMethod(std::string_view token) noexcept {
    for (std::size_t i = 0; i < MethodNames.size(); ++i) {
        if (MethodNames[i] == token) return static_cast<HttpMethod>(i);
    }
    return std::nullopt;
}

runtime::Result<HeadEnd> readHead(runtime::FdReader& reader, runtime::ByteBuffer& head, std::size_t max_length) {
    std::size_t line_start = 0;
    for (;;) {
        char byte = 0;
        if (!TRY(reader.readByte(byte))) return HeadEnd::EndOfStream;
        std::string_view line = head.view().substr(line_start);
        if (byte == '\n') {
            // Only a line of exactly one CR ends the head: not a bare LF, not blanks.
            if (line == "\r") {
                head.truncate(line_start);
                return HeadEnd::Complete;
            }
            if (head.size() + 1 > max_length) return HeadEnd::TooLarge;
            TRY(head.append('\n'));
            line_start = head.size();
            continue;
        }
        // A lone CR at the start of a line may still be the blank line, so it does not count
        // against the limit until a byte other than LF follows it.
        bool may_end_head = line.empty() && byte == '\r';
        if (head.size() + 1 > max_length && !may_end_head) return HeadEnd::TooLarge;
        TRY(head.append(byte));
    }
}

RequestLine parseRequestLine(std::string_view head) noexcept {
    std::string_view first_line = head.substr(0, head.find("\r\n"));
    std::array<std::string_view, 3> tokens;
    std::size_t count = 0;
    for (; count < tokens.size(); ++count) {
        std::size_t space = first_line.find(' ');
        tokens[count] = first_line.substr(0, space);
        if (space == std::string_view::npos) {
            ++count;
            break;
        }
        first_line.remove_prefix(space + 1);
    }
    if (count < 3 || tokens[0].empty()) return {RequestLineStatus::BadRequest, {}, {}};
    std::optional<HttpMethod> method = parseMethod(tokens[0]);
    if (!method) return {RequestLineStatus::NotImplemented, {}, {}};
    return {RequestLineStatus::Ok, *method, tokens[1]};
}

}  // namespace http
