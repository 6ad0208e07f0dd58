// Response: writes the status line, the header block in table order and the body, unbuffered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string_view>

#include "http/header_table.h"
#include "json/stringify.h"
#include "runtime/io.h"
#include "runtime/result.h"

namespace http {

/// The answer to one request. Borrows the writer and the allocator; owns the header values
/// (allocated from `allocator`, given back by the destructor; a value enters the table only
/// through header()). Expected use: the default
/// headers, status(), then exactly one of html() or json(). Every operation that writes
/// returns the writer's first error unchanged; bytes already written stay written.
class Response {
public:
    Response(std::pmr::memory_resource& allocator, runtime::Writer& writer) noexcept
        : writer_(writer), allocator_(allocator), headers_(allocator) {}
    ~Response();
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;

    /// Writes "HTTP/1.1 {code} OK\r\n" at once; the reason is "OK" whatever the code.
    runtime::Result<void> status(std::uint16_t code);

    /// Stores a copy of `value` under `name` (borrowed). A later value for the same name
    /// replaces it. Writes nothing. Error: OutOfMemory.
    runtime::Result<void> header(std::string_view name, std::string_view value);
    /// As above, with the number in decimal.
    runtime::Result<void> header(std::string_view name, std::size_t value);

    /// The value stored under `name`, if any: a view into the response's own copy.
    std::optional<std::string_view> headerValue(std::string_view name) const noexcept;

    /// Adds Content-Type (and Content-Length when a body is given), writes every header line
    /// in the table's slot order, the empty line, then the body if any.
    /// Errors: OutOfMemory; the writer's.
    runtime::Result<void> content(std::string_view content_type, std::optional<std::string_view> body);

    /// content() with "text/html" and `text` as the counted body.
    runtime::Result<void> html(std::string_view text);

    /// content() with "application/json" and no Content-Length, then the JSON text of `value`
    /// streamed straight to the writer; the close of the connection ends the body.
    /// Errors: OutOfMemory; the writer's.
    template <class T>
    runtime::Result<void> json(const T& value) {
        TRY(content("application/json", std::nullopt));
        return runtime::passOn(json::stringify(value, json::ServerOptions, writer_));
    }

private:
    runtime::Result<void> storeHeader(std::string_view name, std::string_view text);

    runtime::Writer& writer_;
    std::pmr::memory_resource& allocator_;
    /// Every value in it was copied into storage from `allocator_` by storeHeader, so the
    /// destructor can give each back; nothing else can put one in.
    HeaderTable headers_;
};

}  // namespace http
