// Response: the status line, the header block in the header table's order, and the body.
#include "http/response.h"

#include <cstring>

#include "runtime/format.h"
#include "runtime/memory.h"

namespace http {

Response::~Response() {
    // Replaced values were not tracked and stay with the allocator, which the connection
    // arena releases as a whole.
    for (auto it = headers_.iterator(); auto* entry = it.next();) {
        allocator_.deallocate(const_cast<char*>(entry->value.data()), entry->value.size(), 1);
    }
}

runtime::Result<void> Response::status(std::uint16_t code) {
    runtime::DigitBuffer digits;
    TRY(writer_.writeAll("HTTP/1.1 "));
    TRY(writer_.writeAll(runtime::formatDecimal(code, digits)));
    return runtime::passOn(writer_.writeAll(" OK\r\n"));
}

runtime::Result<void> Response::header(std::string_view name, std::string_view value) {
    return runtime::passOn(storeHeader(name, value));
}

runtime::Result<void> Response::header(std::string_view name, std::size_t value) {
    runtime::DigitBuffer digits;
    return runtime::passOn(storeHeader(name, runtime::formatDecimal(value, digits)));
}

std::optional<std::string_view> Response::headerValue(std::string_view name) const noexcept {
    const std::string_view* value = headers_.get(name);
    if (value == nullptr) return std::nullopt;
    return *value;
}

runtime::Result<void> Response::storeHeader(std::string_view name, std::string_view text) {
    void* storage = TRY(runtime::allocate(allocator_, text.size(), 1));
    if (!text.empty()) std::memcpy(storage, text.data(), text.size());
    // If the table cannot grow, the copy stays with the allocator: the arena takes it back.
    return runtime::passOn(headers_.put(name, {static_cast<const char*>(storage), text.size()}));
}

runtime::Result<void> Response::content(std::string_view content_type, std::optional<std::string_view> body) {
    TRY(header("Content-Type", content_type));
    if (body) TRY(header("Content-Length", body->size()));
    // The slot order, not the order the headers were added in, decides the wire order.
    for (auto it = headers_.iterator(); auto* entry = it.next();) {
        TRY(writer_.writeAll(entry->key));
        TRY(writer_.writeAll(": "));
        TRY(writer_.writeAll(entry->value));
        TRY(writer_.writeAll("\r\n"));
    }
    TRY(writer_.writeAll("\r\n"));
    if (body) TRY(writer_.writeAll(*body));
    return {};
}

runtime::Result<void> Response::html(std::string_view text) { return runtime::passOn(content("text/html", text)); }

}  // namespace http
