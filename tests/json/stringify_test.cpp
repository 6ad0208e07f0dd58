// The JSON writer: escaping, the array fallback, numbers, nesting, write pieces and errors.
#include "json/stringify.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using json::StringifyOptions;
using testing_support::FailingWriter;
using testing_support::FailsWith;
using testing_support::IsOk;
using testing_support::RecordingWriter;

constexpr StringifyOptions Plain{};
constexpr StringifyOptions EscapeSolidus{.whitespace = std::nullopt,
                                         .string = StringifyOptions::String{.escape_solidus = true}};
constexpr StringifyOptions EscapeUnicode{.whitespace = std::nullopt,
                                         .string = StringifyOptions::String{.escape_unicode = true}};
constexpr StringifyOptions AsArrays{.whitespace = std::nullopt, .string = StringifyOptions::Array{}};

template <class T>
std::string stringify(const T& value, const StringifyOptions& options = Plain) {
    RecordingWriter out;
    EXPECT_THAT(json::stringify(value, options, out), IsOk());
    return out.bytes;
}

std::string text(std::string_view bytes, const StringifyOptions& options = Plain) { return stringify(bytes, options); }

TEST(Stringify, EscapingTable) {
    struct Case {
        std::string input;
        std::string output;
        const char* note;
    };
    const Case cases[] = {
        {"", R"("")", "empty string"},
        {"Example world", R"("Example world")", "plain text"},
        {"a\"\\", R"("a\"\\")", "quote and backslash"},
        {"/", R"("/")", "solidus as itself"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")", "two-byte escapes"},
        {std::string(1, '\0'), R"("\u0000")", "NUL"},
        {"\x01", R"("\u0001")", "0x01"},
        {"\x0b", R"("\u000b")", "vertical tab has no short form"},
        {"\x1f", R"("\u001f")", "0x1F, lower-case hex"},
        {"\x7f", "\"\x7f\"", "DEL is written as itself"},
        {" !#.0[]~", R"(" !#.0[]~")", "range edges written as themselves"},
        {"\xc3\xa9", "\"\xc3\xa9\"", "U+00E9 kept as UTF-8"},
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\"", "U+1F600 kept as UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(text(c.input), c.output);
    }
}

TEST(Stringify, OptionalEscapes) {
    EXPECT_EQ(text("a/b", EscapeSolidus), R"("a\/b")");
    EXPECT_EQ(text("a/b", EscapeUnicode), R"("a/b")");
    EXPECT_EQ(text("\xc3\xa9", EscapeUnicode), R"("\u00e9")");
    EXPECT_EQ(text("\xe2\x82\xac", EscapeUnicode), R"("\u20ac")");
    EXPECT_EQ(text("\xef\xbf\xbf", EscapeUnicode), R"("\uffff")");
    EXPECT_EQ(text("\xf0\x9f\x98\x80", EscapeUnicode), R"("\ud83d\ude00")");
    EXPECT_EQ(text("\xf0\x90\x80\x80", EscapeUnicode), R"("\ud800\udc00")");
    EXPECT_EQ(text("\xf4\x8f\xbf\xbf", EscapeUnicode), R"("\udbff\udfff")");
    EXPECT_EQ(text("x\xc3\xa9\n", EscapeUnicode), R"("x\u00e9\n")");
}

TEST(Stringify, IllFormedUtf8BecomesAnArrayOfByteValues) {
    struct Case {
        std::string input;
        std::string output;
        const char* note;
    };
    const Case cases[] = {
        {"h\xff", "[104,255]", "byte 0xFF"},
        {"\xc0\xaf", "[192,175]", "overlong solidus"},
        {"\xe0\x80\xaf", "[224,128,175]", "overlong three-byte form"},
        {"\xed\xa0\x80", "[237,160,128]", "encoded surrogate"},
        {"\xf4\x90\x80\x80", "[244,144,128,128]", "above U+10FFFF"},
        {"ok\xe2\x82", "[111,107,226,130]", "cut off at the end"},
        {"\x80", "[128]", "stray continuation byte"},
        {"\xc3(", "[195,40]", "lead byte without its continuation"},
        {"\xf8\x88\x80\x80\x80", "[248,136,128,128,128]", "five-byte form"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        for (const StringifyOptions* options : {&Plain, &EscapeSolidus, &EscapeUnicode}) {
            EXPECT_EQ(text(c.input, *options), c.output);
        }
    }
}

TEST(Stringify, ArrayModeWritesEveryStringAsBytes) {
    EXPECT_EQ(text("hi", AsArrays), "[104,105]");
    EXPECT_EQ(text("", AsArrays), "[]");
}

TEST(Stringify, UnsignedIntegersInPlainDecimal) {
    EXPECT_EQ(stringify(std::uint64_t{0}), "0");
    EXPECT_EQ(stringify(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(stringify(std::numeric_limits<std::uint32_t>::max()), "4294967295");
    EXPECT_EQ(stringify(std::uint8_t{255}), "255");
    EXPECT_EQ(stringify(std::uint32_t{10}), "10");
}

TEST(Stringify, ListsAndEmptyList) {
    const std::array<std::uint32_t, 3> ids = {14, 36, 24};
    EXPECT_EQ(stringify(std::span<const std::uint32_t>(ids)), "[14,36,24]");
    EXPECT_EQ(stringify(std::span<const std::uint32_t>()), "[]");
    const std::array<std::string_view, 2> names = {"a", "\xff"};
    EXPECT_EQ(stringify(std::span<const std::string_view>(names)), R"(["a",[255]])");
}

struct Inner {
    std::uint8_t n;
    static constexpr auto jsonFields() { return std::tuple{json::Field<Inner, std::uint8_t>{"n", &Inner::n}}; }
};

struct Outer {
    std::string_view name;
    std::span<const std::reference_wrapper<const Inner>> inners;
    Inner single;
    static constexpr auto jsonFields() {
        return std::tuple{
            json::Field<Outer, std::string_view>{"na/me", &Outer::name},
            json::Field<Outer, std::span<const std::reference_wrapper<const Inner>>>{"inners", &Outer::inners},
            json::Field<Outer, Inner>{"single", &Outer::single},
        };
    }
};

struct Empty {
    static constexpr auto jsonFields() { return std::tuple{}; }
};

TEST(Stringify, RecordsNestInDeclarationOrderAndNamesFollowTheStringRules) {
    const Inner one{1}, two{2};
    const std::array<std::reference_wrapper<const Inner>, 2> inners = {std::cref(one), std::cref(two)};
    const Outer outer{"x", inners, Inner{3}};
    EXPECT_EQ(stringify(outer), R"({"na/me":"x","inners":[{"n":1},{"n":2}],"single":{"n":3}})");
    EXPECT_EQ(stringify(outer, EscapeSolidus), R"({"na\/me":"x","inners":[{"n":1},{"n":2}],"single":{"n":3}})");
    EXPECT_EQ(stringify(Inner{7}, AsArrays), R"({[110]:7})");
    EXPECT_EQ(stringify(Empty{}), "{}");
}

TEST(Stringify, EachPlainByteAndDelimiterIsOneWriteAndEachRunAnother) {
    const Inner one{12};
    const std::array<std::reference_wrapper<const Inner>, 1> inners = {std::cref(one)};
    const Outer outer{"\xc3\xa9\n", inners, Inner{3}};
    RecordingWriter out;
    ASSERT_THAT(json::stringify(outer, EscapeSolidus, out), IsOk());
    std::vector<std::string> expected = {
        "{", "\"", "n", "a", "\\/", "m", "e",  "\"", ":",  "\"", "\xc3\xa9", "\\n", "\"", ",", "\"", "i", "n",
        "n", "e",  "r", "s", "\"",  ":", "[",  "{",  "\"", "n",  "\"",       ":",   "12", "}", "]",  ",", "\"",
        "s", "i",  "n", "g", "l",   "e", "\"", ":",  "{",  "\"", "n",        "\"",  ":",  "3", "}",  "}",
    };
    EXPECT_EQ(out.calls, expected);
    RecordingWriter escaped;
    ASSERT_THAT(json::outputUnicodeEscape(0x1F600, escaped), IsOk());
    EXPECT_EQ(escaped.calls, (std::vector<std::string>{"\\u", "d83d", "\\u", "de00"}));
}

}  // namespace
