// The streaming JSON writer: values to compact JSON text, written as produced, never held.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>

#include "json/utf8.h"
#include "runtime/format.h"
#include "runtime/io.h"
#include "runtime/result.h"

namespace json {

/// Layout settings (indentation, line breaks). Nothing in the server sets them, and the writer
/// only produces compact text: a present value is not honoured.
struct Whitespace {};

struct StringifyOptions {
    /// Byte strings as JSON strings, well-formed UTF-8 permitting.
    struct String {
        bool escape_solidus = false;  ///< write "/" as "\/"
        bool escape_unicode = false;  ///< write every non-ASCII character as \u escapes
    };
    /// Byte strings always as arrays of their byte values.
    struct Array {};

    std::optional<Whitespace> whitespace = std::nullopt;
    std::variant<String, Array> string = String{};
};

/// The options the server writes with: compact, strings as strings, no optional escapes.
inline constexpr StringifyOptions ServerOptions{};

/// One member of a record: its JSON name and where it lives.
template <class Record, class Value>
struct Field {
    std::string_view name;
    Value Record::*member;
};

/// A record lists its members, in declaration order, as a tuple of Field from a static
/// jsonFields(); the writer turns it into an object with those members in that order.
template <class T>
concept JsonRecord = requires { T::jsonFields(); };

template <class T>
concept JsonUnsigned = std::unsigned_integral<T> && !std::same_as<T, bool>;

/// Writes the code point as "\uXXXX" (lower-case hex), or as a surrogate pair of two such
/// escapes above U+FFFF. Errors: the writer's first.
template <runtime::ByteWriter W>
runtime::Result<void> outputUnicodeEscape(std::uint32_t codepoint, W& out) {
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

namespace detail {

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

template <runtime::ByteWriter W>
runtime::Result<void> writeQuoted(std::string_view bytes, const StringifyOptions::String& options, W& out) {
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

template <class T, runtime::ByteWriter W>
runtime::Result<void> writeValue(const T& value, const StringifyOptions& options, W& out);

/// "[" elements separated by "," "]".
template <class Range, runtime::ByteWriter W>
runtime::Result<void> writeArray(const Range& elements, const StringifyOptions& options, W& out) {
    TRY(out.writeByte('['));
    bool first = true;
    for (const auto& element : elements) {
        if (!first) TRY(out.writeByte(','));
        first = false;
        TRY(writeValue(element, options, out));
    }
    return runtime::passOn(out.writeByte(']'));
}

template <runtime::ByteWriter W>
runtime::Result<void> writeString(std::string_view bytes, const StringifyOptions& options, W& out) {
    const auto* as_string = std::get_if<StringifyOptions::String>(&options.string);
    // Validated whole before the first byte goes out: a string is either all string or all array.
    if (as_string != nullptr && utf8ValidateSlice(bytes)) {
        return runtime::passOn(writeQuoted(bytes, *as_string, out));
    }
    std::span<const unsigned char> values(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return runtime::passOn(writeArray(values, options, out));
}

/// The members of `record` from the I-th on: ",", name, ":", value each (no comma before the first).
template <std::size_t I, JsonRecord T, class Fields, runtime::ByteWriter W>
runtime::Result<void> writeMembers(const T& record, const Fields& fields, const StringifyOptions& options, W& out) {
    if constexpr (I < std::tuple_size_v<Fields>) {
        const auto& field = std::get<I>(fields);
        if constexpr (I > 0) TRY(out.writeByte(','));
        TRY(writeString(field.name, options, out));
        TRY(out.writeByte(':'));
        TRY(writeValue(record.*field.member, options, out));
        TRY((writeMembers<I + 1>(record, fields, options, out)));
    }
    return {};
}

template <JsonRecord T, runtime::ByteWriter W>
runtime::Result<void> writeObject(const T& record, const StringifyOptions& options, W& out) {
    static constexpr auto Fields = T::jsonFields();
    TRY(out.writeByte('{'));
    TRY(writeMembers<0>(record, Fields, options, out));
    return runtime::passOn(out.writeByte('}'));
}

template <class T>
inline constexpr bool IsSpan = false;
template <class T, std::size_t N>
inline constexpr bool IsSpan<std::span<T, N>> = true;

template <class T>
inline constexpr bool IsReference = false;
template <class T>
inline constexpr bool IsReference<std::reference_wrapper<T>> = true;

template <class T, runtime::ByteWriter W>
runtime::Result<void> writeValue(const T& value, const StringifyOptions& options, W& out) {
    if constexpr (JsonRecord<T>) {
        TRY(writeObject(value, options, out));
    } else if constexpr (IsReference<T>) {
        TRY(writeValue(value.get(), options, out));
    } else if constexpr (IsSpan<T>) {
        TRY(writeArray(value, options, out));
    } else if constexpr (std::same_as<T, std::string_view>) {
        TRY(writeString(value, options, out));
    } else if constexpr (JsonUnsigned<T>) {
        runtime::DigitBuffer digits;
        TRY(out.writeAll(runtime::formatDecimal(value, digits)));
    } else {
        static_assert(!sizeof(T), "no JSON form for this type");
    }
    return {};
}

}  // namespace detail

/// Writes the compact JSON text of `value` to `out` as it goes: records (JsonRecord), references
/// to records (std::reference_wrapper), lists (std::span), byte strings (std::string_view) and
/// unsigned integers. Every plain byte and delimiter is one writeByte; escapes, multi-byte
/// characters and numbers are one writeAll each. Holds no copy of the text and allocates
/// nothing. Errors: the writer's first, unchanged; what was written stays written.
template <class T, runtime::ByteWriter W>
runtime::Result<void> stringify(const T& value, const StringifyOptions& options, W& out) {
    return runtime::passOn(detail::writeValue(value, options, out));
}

}  // namespace json
