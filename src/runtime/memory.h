// Allocators: the process-wide gpa, the fallible allocate() helper and a growable byte buffer.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <source_location>
#include <string_view>

#include "runtime/result.h"

namespace runtime {

/// The process-wide general-purpose allocator, over the C library's heap. Throws
/// std::bad_alloc when memory runs out, as every memory resource does; allocate() turns that
/// into OutOfMemory.
class GeneralPurposeAllocator final : public std::pmr::memory_resource {
private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void* pointer, std::size_t bytes, std::size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override;
};

/// The one gpa of the process. Never destroyed, so tables that outlive main's return (and are
/// destroyed in any order) can still give their storage back to it.
extern GeneralPurposeAllocator& gpa;

/// `bytes` bytes aligned to `alignment` from `allocator`, or OutOfMemory raised at `at`.
/// The caller owns the block and gives it back to the same allocator.
Result<void*> allocate(std::pmr::memory_resource& allocator, std::size_t bytes, std::size_t alignment,
                       std::source_location at = std::source_location::current());

/// A byte string that grows as bytes are appended; owns its storage, taken from the allocator
/// it was given. Move-only.
class ByteBuffer {
public:
    explicit ByteBuffer(std::pmr::memory_resource& allocator) noexcept : allocator_(&allocator) {}
    ~ByteBuffer();
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&&) = delete;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    /// Appends one byte, doubling the storage when it is full. Error: OutOfMemory, with the
    /// buffer unchanged.
    Result<void> append(char byte);
    /// Drops every byte from `length` on.
    void truncate(std::size_t length) noexcept;

    std::string_view view() const noexcept { return {data_, size_}; }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t InitialCapacity = 64;

    std::pmr::memory_resource* allocator_;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace runtime
