// The server's answers, byte for byte, as the tests expect them on the wire.
#pragma once

#include <string_view>

namespace testing_support {

inline constexpr std::string_view NotFoundPage =
    "HTTP/1.1 404 OK\r\n"
    "Connection: close\r\n"
    "Content-Length: 23\r\n"
    "Server: Tovren/0.1\r\n"
    "Content-Type: text/html\r\n"
    "X-Powered-By: Halvex/1.0\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "\r\n"
    "<p>Invalid endpoint</p>";

inline constexpr std::string_view BadRequestPage =
    "HTTP/1.1 400 OK\r\nConnection: close\r\nContent-Length: 18\r\nServer: Tovren/0.1\r\n"
    "Content-Type: text/html\r\nX-Powered-By: Halvex/1.0\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
    "<p>Bad request</p>";

inline constexpr std::string_view NotImplementedPage =
    "HTTP/1.1 501 OK\r\nConnection: close\r\nContent-Length: 22\r\nServer: Tovren/0.1\r\n"
    "Content-Type: text/html\r\nX-Powered-By: Halvex/1.0\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
    "<p>Not implemented</p>";

inline constexpr std::string_view TooLargePage =
    "HTTP/1.1 431 OK\r\nConnection: close\r\nContent-Length: 38\r\nServer: Tovren/0.1\r\n"
    "Content-Type: text/html\r\nX-Powered-By: Halvex/1.0\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
    "<p>Request header fields too large</p>";

inline constexpr std::string_view WorldsDocument =
    R"({"worlds":[{"id":1234,"title":"Example world","description":"This is an example world!",)"
    R"("category_ids":[14,36,24],"author_id":1}]})";

inline constexpr std::string_view WorldsAnswer =
    "HTTP/1.1 200 OK\r\n"
    "Connection: close\r\n"
    "Server: Tovren/0.1\r\n"
    "Content-Type: application/json\r\n"
    "X-Powered-By: Halvex/1.0\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "\r\n"
    R"({"worlds":[{"id":1234,"title":"Example world","description":"This is an example world!",)"
    R"("category_ids":[14,36,24],"author_id":1}]})";

}  // namespace testing_support
