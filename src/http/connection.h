// handleSocket: serves the one request of one accepted connection.
#pragma once

#include <cstddef>
#include <memory_resource>

#include "http/request.h"
#include "http/response.h"
#include "runtime/io.h"
#include "runtime/memory.h"
#include "runtime/result.h"

namespace http {

/// What a parsed request is handed to: it answers through `res` (status line, headers, body)
/// and owns nothing it is given. The server's is endpoints::processRequest.
/// Errors: its own, and those of writing the answer.
using RequestHandler = runtime::Result<void> (*)(std::pmr::memory_resource& allocator, const Request& req,
                                                 Response& res);

/// What serving a connection leaves to its close.
struct Served {
    /// The head announced a body (announcesBody), which may still be on its way.
    bool body_announced = false;
};

/// Serves the one request `reader` delivers, answering through `writer`, both borrowed: reads
/// the head (not one byte past it), parses its request line, puts the default headers and hands
/// request and response to `dispatch`. A client that closes before the blank line gets no
/// answer; a bad request line is answered 400, an unknown method 501, a head past `max_head`
/// bytes 431, and none of these reaches `dispatch`. Everything the connection allocates comes
/// from an arena over `upstream` and is released on return.
/// Errors: those of reading and writing, OutOfMemory, and those of `dispatch`.
runtime::Result<Served> serveConnection(runtime::Reader& reader, runtime::Writer& writer, RequestHandler dispatch,
                                        std::pmr::memory_resource& upstream = runtime::gpa,
                                        std::size_t max_head = MaxHeadLength);

/// serveConnection over the accepted connection `file`, which it borrows and never closes:
/// one read call per byte of the head, one write call per piece of the answer.
runtime::Result<Served> handleSocket(int file, RequestHandler dispatch,
                                     std::pmr::memory_resource& upstream = runtime::gpa,
                                     std::size_t max_head = MaxHeadLength);

}  // namespace http
