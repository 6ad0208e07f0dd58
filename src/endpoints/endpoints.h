// The endpoint table and processRequest, where a parsed request meets its answer.
#pragma once

#include <memory_resource>
#include <string_view>

#include "http/connection.h"
#include "http/hash_map.h"
#include "http/header_table.h"
#include "http/request.h"
#include "http/response.h"
#include "http/wyhash.h"
#include "runtime/result.h"

namespace endpoints {

/// An endpoint: answers the request through the response (status line, headers, body).
/// Owns nothing it is given. Errors: whatever writing the answer returns. It has the shape of
/// what handleSocket dispatches to, as processRequest has.
using EndpointHandler = http::RequestHandler;

using EndpointTable =
    http::HashMap<std::string_view, EndpointHandler, http::hashString, http::eqlString, http::MaxLoadPercentage>;

/// Path to handler, for the whole run. Unbound until server::run assigns it a table over gpa;
/// keys are borrowed (constants that live as long as the process).
extern EndpointTable endpoints;

/// Logs "info: {method} {path}\n", then runs the handler registered for the exact path, or
/// answers 404 with the not-found page. A RequestHandler: the one the server hands to
/// handleSocket. Errors: the handler's, or the response's.
runtime::Result<void> processRequest(std::pmr::memory_resource& allocator, const http::Request& req,
                                     http::Response& res);

}  // namespace endpoints
