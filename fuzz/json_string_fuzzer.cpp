// The JSON string writer: arbitrary bytes under all four escape settings. The output must be a
// JSON string that decodes back to exactly the input, or, exactly when the input is not
// well-formed UTF-8, the array of its byte values.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "json/stringify.h"
#include "json/utf8.h"

namespace {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<std::uint32_t> hex4(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        char c = text[i];
        value <<= 4;
        if (c >= '0' && c <= '9')
            value |= static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value |= static_cast<std::uint32_t>(c - 'a' + 10);
        else
            return std::nullopt;  // the writer uses lower-case digits only
    }
    return value;
}

/// Decodes one JSON string (RFC 8259) that must span all of `text`; nothing if it is not one.
std::optional<std::string> decodeJsonString(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i + 1 < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c < 0x20) return std::nullopt;
        if (c != '\\') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        char kind = text[i + 1];
        const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
        if (std::size_t k = simple.find(kind); k != std::string_view::npos) {
            out += meaning[k];
            i += 2;
            continue;
        }
        if (kind != 'u') return std::nullopt;
        std::optional<std::uint32_t> unit = hex4(text, i + 2);
        if (!unit) return std::nullopt;
        i += 6;
        if (*unit >= 0xDC00 && *unit <= 0xDFFF) return std::nullopt;
        if (*unit >= 0xD800 && *unit <= 0xDBFF) {
            if (text.substr(i, 2) != "\\u") return std::nullopt;
            std::optional<std::uint32_t> low = hex4(text, i + 2);
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
            i += 6;
            appendUtf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
        } else {
            appendUtf8(out, *unit);
        }
    }
    return out;
}

std::string byteArray(std::string_view bytes) {
    std::string out = "[";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) out += ',';
        out += std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    return out + "]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    json::StringifyOptions options;
    const json::StringifyOptions::String flags{.escape_solidus = (data[0] & 1) != 0,
                                               .escape_unicode = (data[0] & 2) != 0};
    options.string = flags;
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzzing::StringWriter out;
    fuzzing::check(json::stringify(bytes, options, out).has_value(), "an in-memory writer never fails");

    if (!json::utf8ValidateSlice(bytes)) {
        fuzzing::check(out.text == byteArray(bytes), "ill-formed UTF-8 becomes the array of its byte values");
        return 0;
    }
    std::optional<std::string> decoded = decodeJsonString(out.text);
    fuzzing::check(decoded.has_value(), "well-formed UTF-8 becomes one valid JSON string");
    fuzzing::check(*decoded == bytes, "the JSON string decodes to exactly the input");
    if (flags.escape_unicode) {
        for (char c : out.text)
            fuzzing::check(static_cast<unsigned char>(c) < 0x80, "escape_unicode writes ASCII only");
    }
    std::size_t escaped_solidus = 0, bare_solidus = 0;
    for (std::size_t i = 0; i < out.text.size(); ++i) {
        if (out.text[i] == '\\') {
            escaped_solidus += out.text[i + 1] == '/';
            ++i;  // the escaped character; a \u escape's hex digits are never a solidus
        } else {
            bare_solidus += out.text[i] == '/';
        }
    }
    fuzzing::check(!(flags.escape_solidus && bare_solidus != 0), "escape_solidus leaves no bare solidus");
    fuzzing::check(!(!flags.escape_solidus && escaped_solidus != 0), "without escape_solidus the solidus is itself");
    return 0;
}
