// Writing a fixed page, and the default headers.
#include "http/pages.h"

namespace http {

runtime::Result<void> answerPage(Response& res, const Page& page) {
    TRY(res.status(page.status));
    return runtime::passOn(res.html(page.html));
}

runtime::Result<void> addDefaultHeaders(Response& res) {
    for (const DefaultHeader& header : DefaultHeaders) TRY(res.header(header.name, header.value));
    return {};
}

}  // namespace http
