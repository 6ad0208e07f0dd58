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
    Value Record::* member;
};

/// A record lists its members, in declaration order, as a tuple of Field from a static
/// jsonFields(); the writer turns it into an object with those members in that order.
template <class T>
concept JsonRecord = requires { T::jsonFields(); };

template <class T>
concept JsonUnsigned = std::unsigned_integral<T> && !std::same_as<T, bool>;

/// Writes the code point as "\uXXXX" (lower-case hex), or as a surrogate pair of two such
/// escapes above U+FFFF. Errors: the writer's first.
runtime::Result<void> outputUnicodeEscape(std::uint32_t codepoint, runtime::Writer& out);

namespace detail {

/// A byte string: a JSON string when `options` ask for one and the bytes are well-formed UTF-8
/// (validated whole before the first byte goes out), else an array of the byte values.
runtime::Result<void> writeString(std::string_view bytes, const StringifyOptions& options, runtime::Writer& out);

/// An unsigned integer in decimal, one run.
runtime::Result<void> writeUnsigned(std::uint64_t value, runtime::Writer& out);

template <class T>
runtime::Result<void> writeValue(const T& value, const StringifyOptions& options, runtime::Writer& out);

/// "[" elements separated by "," "]".
template <class Range>
runtime::Result<void> writeArray(const Range& elements, const StringifyOptions& options, runtime::Writer& out) {
    TRY(out.writeByte('['));
    bool first = true;
    for (const auto& element : elements) {
        if (!first) TRY(out.writeByte(','));
        first = false;
        TRY(writeValue(element, options, out));
    }
    return runtime::passOn(out.writeByte(']'));
}

/// The members of `record` from the I-th on: ",", name, ":", value each (no comma before the first).
template <std::size_t I, JsonRecord T, class Fields>
runtime::Result<void> writeMembers(const T& record, const Fields& fields, const StringifyOptions& options,
                                   runtime::Writer& out) {
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

template <JsonRecord T>
runtime::Result<void> writeObject(const T& record, const StringifyOptions& options, runtime::Writer& out) {
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

template <class T>
runtime::Result<void> writeValue(const T& value, const StringifyOptions& options, runtime::Writer& out) {
    if constexpr (JsonRecord<T>) {
        TRY(writeObject(value, options, out));
    } else if constexpr (IsReference<T>) {
        TRY(writeValue(value.get(), options, out));
    } else if constexpr (IsSpan<T>) {
        TRY(writeArray(value, options, out));
    } else if constexpr (std::same_as<T, std::string_view>) {
        TRY(writeString(value, options, out));
    } else if constexpr (JsonUnsigned<T>) {
        TRY(writeUnsigned(value, out));
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
template <class T>
runtime::Result<void> stringify(const T& value, const StringifyOptions& options, runtime::Writer& out) {
    return runtime::passOn(detail::writeValue(value, options, out));
}

}  // namespace json
