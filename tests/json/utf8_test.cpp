// utf8ValidateSlice against an oracle written from RFC 3629's grammar instead of by decoding.
#include "json/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

/// One alternative of the grammar: a lead range, a range for the second byte, then plain tails.
struct Form {
    unsigned char lead_low, lead_high, second_low, second_high;
    int tails_after_second;
};

// UTF8-1 .. UTF8-4 of RFC 3629, section 4. A one-byte form has no second byte (tails -1).
constexpr Form Grammar[] = {
    {0x00, 0x7F, 0, 0, -1},
    {0xC2, 0xDF, 0x80, 0xBF, 0},
    {0xE0, 0xE0, 0xA0, 0xBF, 1}, {0xE1, 0xEC, 0x80, 0xBF, 1},
    {0xED, 0xED, 0x80, 0x9F, 1}, {0xEE, 0xEF, 0x80, 0xBF, 1},
    {0xF0, 0xF0, 0x90, 0xBF, 2}, {0xF1, 0xF3, 0x80, 0xBF, 2}, {0xF4, 0xF4, 0x80, 0x8F, 2},
};

bool oracle(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
        const Form* form = nullptr;
        for (const Form& f : Grammar) {
            if (at(i) >= f.lead_low && at(i) <= f.lead_high) form = &f;
        }
        if (form == nullptr) return false;
        ++i;
        if (form->tails_after_second < 0) continue;
        if (i >= s.size() || at(i) < form->second_low || at(i) > form->second_high) return false;
        ++i;
        for (int t = 0; t < form->tails_after_second; ++t, ++i) {
            if (i >= s.size() || at(i) < 0x80 || at(i) > 0xBF) return false;
        }
    }
    return true;
}

TEST(Utf8ValidateSlice, AgreesWithTheGrammarOnEveryStringUpToThreeBytes) {
    EXPECT_TRUE(json::utf8ValidateSlice(""));
    std::size_t disagreements = 0;
    std::string s;
    for (int a = 0; a < 256; ++a) {
        s.assign(1, static_cast<char>(a));
        disagreements += json::utf8ValidateSlice(s) != oracle(s);
        for (int b = 0; b < 256; ++b) {
            s.assign({static_cast<char>(a), static_cast<char>(b)});
            disagreements += json::utf8ValidateSlice(s) != oracle(s);
            // Three-byte strings whose first byte can start a sequence of length 3 or more.
            if (a < 0xE0) continue;
            for (int c = 0; c < 256; ++c) {
                s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
                if (json::utf8ValidateSlice(s) != oracle(s)) {
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
                    ASSERT_EQ(json::utf8ValidateSlice(s), oracle(s)) << std::hex << lead << " " << second;
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
