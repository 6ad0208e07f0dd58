// allocate() and ByteBuffer: growth and out-of-memory.
#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using testing_support::FailingResource;
using testing_support::FailsWith;
using testing_support::IsOk;

TEST(Allocate, TurnsExhaustionIntoOutOfMemory) {
    FailingResource memory(1);
    EXPECT_THAT(runtime::allocate(memory, 16, 8), FailsWith(runtime::Error::OutOfMemory));
    EXPECT_THAT(runtime::allocate(runtime::gpa, std::size_t{1} << 62, 8), FailsWith(runtime::Error::OutOfMemory));
}

TEST(ByteBuffer, GrowsKeepingEveryByteAndGivesItAllBack) {
    FailingResource memory;
    {
        runtime::ByteBuffer buffer(memory);
        std::string expected;
        for (int i = 0; i < 1000; ++i) {
            char byte = static_cast<char>('a' + i % 26);
            ASSERT_THAT(buffer.append(byte), IsOk());
            expected.push_back(byte);
        }
        EXPECT_EQ(buffer.view(), expected);
        buffer.truncate(10);
        EXPECT_EQ(buffer.view(), expected.substr(0, 10));
        buffer.truncate(20);
        EXPECT_EQ(buffer.size(), 10u);
    }
    EXPECT_EQ(memory.outstanding(), 0u);
}

TEST(ByteBuffer, FailedGrowthKeepsTheContents) {
    FailingResource memory(2);
    runtime::ByteBuffer buffer(memory);
    std::string expected;
    runtime::Result<void> appended;
    while ((appended = buffer.append('x')).has_value()) expected.push_back('x');
    EXPECT_THAT(appended, FailsWith(runtime::Error::OutOfMemory));
    EXPECT_EQ(buffer.view(), expected);
    EXPECT_EQ(expected.size(), 64u);
}

}  // namespace
