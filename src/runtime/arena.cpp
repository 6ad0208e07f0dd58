// The arena's blocks, bumping, growth in place, and ByteBuffer.
#include "runtime/arena.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "runtime/memory.h"

namespace runtime {

/// One block from upstream: this header, then `capacity` bytes, of which the first `used`
/// are handed out.
///
///   | next | capacity | used | pad | data: used ......... | free ......... |
///   ^ block                        ^ data()                ^ top            ^ end
struct alignas(std::max_align_t) Arena::Block {
    Block* next;
    std::size_t capacity;
    std::size_t used = 0;

    std::uintptr_t base() const noexcept { return reinterpret_cast<std::uintptr_t>(this + 1); }

    bool contains(const void* pointer) const noexcept {
        auto at = reinterpret_cast<std::uintptr_t>(pointer);
        return at >= base() && at <= base() + capacity;
    }

    std::size_t offsetOf(const void* pointer) const noexcept {
        return reinterpret_cast<std::uintptr_t>(pointer) - base();
    }

    /// `bytes` at `alignment` from the free part, or null if they do not fit.
    void* bump(std::size_t bytes, std::size_t alignment) noexcept {
        std::size_t start = (base() + used + alignment - 1) / alignment * alignment - base();
        if (start > capacity || bytes > capacity - start) return nullptr;
        used = start + bytes;
        // Pointer arithmetic, not a cast from the integer: the result stays derived from the block.
        return reinterpret_cast<std::byte*>(this + 1) + start;
    }
};

Arena::~Arena() {
    while (blocks_ != nullptr) release(std::exchange(blocks_, blocks_->next));
}

void Arena::release(Block* block) noexcept {
    upstream_.deallocate(block, sizeof(Block) + block->capacity, alignof(Block));
}

std::size_t Arena::blockCount() const noexcept {
    std::size_t count = 0;
    for (const Block* block = blocks_; block != nullptr; block = block->next) ++count;
    return count;
}

void* Arena::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (blocks_ != nullptr) {
        if (void* pointer = blocks_->bump(bytes, alignment)) return pointer;
    }
    // Twice what is asked, so an allocation that goes on growing can double once in place.
    constexpr std::size_t Largest = std::numeric_limits<std::size_t>::max() / 4;
    if (bytes > Largest || alignment > Largest) throw std::bad_alloc();
    const std::size_t capacity = std::max(MinBlockSize, 2 * (bytes + alignment));
    void* storage = upstream_.allocate(sizeof(Block) + capacity, alignof(Block));
    blocks_ = std::construct_at(static_cast<Block*>(storage), Block{.next = blocks_, .capacity = capacity});
    return blocks_->bump(bytes, alignment);
}

void Arena::do_deallocate(void* pointer, std::size_t bytes, std::size_t) {
    Block** link = &blocks_;
    for (Block* block = blocks_; block != nullptr; link = &block->next, block = block->next) {
        if (!block->contains(pointer)) continue;
        if (block->offsetOf(pointer) + bytes == block->used) block->used = block->offsetOf(pointer);
        // An emptied older block holds nothing any more: a buffer that moved on to a larger
        // block leaves no copy behind.
        if (block->used == 0 && block != blocks_) {
            *link = block->next;
            release(block);
        }
        return;
    }
}

bool Arena::resize(void* pointer, std::size_t old_size, std::size_t new_size) noexcept {
    Block* block = blocks_;
    if (block == nullptr || !block->contains(pointer)) return false;
    const std::size_t offset = block->offsetOf(pointer);
    if (offset + old_size != block->used || new_size > block->capacity - offset) return false;
    block->used = offset + new_size;
    return true;
}

ByteBuffer::~ByteBuffer() {
    if (data_ != nullptr) arena_->deallocate(data_, capacity_, 1);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : arena_(other.arena_),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Result<void> ByteBuffer::append(char byte) {
    if (size_ == capacity_) TRY(grow());
    data_[size_++] = byte;
    return {};
}

Result<void> ByteBuffer::grow() {
    const std::size_t capacity = capacity_ == 0 ? InitialCapacity : capacity_ * 2;
    if (data_ != nullptr && arena_->resize(data_, capacity_, capacity)) {
        capacity_ = capacity;
        return {};
    }
    void* grown = TRY(allocate(*arena_, capacity, 1));
    if (data_ != nullptr) {
        std::memcpy(grown, data_, size_);
        arena_->deallocate(data_, capacity_, 1);
    }
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return {};
}

void ByteBuffer::truncate(std::size_t length) noexcept {
    if (length < size_) size_ = length;
}

}  // namespace runtime
