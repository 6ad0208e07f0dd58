// The connection handler: head, parse, default headers, dispatch, release.
#include "http/connection.h"

#include <cstdint>
#include <string_view>

#include "endpoints/endpoints.h"
#include "http/request.h"
#include "http/response.h"
#include "runtime/arena.h"
#include "runtime/io.h"

namespace http {
runtime::Result<void> addDefaultHeaders(Response& res) {
    TRY(res.header("Server", "Tovren/0.1"));
    TRY(res.header("Connection", "close"));
    TRY(res.header("Access-Control-Allow-Origin", "*"));
    TRY(res.header("X-Powered-By", "Halvex/1.0"));
    return {};
}

namespace {

/// A short HTML page for a request that cannot be dispatched.
runtime::Result<void> answerRefusal(Response& res, std::uint16_t code, std::string_view page) {
    TRY(res.status(code));
    TRY(res.html(page));
    return {};
}

}  // namespace

runtime::Result<void> handleSocket(int file, std::pmr::memory_resource& upstream, std::size_t max_head) {
    runtime::FdWriter writer(file);
    runtime::FdReader reader(file);
    // Everything the connection allocates comes from here and goes back in one step. The
    // declaration order (arena, head, response) releases in reverse on every way out.
    runtime::Arena arena(upstream);
    runtime::ByteBuffer head(arena);

    HeadEnd end = TRY(readHead(reader, head, max_head));
    if (end == HeadEnd::EndOfStream) return {};

    Response res(arena, writer);
    TRY(addDefaultHeaders(res));
    if (end == HeadEnd::TooLarge) {
        TRY(answerRefusal(res, 431, "<p>Request header fields too large</p>"));
        return {};
    }
    RequestLine line = parseRequestLine(head.view());
    switch (line.status) {
        case RequestLineStatus::BadRequest:
            TRY(answerRefusal(res, 400, "<p>Bad request</p>"));
            return {};
        case RequestLineStatus::NotImplemented:
            TRY(answerRefusal(res, 501, "<p>Not implemented</p>"));
            return {};
        case RequestLineStatus::Ok:
            break;
    }
    Request req{line.method, line.path, reader};
    TRY(endpoints::processRequest(arena, req, res));
    return {};
}

}  // namespace http
