// An independent UTF-8 well-formedness check, written from RFC 3629's grammar, not by decoding.
#pragma once

#include <string_view>

namespace testing_support {

/// One alternative of the grammar: a lead range, a range for the second byte, then plain tails.
struct Utf8Form {
    unsigned char lead_low, lead_high, second_low, second_high;
    int tails_after_second;  ///< -1: a one-byte form
};

// UTF8-1 .. UTF8-4 of RFC 3629, section 4.
inline constexpr Utf8Form Utf8Grammar[] = {
    {0x00, 0x7F, 0, 0, -1},      {0xC2, 0xDF, 0x80, 0xBF, 0}, {0xE0, 0xE0, 0xA0, 0xBF, 1},
    {0xE1, 0xEC, 0x80, 0xBF, 1}, {0xED, 0xED, 0x80, 0x9F, 1}, {0xEE, 0xEF, 0x80, 0xBF, 1},
    {0xF0, 0xF0, 0x90, 0xBF, 2}, {0xF1, 0xF3, 0x80, 0xBF, 2}, {0xF4, 0xF4, 0x80, 0x8F, 2},
};

inline bool matchesUtf8Grammar(std::string_view s) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    std::size_t i = 0;
    while (i < s.size()) {
        const Utf8Form* form = nullptr;
        for (const Utf8Form& f : Utf8Grammar) {
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

}  // namespace testing_support
