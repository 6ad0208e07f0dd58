// HashMap: arbitrary puts and gets over short keys, checked against std::unordered_map for
// content and against the placement rules for where every key sits.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fuzz_support.h"
#include "http/hash_map.h"
#include "http/wyhash.h"
#include "runtime/memory.h"

namespace {

using Table = http::HashMap<std::string_view, std::uint32_t, http::hashString, http::eqlString, 80>;

void checkInvariants(const Table& table, const std::unordered_map<std::string, std::uint32_t>& reference) {
    using fuzzing::check;
    check(table.size == reference.size(), "size matches the reference");
    for (const auto& [key, value] : reference) {
        const std::uint32_t* found = table.get(key);
        check(found != nullptr && *found == value, "every key holds its latest value");
    }
    const std::uint32_t capacity = table.capacity();
    if (capacity == 0) return;
    check(std::has_single_bit(capacity) && capacity >= Table::MinimalCapacity, "capacity is a power of two >= 8");
    check(table.available == Table::maxLoad(capacity) - table.size, "available counts what the load limit leaves");
    std::uint32_t yielded = 0, last_slot = 0;
    for (auto it = table.iterator(); auto* entry = it.next();) {
        const std::uint32_t slot = it.index - 1;
        check(yielded == 0 || slot > last_slot, "iteration yields slots in index order");
        last_slot = slot;
        ++yielded;
        const std::uint64_t hash = http::hashString(entry->key);
        check(table.metadata[slot].fingerprint() == hash >> 58, "the slot byte holds the key's fingerprint");
        for (auto probe = static_cast<std::uint32_t>(hash) & (capacity - 1); probe != slot;
             probe = (probe + 1) & (capacity - 1)) {
            check(table.metadata[probe].used(), "no empty slot between a key's home and its slot");
        }
    }
    check(yielded == table.size, "iteration yields every entry once");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Table table(runtime::gpa);
    std::unordered_map<std::string, std::uint32_t> reference;
    std::deque<std::string> keys;  // the table borrows its keys: they must stay put
    std::uint32_t counter = 0;
    std::size_t i = 0;
    auto next = [&]() -> std::uint8_t { return i < size ? data[i++] : 0; };
    while (i < size) {
        const std::uint8_t op = next();
        // Keys of up to 3 characters from "abAB": few enough to collide, cased to test equality.
        std::string key;
        for (int length = next() % 4; length > 0; --length) key += "abAB"[next() % 4];
        if (op % 4 < 2) {
            keys.push_back(key);
            fuzzing::check(table.put(keys.back(), ++counter).has_value(), "put succeeds while memory lasts");
            reference[key] = counter;
        } else if (op % 4 == 2) {
            const std::uint32_t* found = table.get(key);
            auto expected = reference.find(key);
            fuzzing::check((found == nullptr) == (expected == reference.end()), "get finds exactly the keys put");
            fuzzing::check(found == nullptr || *found == expected->second, "get returns the latest value");
        } else {
            checkInvariants(table, reference);
        }
    }
    checkInvariants(table, reference);
    return 0;
}
