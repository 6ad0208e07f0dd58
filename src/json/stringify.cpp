// The non-generic parts of the JSON writer: strings, escapes, numbers.
#include "json/stringify.h"

#include "json/utf8.h"
#include "runtime/format.h"

namespace json {

runtime::Result<void> outputUnicodeEscape(std::uint32_t codepoint, runtime::Writer& out) {
    auto escape = [&out](std::uint32_t unit) -> runtime::Result<void> {
        using runtime::HexDigits;
        const char digits[4] = {HexDigits[unit >> 12 & 0xF], HexDigits[unit >> 8 & 0xF], HexDigits[unit >> 4 & 0xF],
                                HexDigits[unit & 0xF]};
        TRY(out.writeAll("\\u"));
        return runtime::passOn(out.writeAll({digits, 4}));
    };
    if (codepoint <= 0xFFFF) {
        return runtime::passOn(escape(codepoint));
    }
    const std::uint32_t above = codepoint - 0x10000;
    TRY(escape(0xD800 + (above >> 10)));
    return runtime::passOn(escape(0xDC00 + (above & 0x3FF)));
}

namespace {

/// The two-byte escape of `byte`, or empty if it has none under `options`.
constexpr std::string_view shortEscape(char byte, const StringifyOptions::String& options) noexcept {
    switch (byte) {
        case '\\': return "\\\\";
        case '"': return "\\\"";
        case '/': return options.escape_solidus ? "\\/" : "";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return "";
    }
}

runtime::Result<void> writeQuoted(std::string_view bytes, const StringifyOptions::String& options,
                                  runtime::Writer& out) {
    TRY(out.writeByte('"'));
    for (std::size_t i = 0; i < bytes.size();) {
        const char byte = bytes[i];
        const auto code = static_cast<unsigned char>(byte);
        if (std::string_view escaped = shortEscape(byte, options); !escaped.empty()) {
            TRY(out.writeAll(escaped));
            ++i;
        } else if (code >= 0x20 && code <= 0x7F) {
            TRY(out.writeByte(byte));
            ++i;
        } else {
            // A control character, or the lead byte of a sequence already known to be whole.
            const std::size_t length = sequenceLength(code);
            const std::string_view sequence = bytes.substr(i, length);
            if (length == 1 || options.escape_unicode) {
                TRY(outputUnicodeEscape(decodeSequence(sequence), out));
            } else {
                TRY(out.writeAll(sequence));
            }
            i += length;
        }
    }
    return runtime::passOn(out.writeByte('"'));
}

}  // namespace

namespace detail {

runtime::Result<void> writeString(std::string_view bytes, const StringifyOptions& options, runtime::Writer& out) {
    const auto* as_string = std::get_if<StringifyOptions::String>(&options.string);
    // Validated whole before the first byte goes out: a string is either all string or all array.
    if (as_string != nullptr && utf8ValidateSlice(bytes)) {
        return runtime::passOn(writeQuoted(bytes, *as_string, out));
    }
    std::span<const unsigned char> values(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return runtime::passOn(writeArray(values, options, out));
}

runtime::Result<void> writeUnsigned(std::uint64_t value, runtime::Writer& out) {
    runtime::DigitBuffer digits;
    return runtime::passOn(out.writeAll(runtime::formatDecimal(value, digits)));
}

}  // namespace detail
}  // namespace json
