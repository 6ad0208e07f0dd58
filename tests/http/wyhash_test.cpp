// hashString against the published reference vectors of the early Wyhash with seed 0.
#include "http/wyhash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string fromHex(const std::string& hex) {
    if (hex == "-") return {};
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

TEST(HashString, MatchesEveryReferenceVector) {
    std::ifstream vectors(TEST_DATA_DIR "/wyhash-seed0.txt");
    ASSERT_TRUE(vectors) << "missing " TEST_DATA_DIR "/wyhash-seed0.txt";
    std::size_t checked = 0;
    for (std::string line; std::getline(vectors, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::size_t length = 0;
        std::string hex, expected;
        ASSERT_TRUE(fields >> length >> hex >> expected) << line;
        std::string input = fromHex(hex);
        ASSERT_EQ(input.size(), length) << line;
        SCOPED_TRACE(line);
        EXPECT_EQ(http::hashString(input), std::stoull(expected, nullptr, 16));
        ++checked;
    }
    EXPECT_EQ(checked, 114u);
}

TEST(HashString, HeaderNamesGiveTheirHomeSlotsAndFingerprints) {
    struct Case {
        std::string_view name;
        std::uint64_t home_of_8;
        std::uint64_t fingerprint;
    };
    const Case cases[] = {
        {"Server", 3, 48},         {"Connection", 0, 5},    {"Access-Control-Allow-Origin", 7, 29},
        {"X-Powered-By", 6, 14},   {"Content-Type", 3, 36}, {"Content-Length", 1, 16},
        {"/api/v1/worlds", 6, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t hash = http::hashString(c.name);
        EXPECT_EQ(hash & 7, c.home_of_8);
        EXPECT_EQ(hash >> 58, c.fingerprint);
    }
}

TEST(EqlString, ComparesWholeByteStringsNeverAsTerminatedText) {
    // Keys are views into a head or a literal: not terminated where they end, and free to hold
    // a NUL byte. Equality is of the whole byte string, case included.
    using namespace std::string_view_literals;
    const std::string_view head = "Server: x\r\nServer\0Name"sv;
    const std::string_view first = head.substr(0, 6);
    const std::string_view with_nul = head.substr(11, 11);
    EXPECT_TRUE(http::eqlString(first, "Server"));
    EXPECT_FALSE(http::eqlString(first, "server"));
    EXPECT_FALSE(http::eqlString(first, "Serve"));
    EXPECT_FALSE(http::eqlString(with_nul, "Server")) << "the bytes after a NUL count";
    EXPECT_TRUE(http::eqlString(with_nul, std::string_view("Server\0Name", 11)));
    EXPECT_TRUE(http::eqlString(head.substr(3, 0), ""));
}

}  // namespace
