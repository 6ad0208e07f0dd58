// The fixed pages and the four headers every answer carries, for the endpoints and the refusals.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "http/response.h"
#include "runtime/result.h"

namespace http {

/// A fixed HTML answer: its status code (the reason is always "OK") and its page.
struct Page {
    std::uint16_t status;
    std::string_view html;
};

/// A path without an endpoint.
inline constexpr Page NotFoundPage{404, "<p>Invalid endpoint</p>"};
/// Fewer than three tokens in the request line, or an empty first token.
inline constexpr Page BadRequestPage{400, "<p>Bad request</p>"};
/// A first token that names no method.
inline constexpr Page NotImplementedPage{501, "<p>Not implemented</p>"};
/// A head longer than the limit.
inline constexpr Page TooLargePage{431, "<p>Request header fields too large</p>"};

/// Writes `page` through `res`: the status line, the header block with Content-Type text/html
/// and Content-Length, the page. Errors: those of Response::status and Response::html.
runtime::Result<void> answerPage(Response& res, const Page& page);

/// One header of every answer.
struct DefaultHeader {
    std::string_view name;
    std::string_view value;
};

/// In the order they are put: that order, with their hashes, decides their slots in the
/// header table and so the wire order.
inline constexpr std::array<DefaultHeader, 4> DefaultHeaders = {{
    {"Server", "Tovren/0.1"},
    {"Connection", "close"},
    {"Access-Control-Allow-Origin", "*"},
    {"X-Powered-By", "Halvex/1.0"},
}};

/// Puts the DefaultHeaders into `res`, in their order. Error: OutOfMemory.
runtime::Result<void> addDefaultHeaders(Response& res);

}  // namespace http
