// handleSocket: serves the one request of one accepted connection.
#pragma once

#include <memory_resource>

#include "http/request.h"
#include "http/response.h"
#include "runtime/memory.h"
#include "runtime/result.h"

namespace http {

/// Puts the four headers every answer carries, in this order: Server, Connection,
/// Access-Control-Allow-Origin, X-Powered-By. The order they are put in, with their hashes,
/// decides their slots and so the wire order. Error: OutOfMemory.
runtime::Result<void> addDefaultHeaders(Response& res);

/// Reads the request head from `file`, answers it, and releases every byte of memory the
/// connection used; never closes `file`. A client that closes before the blank line gets no
/// answer. A bad request line is answered 400, an unknown method 501, a head past
/// `max_head` bytes 431; none of these is logged as a request. The connection arena takes its
/// blocks from `upstream`. Errors: read and write errors, OutOfMemory, an endpoint's errors.
runtime::Result<void> handleSocket(int file, std::pmr::memory_resource& upstream = runtime::gpa,
                                   std::size_t max_head = MaxHeadLength);

}  // namespace http
