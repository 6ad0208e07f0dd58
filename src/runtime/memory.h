// Allocators: the process-wide gpa and the fallible allocate() helper.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <source_location>

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

}  // namespace runtime
