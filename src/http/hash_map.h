// HashMap: the open-addressing table whose slot order decides the order of header lines.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <type_traits>
#include <utility>

#include "runtime/check.h"
#include "runtime/memory.h"
#include "runtime/result.h"

namespace http {

/// One slot byte:
///
///   bit   7 6 5 4 3 2 | 1         | 0
///         fingerprint | tombstone | used
///
/// The fingerprint is the top 6 bits of the key's hash, compared before the key itself.
struct Metadata {
    std::uint8_t bits = 0;

    static constexpr std::uint8_t Used = 0x01;
    static constexpr std::uint8_t Tombstone = 0x02;

    bool used() const noexcept { return (bits & Used) != 0; }
    bool tombstone() const noexcept { return (bits & Tombstone) != 0; }
    bool free() const noexcept { return (bits & (Used | Tombstone)) == 0; }
    std::uint8_t fingerprint() const noexcept { return static_cast<std::uint8_t>(bits >> 2); }
    void fill(std::uint8_t fingerprint) noexcept { bits = static_cast<std::uint8_t>(fingerprint << 2 | Used); }
};
static_assert(sizeof(Metadata) == 1);

/// An open-addressing hash table with linear probing. Stores keys and values as given (for
/// views: the view, never a copy) and frees neither. Capacity is a power of two, at least 8;
/// iteration walks the slots in index order, so the order of entries follows from their
/// hashes and the order they were put in, not from insertion order alone. Move-only; the
/// destructor releases the storage.
template <class K, class V, auto Hash, auto Eql, unsigned MaxLoadPercentage>
class HashMap {
    static_assert(std::is_trivially_copyable_v<K> && std::is_trivially_copyable_v<V>);
    static_assert(MaxLoadPercentage > 0 && MaxLoadPercentage < 100);

public:
    struct Entry {
        K key;
        V value;
    };

    struct GetOrPutResult {
        Entry* entry;
        bool found_existing;
    };

    /// Yields the used slots' entries from slot 0 upward.
    struct Iterator {
        const HashMap* hm;
        std::uint32_t index = 0;  ///< the next slot to look at

        Entry* next() noexcept {
            if (hm->size == 0) return nullptr;
            std::uint32_t capacity = hm->capacity();
            while (index < capacity) {
                std::uint32_t slot = index++;
                if (hm->metadata[slot].used()) return &hm->entries()[slot];
            }
            return nullptr;
        }
    };

    static constexpr std::uint32_t MinimalCapacity = 8;

    Metadata* metadata = nullptr;  ///< the slot bytes; null while there is no storage
    std::uint32_t size = 0;        ///< entries held
    std::uint32_t available = 0;   ///< entries that may still be added before growing
    std::pmr::memory_resource* allocator = nullptr;

    /// A table with no allocator yet, for static storage; assign a bound table before use.
    constexpr HashMap() noexcept = default;
    /// An empty table without storage, bound to `allocator`. Allocates nothing.
    explicit HashMap(std::pmr::memory_resource& bound) noexcept : allocator(&bound) {}
    ~HashMap() { release(); }

    HashMap(HashMap&& other) noexcept { swap(other); }
    HashMap& operator=(HashMap&& other) noexcept {
        HashMap moved(std::move(other));
        swap(moved);
        return *this;
    }
    HashMap(const HashMap&) = delete;
    HashMap& operator=(const HashMap&) = delete;

    std::uint32_t capacity() const noexcept { return metadata == nullptr ? 0 : header()->capacity; }

    /// Inserts `key` with `value`, or replaces the value of a present key (the stored key stays
    /// the one given first). Error: OutOfMemory from growing, with the table unchanged.
    runtime::Result<void> put(K key, V value) {
        GetOrPutResult result = TRY(getOrPut(key));
        result.entry->value = value;
        return {};
    }

    /// The entry for `key`, added with its value unset if absent. Grows first when nothing is
    /// available, even if the key turns out to be present. Error: OutOfMemory.
    runtime::Result<GetOrPutResult> getOrPut(K key) {
        TRY(growIfNeeded(1));
        return getOrPutAssumeCapacity(key);
    }

    GetOrPutResult getOrPutAssumeCapacity(K key) noexcept {
        const std::uint64_t hash = Hash(key);
        const std::uint32_t mask = capacity() - 1;
        const std::uint8_t fingerprint = fingerprintOf(hash);
        std::uint32_t slot = static_cast<std::uint32_t>(hash) & mask;
        Metadata* first_tombstone = nullptr;
        for (; !metadata[slot].free(); slot = (slot + 1) & mask) {
            if (isKeyAt(slot, key, fingerprint)) return {&entries()[slot], true};
            if (metadata[slot].tombstone() && first_tombstone == nullptr) first_tombstone = &metadata[slot];
        }
        // A reused tombstone was already counted out of `available`.
        if (first_tombstone != nullptr) {
            slot = static_cast<std::uint32_t>(first_tombstone - metadata);
        } else {
            --available;
        }
        metadata[slot].fill(fingerprint);
        std::construct_at(&entries()[slot].key, key);
        ++size;
        return {&entries()[slot], false};
    }

