// Arena: the connection's region allocator, and ByteBuffer, the byte string that grows in it.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <string_view>

#include "runtime/result.h"

namespace runtime {

/// A bump allocator over blocks taken from `upstream`, released as a whole when it goes.
/// Freeing the newest allocation of a block takes it back, and a block left empty that is
/// no longer the one being filled goes back to `upstream` at once; other frees keep their
/// bytes until the end. Its newest allocation can also grow in place (resize), so a buffer
/// that keeps growing costs about its own size, not the sum of its earlier copies.
/// Exhaustion of `upstream` surfaces as std::bad_alloc, which allocate() turns into
/// OutOfMemory. Borrows `upstream`; owns its blocks. Neither copied nor moved.
class Arena final : public std::pmr::memory_resource {
public:
    /// The smallest block taken from upstream: one covers every allocation of an ordinary
    /// request, so such a connection costs one upstream allocation.
    static constexpr std::size_t MinBlockSize = 4096;

    explicit Arena(std::pmr::memory_resource& upstream) noexcept : upstream_(upstream) {}
    ~Arena() override;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    /// Makes the allocation at `pointer`, of `old_size` bytes, `new_size` bytes long without
    /// moving it. Possible only for the newest allocation of the block being filled, and only
    /// while that block has room: false leaves the allocation as it was.
    bool resize(void* pointer, std::size_t old_size, std::size_t new_size) noexcept;

    /// Blocks currently held from upstream.
    std::size_t blockCount() const noexcept;

private:
    struct Block;

    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void* pointer, std::size_t bytes, std::size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    void release(Block* block) noexcept;

    std::pmr::memory_resource& upstream_;
    Block* blocks_ = nullptr;  ///< newest first; the first is the one being filled
};

/// A byte string that grows as bytes are appended, its storage in an arena it borrows:
/// doubled when full, in place while it is the arena's newest allocation. Move-only.
class ByteBuffer {
public:
    explicit ByteBuffer(Arena& arena) noexcept : arena_(&arena) {}
    ~ByteBuffer();
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&&) = delete;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    /// Appends one byte. Error: OutOfMemory, with the buffer unchanged.
    Result<void> append(char byte);
    /// Drops every byte from `length` on.
    void truncate(std::size_t length) noexcept;

    std::string_view view() const noexcept { return {data_, size_}; }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t InitialCapacity = 64;

    Result<void> grow();

    Arena* arena_;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace runtime
