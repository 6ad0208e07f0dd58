// Dispatch by exact path, and the not-found page.
#include "endpoints/endpoints.h"

#include "http/pages.h"
#include "runtime/log.h"

namespace endpoints {

EndpointTable endpoints;

runtime::Result<void> processRequest(std::pmr::memory_resource& allocator, const http::Request& req,
                                     http::Response& res) {
    // Logged before the lookup, so a request whose answer then fails is still on record.
    // Escaped, because the path is the client's own bytes (the method name passes unchanged).
    runtime::info<"{} {}\n">(runtime::Escaped{http::methodName(req.method)}, runtime::Escaped{req.path});
    // The method takes no part: every method reaches the handler of the path.
    if (const EndpointHandler* endpoint = endpoints.get(req.path)) {
        return runtime::passOn((*endpoint)(allocator, req, res));
    }
    return runtime::passOn(http::answerPage(res, http::NotFoundPage));
}

}  // namespace endpoints