    /// The entry for `key`, or null.
    Entry* getEntry(K key) const noexcept {
        if (size == 0) return nullptr;
        const std::uint64_t hash = Hash(key);
        const std::uint32_t mask = capacity() - 1;
        const std::uint8_t fingerprint = fingerprintOf(hash);
        for (std::uint32_t slot = static_cast<std::uint32_t>(hash) & mask; !metadata[slot].free();
             slot = (slot + 1) & mask) {
            if (isKeyAt(slot, key, fingerprint)) return &entries()[slot];
        }
        return nullptr;
    }

    /// The value stored under `key`, or null.
    const V* get(K key) const noexcept {
        const Entry* entry = getEntry(key);
        return entry == nullptr ? nullptr : &entry->value;
    }

    bool contains(K key) const noexcept { return getEntry(key) != nullptr; }

    Iterator iterator() const noexcept { return Iterator{this}; }

    /// Entries that may be held at `capacity` slots.
    static constexpr std::uint32_t maxLoad(std::uint32_t capacity) noexcept {
        return static_cast<std::uint32_t>(std::uint64_t{capacity} * MaxLoadPercentage / 100);
    }

    /// The smallest power of two of at least n * 100 / MaxLoadPercentage + 1 slots.
    static constexpr std::uint64_t capacityForSize(std::uint64_t n) noexcept {
        return std::bit_ceil(n * 100 / MaxLoadPercentage + 1);
    }

private:
    struct Header {
        std::uint32_t capacity;
    };

    // Storage block: Header, then one Metadata per slot, then one Entry per slot (aligned).
    static constexpr std::size_t BlockAlignment = std::max(alignof(Header), alignof(Entry));

    static constexpr std::size_t entriesOffset(std::uint32_t capacity) noexcept {
        std::size_t end_of_metadata = sizeof(Header) + capacity;
        return (end_of_metadata + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
    }
    static constexpr std::size_t blockSize(std::uint32_t capacity) noexcept {
        return entriesOffset(capacity) + std::size_t{capacity} * sizeof(Entry);
    }

    static std::uint8_t fingerprintOf(std::uint64_t hash) noexcept { return static_cast<std::uint8_t>(hash >> 58); }

    std::byte* block() const noexcept { return reinterpret_cast<std::byte*>(metadata) - sizeof(Header); }
    Header* header() const noexcept { return reinterpret_cast<Header*>(block()); }
    Entry* entries() const noexcept { return reinterpret_cast<Entry*>(block() + entriesOffset(capacity())); }

    bool isKeyAt(std::uint32_t slot, const K& key, std::uint8_t fingerprint) const noexcept {
        return metadata[slot].used() && metadata[slot].fingerprint() == fingerprint && Eql(entries()[slot].key, key);
    }

    std::uint32_t load() const noexcept { return maxLoad(capacity()) - available; }

    runtime::Result<void> growIfNeeded(std::uint32_t count) {
        if (count <= available) return {};
        return runtime::passOn(grow(capacityForSize(std::uint64_t{load()} + count)));
    }

    runtime::Result<void> grow(std::uint64_t wanted) {
        if (wanted > (std::uint64_t{1} << 31)) return runtime::fail(runtime::Error::OutOfMemory);
        const auto new_capacity = static_cast<std::uint32_t>(std::max<std::uint64_t>(wanted, MinimalCapacity));
        CHECK(allocator != nullptr);  // a table made for static storage, used before it was bound
        void* storage = TRY(runtime::allocate(*allocator, blockSize(new_capacity), BlockAlignment));
        HashMap grown(*allocator);
        grown.adopt(storage, new_capacity);
        // Old slots in index order: entries sharing a home slot keep their relative order.
        for (std::uint32_t slot = 0, moved = 0; moved < size; ++slot) {
            if (!metadata[slot].used()) continue;
            grown.putAssumeCapacityNoClobber(entries()[slot].key, entries()[slot].value);
            ++moved;
        }
        swap(grown);
        return {};
    }

    void adopt(void* storage, std::uint32_t new_capacity) noexcept {
        auto* bytes = static_cast<std::byte*>(storage);
        std::construct_at(reinterpret_cast<Header*>(bytes), Header{new_capacity});
        metadata = reinterpret_cast<Metadata*>(bytes + sizeof(Header));
        std::memset(static_cast<void*>(metadata), 0, new_capacity);
        size = 0;
        available = maxLoad(new_capacity);
    }

    /// Places a key known to be absent, for growth.
    void putAssumeCapacityNoClobber(K key, V value) noexcept {
        const std::uint64_t hash = Hash(key);
        const std::uint32_t mask = capacity() - 1;
        std::uint32_t slot = static_cast<std::uint32_t>(hash) & mask;
        while (metadata[slot].used()) slot = (slot + 1) & mask;
        if (!metadata[slot].tombstone()) --available;
        metadata[slot].fill(fingerprintOf(hash));
        std::construct_at(&entries()[slot], Entry{key, value});
        ++size;
    }

    void release() noexcept {
        if (metadata == nullptr) return;
        allocator->deallocate(block(), blockSize(capacity()), BlockAlignment);
        metadata = nullptr;
        size = 0;
        available = 0;
    }

    void swap(HashMap& other) noexcept {
        std::swap(metadata, other.metadata);
        std::swap(size, other.size);
        std::swap(available, other.available);
        std::swap(allocator, other.allocator);
    }
};

}  // namespace http
