// The connection handler: head, parse, default headers, dispatch, release.
#include "http/connection.h"

#include "http/pages.h"
#include "runtime/arena.h"

namespace http {

runtime::Result<Served> serveConnection(runtime::Reader& reader, runtime::Writer& writer, RequestHandler dispatch,
                                        std::pmr::memory_resource& upstream, std::size_t max_head) {
    // Everything the connection allocates comes from here and goes back in one step. The
    // declaration order (arena, head, response) releases in reverse on every way out.
    runtime::Arena arena(upstream);
    runtime::ByteBuffer head(arena);

    HeadEnd end = TRY(readHead(reader, head, max_head));
    if (end == HeadEnd::EndOfStream) return {};

    // A head cut off at the limit is not looked at: what is left of it is unread input.
    const Served served{.body_announced = end == HeadEnd::Complete && announcesBody(head.view())};
    Response res(arena, writer);
    TRY(addDefaultHeaders(res));
    if (end == HeadEnd::TooLarge) {
        TRY(answerPage(res, TooLargePage));
        return served;
    }
    RequestLine line = parseRequestLine(head.view());
    switch (line.status) {
        case RequestLineStatus::BadRequest: TRY(answerPage(res, BadRequestPage)); return served;
        case RequestLineStatus::NotImplemented: TRY(answerPage(res, NotImplementedPage)); return served;
        case RequestLineStatus::Ok: break;
    }
    Request req{line.method, line.path, reader};
    TRY(dispatch(arena, req, res));
    return served;
}

runtime::Result<Served> handleSocket(int file, RequestHandler dispatch, std::pmr::memory_resource& upstream,
                                     std::size_t max_head) {
    runtime::FdWriter writer(file);
    runtime::FdReader reader(file);
    return runtime::passOn(serveConnection(reader, writer, dispatch, upstream, max_head));
}

}  // namespace http
