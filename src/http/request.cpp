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
