// HashMap: slot placement, probing, growth and the iteration order that becomes the wire order.
#include "http/hash_map.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "http/header_table.h"
#include "support/test_support.h"

namespace {

using http::HeaderTable;
using testing_support::FailingResource;
using testing_support::FailsWith;
using testing_support::IsOk;

constexpr std::string_view NotFoundHeaders[] = {
    "Server", "Connection", "Access-Control-Allow-Origin", "X-Powered-By", "Content-Type", "Content-Length",
};

struct Placed {
    std::string key;
    std::uint32_t slot;
    bool operator==(const Placed&) const = default;
};

std::vector<Placed> slots(const HeaderTable& table) {
    std::vector<Placed> placed;
    for (auto it = table.iterator(); auto* entry = it.next();)
        placed.push_back({std::string(entry->key), it.index - 1});
    return placed;
}

std::vector<std::string> order(const HeaderTable& table) {
    std::vector<std::string> keys;
    for (const Placed& p : slots(table)) keys.push_back(p.key);
    return keys;
}

void putAll(HeaderTable& table, std::span<const std::string_view> keys) {
    for (std::string_view key : keys) ASSERT_THAT(table.put(key, "v"), IsOk());
}

/// Keys "k0", "k1", ... whose home slot among `capacity` slots is `home`.
std::vector<std::string> keysWithHome(std::uint64_t home, std::uint64_t capacity, std::size_t count) {
    std::vector<std::string> keys;
    for (int i = 0; keys.size() < count; ++i) {
        std::string key = "k" + std::to_string(i);
        if ((http::hashString(key) & (capacity - 1)) == home) keys.push_back(key);
    }
    return keys;
}

TEST(HashMap, NotFoundHeadersTakeTheirSlotsAndFillCapacityEight) {
    FailingResource memory;
    HeaderTable table(memory);
    putAll(table, NotFoundHeaders);
    EXPECT_EQ(table.capacity(), 8u);
    EXPECT_EQ(table.size, 6u);
    EXPECT_EQ(table.available, 0u);
    // "Content-Type" shares home slot 3 with "Server", which was put first, so it moves on to 4.
    std::vector<Placed> expected = {{"Connection", 0},   {"Content-Length", 1}, {"Server", 3},
                                    {"Content-Type", 4}, {"X-Powered-By", 6},   {"Access-Control-Allow-Origin", 7}};
    EXPECT_EQ(slots(table), expected);
}

TEST(HashMap, WorldsHeadersComeInSlotOrderNotInsertionOrder) {
    FailingResource memory;
    HeaderTable table(memory);
    putAll(table, std::span(NotFoundHeaders).first(5));
    std::vector<std::string> expected = {"Connection", "Server", "Content-Type", "X-Powered-By",
                                         "Access-Control-Allow-Origin"};
    EXPECT_EQ(order(table), expected);
}

TEST(HashMap, PutAtZeroAvailableGrowsToSixteenFirstAndReorders) {
    struct Case {
        std::string_view key;
        std::uint32_t size;
        std::vector<std::string> order;
        const char* note;
    };
    const Case cases[] = {
        {"Server",
         6,
         {"Connection", "Server", "Content-Type", "Access-Control-Allow-Origin", "Content-Length", "X-Powered-By"},
         "a key already present: the growth check comes before the lookup"},
        {"Date",
         7,
         {"Connection", "Date", "Server", "Content-Type", "Access-Control-Allow-Origin", "Content-Length",
          "X-Powered-By"},
         "a seventh distinct key"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        FailingResource memory;
        HeaderTable table(memory);
        putAll(table, NotFoundHeaders);
        ASSERT_THAT(table.put(c.key, "second"), IsOk());
        EXPECT_EQ(table.capacity(), 16u);
        EXPECT_EQ(table.size, c.size);
        EXPECT_EQ(table.available, 12u - c.size);
        EXPECT_EQ(order(table), c.order);
        EXPECT_EQ(*table.get(c.key), "second");
        for (std::string_view key : NotFoundHeaders) EXPECT_TRUE(table.contains(key)) << key;
    }
}

TEST(HashMap, FirstPutAllocatesEightSlots) {
    FailingResource memory;
    HeaderTable table(memory);
    EXPECT_EQ(table.capacity(), 0u);
    EXPECT_EQ(memory.allocations, 0u);
    ASSERT_THAT(table.put("Server", "x"), IsOk());
    EXPECT_EQ(table.capacity(), 8u);
    EXPECT_EQ(table.available, 5u);
    EXPECT_EQ(memory.allocations, 1u);
}

TEST(HashMap, PuttingTheSameKeyTwiceKeepsOneEntryInItsSlot) {
    FailingResource memory;
    HeaderTable table(memory);
    putAll(table, std::span(NotFoundHeaders).first(4));
    std::vector<Placed> before = slots(table);
    const char* first_key = table.getEntry("Server")->key.data();
    std::string other_copy = "Server";
    ASSERT_THAT(table.put(other_copy, "again"), IsOk());
    EXPECT_EQ(table.size, 4u);
    EXPECT_EQ(slots(table), before);
    EXPECT_EQ(*table.get("Server"), "again");
    EXPECT_EQ(table.getEntry("Server")->key.data(), first_key) << "the key given first stays";
}

TEST(HashMap, KeysDifferingInCaseAreTwoEntries) {
    FailingResource memory;
    HeaderTable table(memory);
    putAll(table, std::vector<std::string_view>{"server", "Server"});
    EXPECT_EQ(table.size, 2u);
    EXPECT_FALSE(table.contains("SERVER"));
}

TEST(HashMap, ProbingWrapsFromTheLastSlotToSlotZero) {
    FailingResource memory;
    HeaderTable table(memory);
    std::vector<std::string> keys = keysWithHome(7, 8, 3);
    for (const std::string& key : keys) ASSERT_THAT(table.put(key, "v"), IsOk());
    std::vector<Placed> expected = {{keys[1], 0}, {keys[2], 1}, {keys[0], 7}};
    EXPECT_EQ(slots(table), expected);
    for (const std::string& key : keys) EXPECT_TRUE(table.contains(key)) << key;
}

TEST(HashMap, IteratingYieldsNothingWhenEmptyAndLowSlotsFirst) {
    FailingResource memory;
    HeaderTable table(memory);
    EXPECT_TRUE(slots(table).empty());
    EXPECT_EQ(table.get("Server"), nullptr);
    // Both keys live in the upper half; the iterator still starts from slot 0.
    std::vector<std::string> high = keysWithHome(6, 8, 2);
    for (const std::string& key : high) ASSERT_THAT(table.put(key, "v"), IsOk());
    std::vector<Placed> expected = {{high[0], 6}, {high[1], 7}};
    EXPECT_EQ(slots(table), expected);
}

TEST(HashMap, EveryKeySitsAtOrAfterItsHomeWithNoEmptySlotBetween) {
    FailingResource memory;
    HeaderTable table(memory);
    std::vector<std::string> keys;
    for (int i = 0; i < 500; ++i) keys.push_back("key-" + std::to_string(i));
    for (const std::string& key : keys) ASSERT_THAT(table.put(key, key), IsOk());
    EXPECT_EQ(table.size, 500u);
    EXPECT_EQ(table.capacity(), 1024u);
    std::uint32_t mask = table.capacity() - 1;
    for (const Placed& p : slots(table)) {
        SCOPED_TRACE(p.key);
        for (auto slot = static_cast<std::uint32_t>(http::hashString(p.key)) & mask; slot != p.slot;
             slot = (slot + 1) & mask) {
            ASSERT_TRUE(table.metadata[slot].used()) << "empty slot " << slot << " before the key";
        }
        EXPECT_EQ(table.metadata[p.slot].fingerprint(), http::hashString(p.key) >> 58);
        EXPECT_EQ(*table.get(p.key), p.key);
    }
}

TEST(HashMap, CapacityForSizeRoundsUpPastTheLoadLimit) {
    EXPECT_EQ(HeaderTable::capacityForSize(1), 2u);
    EXPECT_EQ(HeaderTable::capacityForSize(6), 8u);
    EXPECT_EQ(HeaderTable::capacityForSize(7), 16u);
    EXPECT_EQ(HeaderTable::capacityForSize(12), 16u);
    EXPECT_EQ(HeaderTable::capacityForSize(13), 32u);
}

TEST(HashMap, FailedFirstAllocationLeavesTheTableEmpty) {
    FailingResource memory(1);
    HeaderTable table(memory);
    EXPECT_THAT(table.put("Server", "x"), FailsWith(runtime::Error::OutOfMemory));
    EXPECT_EQ(table.capacity(), 0u);
    EXPECT_EQ(table.size, 0u);
    EXPECT_FALSE(table.contains("Server"));
}

TEST(HashMap, FailedGrowthKeepsTheOldStorageAndContents) {
    FailingResource memory(2);
    {
        HeaderTable table(memory);
        putAll(table, NotFoundHeaders);
        std::vector<Placed> before = slots(table);
        EXPECT_THAT(table.put("Date", "x"), FailsWith(runtime::Error::OutOfMemory));
        EXPECT_EQ(slots(table), before);
        EXPECT_EQ(table.capacity(), 8u);
        EXPECT_FALSE(table.contains("Date"));
    }
    EXPECT_EQ(memory.outstanding(), 0u);
}

TEST(HashMap, MovingHandsOverTheStorage) {
    FailingResource memory;
    {
        HeaderTable table(memory);
        putAll(table, NotFoundHeaders);
        HeaderTable moved(std::move(table));
        EXPECT_EQ(moved.size, 6u);
        EXPECT_EQ(table.capacity(),
                  0u);  // NOLINT(bugprone-use-after-move): the moved-from state is part of the contract
        HeaderTable assigned;
        assigned = std::move(moved);
        EXPECT_EQ(order(assigned).size(), 6u);
    }
    EXPECT_EQ(memory.outstanding(), 0u);
}

}  // namespace

namespace {

TEST(HashMapDeathTest, TableUsedBeforeItIsBoundToAnAllocatorAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // As the process-wide endpoint table starts: static storage, no allocator yet.
    EXPECT_DEATH((void)HeaderTable().put("Server", "x"), "CHECK failed: allocator != nullptr");
}

}  // namespace
