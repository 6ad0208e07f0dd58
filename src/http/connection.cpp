// The connection handler: head, parse, default headers, dispatch, release.
#include "http/connection.h"

#include "http/pages.h"
#include "runtime/arena.h"

namespace http {

runtime::Result<void> serveConnection(runtime::Reader& reader, runtime::Writer& writer, RequestHandler dispatch,
                                      std::pmr::memory_resource& upstream, std::size_t max_head) {
    // Everything the connection allocates comes from here and goes back in one step. The
    // declaration order (arena, head, response) releases in reverse on every way out.
    runtime::Arena arena(upstream);
    runtime::ByteBuffer head(arena);

    HeadEnd end = TRY(readHead(reader, head, max_head));
    if (end == HeadEnd::EndOfStream) return {};

    Response res(arena, writer);
    TRY(addDefaultHeaders(res));
    if (end == HeadEnd::TooLarge) return forward(answerPage(res, TooLargePage));
    RequestLine line = parseRequestLine(head.view());
    switch (line.status) {
        case RequestLineStatus::BadRequest: return forward(answerPage(res, BadRequestPage));
        case RequestLineStatus::NotImplemented: return forward(answerPage(res, NotImplementedPage));
        case RequestLineStatus::Ok: break;
    }
    Request req{line.method, line.path, reader};
    return forward(dispatch(arena, req, res));
}

runtime::Result<void> handleSocket(int file, RequestHandler dispatch, std::pmr::memory_resource& upstream,
                                   std::size_t max_head) {
    runtime::FdWriter writer(file);
    runtime::FdReader reader(file);
    return forward(serveConnection(reader, writer, dispatch, upstream, max_head));
}

}  // namespace http
