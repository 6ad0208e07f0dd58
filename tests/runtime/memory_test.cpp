// allocate(), the arena and ByteBuffer: growth and out-of-memory.
#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/arena.h"
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
        runtime::Arena arena(memory);
        runtime::ByteBuffer buffer(arena);
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
    runtime::Arena arena(memory);
    runtime::ByteBuffer buffer(arena);
    std::string expected;
    runtime::Result<void> appended;
    while ((appended = buffer.append('x')).has_value()) expected.push_back('x');
    EXPECT_THAT(appended, FailsWith(runtime::Error::OutOfMemory));
    EXPECT_EQ(buffer.view(), expected);
    EXPECT_EQ(expected.size(), runtime::Arena::MinBlockSize) << "grew in place through the first block";
}

TEST(Arena, BufferGrownToAMebibyteHoldsAboutItsOwnSize) {
    constexpr std::size_t Size = 1 << 20;
    FailingResource memory;
    runtime::Arena arena(memory);
    runtime::ByteBuffer buffer(arena);
    for (std::size_t i = 0; i < Size; ++i) {
        if (!buffer.append(static_cast<char>(i % 251)).has_value()) FAIL() << "append " << i;
    }
    for (std::size_t i = 0; i < Size; i += 4093) ASSERT_EQ(buffer.view()[i], static_cast<char>(i % 251)) << i;
    // Each move to a larger block gave the emptied one back; doubling in place did the rest.
    EXPECT_EQ(arena.blockCount(), 1u);
    EXPECT_LT(memory.outstandingBytes(), Size + Size / 16);
    EXPECT_LE(memory.allocations, 6u);
    // The newest allocation grows in place; one made before it no longer can.
    void* older = arena.allocate(8, 8);
    void* newer = arena.allocate(8, 8);
    EXPECT_FALSE(arena.resize(older, 8, 16));
    EXPECT_TRUE(arena.resize(newer, 8, 16));
}

}  // namespace
