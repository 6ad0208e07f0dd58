// Request intake: HttpMethod, the request head reader and the request-line parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/arena.h"
#include "runtime/io.h"
#include "runtime/result.h"

namespace http {

/// The request method; the enumerators are the wire names, their values fixed.
enum class HttpMethod : std::uint8_t { GET, HEAD, POST, OPTIONS, CONNECT, TRACE, PUT, PATCH, DELETE };

/// "GET", "HEAD", ...: the method as it prints.
std::string_view methodName(HttpMethod method) noexcept;

/// The method whose name equals `token` exactly (case-sensitive), or nothing.
std::optional<HttpMethod> parseMethod(std::string_view token) noexcept;

/// The parsed request, handed to processRequest and the endpoint.
struct Request {
    HttpMethod method;
    std::string_view path;    ///< the second token, as received; a view into the request head
    runtime::Reader& reader;  ///< the connection's; stands just past the head; nobody reads the body
};

/// The most bytes a request head may hold: its lines, each with its LF.
inline constexpr std::size_t MaxHeadLength = 1 << 20;

/// How reading a head ended.
enum class HeadEnd : std::uint8_t {
    Complete,     ///< the line of a single CR arrived
    EndOfStream,  ///< the client closed its side first
    TooLarge,     ///< the head would have grown past MaxHeadLength; reading stopped there
};

/// Reads the head from `source`, one byte per readByte call (one read call per byte on a
/// connection), up to and including the LF of the line that is a single CR; not one byte
/// more. Appends every other line with its LF to `head`, and stops at the first byte that
/// would make the head longer than `max_length`. Errors: those of the source; OutOfMemory.
runtime::Result<HeadEnd> readHead(runtime::Reader& source, runtime::ByteBuffer& head,
                                  std::size_t max_length = MaxHeadLength);

/// What the request line of a head says.
enum class RequestLineStatus : std::uint8_t {
    Ok,
    BadRequest,      ///< fewer than three tokens, or an empty first token
    NotImplemented,  ///< a first token that names no method
};

struct RequestLine {
    RequestLineStatus status;
    HttpMethod method;      ///< set when Ok
    std::string_view path;  ///< set when Ok; a view into the head it was parsed from
};

/// Whether the header lines of `head` (every line after the first) announce a body that may still
/// be on its way: a Content-Length other than 0, or any Transfer-Encoding; field names compare
/// case-insensitively, blanks around names and values are ignored. The answer never depends on
/// it: it only keeps the connection open after the answer until that body has arrived.
bool announcesBody(std::string_view head) noexcept;

/// Parses the first line of `head` (up to its first CR LF): tokens split at single spaces;
/// the first is the method, the second the path, a third (not examined) must be present.
RequestLine parseRequestLine(std::string_view head) noexcept;

}  // namespace http
