// utf8ValidateSlice against an oracle written from RFC 3629's grammar instead of by decoding.
#include "json/utf8.h"

#include <gtest/gtest.h>

#include <string>

#include "support/utf8_oracle.h"

namespace {

using testing_support::matchesUtf8Grammar;

TEST(Utf8ValidateSlice, AgreesWithTheGrammarOnEveryStringUpToThreeBytes) {
    EXPECT_TRUE(json::utf8ValidateSlice(""));
    std::size_t disagreements = 0;
    std::string s;
    for (int a = 0; a < 256; ++a) {
        s.assign(1, static_cast<char>(a));
        disagreements += json::utf8ValidateSlice(s) != matchesUtf8Grammar(s);
        for (int b = 0; b < 256; ++b) {
            s.assign({static_cast<char>(a), static_cast<char>(b)});
            disagreements += json::utf8ValidateSlice(s) != matchesUtf8Grammar(s);
            // Three-byte strings whose first byte can start a sequence of length 3 or more.
            if (a < 0xE0) continue;
            for (int c = 0; c < 256; ++c) {
                s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
                if (json::utf8ValidateSlice(s) != matchesUtf8Grammar(s)) {
                    ADD_FAILURE() << std::hex << a << " " << b << " " << c;
                    if (++disagreements > 5) return;
                }
            }
        }
    }
    EXPECT_EQ(disagreements, 0u);
}

TEST(Utf8ValidateSlice, AgreesWithTheGrammarOnFourByteForms) {
    const unsigned char thirds[] = {0x80, 0xBF, 0x7F, 0xC0};
    const unsigned char fourths[] = {0x80, 0xBF, 0x41};
    for (int lead = 0xF0; lead <= 0xFF; ++lead) {
        for (int second = 0; second < 256; ++second) {
            for (unsigned char third : thirds) {
                for (unsigned char fourth : fourths) {
                    std::string s = {static_cast<char>(lead), static_cast<char>(second), static_cast<char>(third),
                                     static_cast<char>(fourth)};
                    ASSERT_EQ(json::utf8ValidateSlice(s), matchesUtf8Grammar(s)) << std::hex << lead << " " << second;
                }
            }
        }
    }
}

TEST(DecodeSequence, DecodesEachLength) {
    EXPECT_EQ(json::decodeSequence("A"), 0x41u);
    EXPECT_EQ(json::decodeSequence("\xc3\xa9"), 0xE9u);
    EXPECT_EQ(json::decodeSequence("\xe2\x82\xac"), 0x20ACu);
    EXPECT_EQ(json::decodeSequence("\xf4\x8f\xbf\xbf"), 0x10FFFFu);
}

}  // namespace
