// The request head reader and the request-line parser.
#include "http/request.h"

#include <array>

namespace http {
namespace {

constexpr std::array<std::string_view, 9> MethodNames = {
    "GET", "HEAD", "POST", "OPTIONS", "CONNECT", "TRACE", "PUT", "PATCH", "DELETE",
};

bool equalsIgnoringCase(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

std::string_view trimBlanks(std::string_view text) noexcept {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::string_view methodName(HttpMethod method) noexcept { return MethodNames[static_cast<std::size_t>(method)]; }

std::optional<HttpMethod> parseMethod(std::string_view token) noexcept {
    for (std::size_t i = 0; i < MethodNames.size(); ++i) {
        if (MethodNames[i] == token) return static_cast<HttpMethod>(i);
    }
    return std::nullopt;
}

runtime::Result<HeadEnd> readHead(runtime::Reader& source, runtime::ByteBuffer& head, std::size_t max_length) {
    std::size_t line_start = 0;
    for (;;) {
        char byte = 0;
        if (!TRY(source.readByte(byte))) return HeadEnd::EndOfStream;
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

bool announcesBody(std::string_view head) noexcept {
    // Every line of the head ends with its LF; the first is the request line.
    for (std::size_t end = head.find('\n'); end != std::string_view::npos; end = head.find('\n')) {
        head.remove_prefix(end + 1);
        std::string_view line = head.substr(0, head.find('\n'));
        if (line.ends_with('\r')) line.remove_suffix(1);
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = trimBlanks(line.substr(0, colon));
        std::string_view value = trimBlanks(line.substr(colon + 1));
        if (equalsIgnoringCase(name, "transfer-encoding")) return true;
        if (equalsIgnoringCase(name, "content-length") && value.find_first_not_of('0') != std::string_view::npos) {
            return true;
        }
    }
    return false;
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
